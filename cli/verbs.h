// The client's verbs, in groups: ini, reg, and the module's registration.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/output.h"

namespace vh::cli {

using Args = std::vector<std::string>;

struct Verb {
    const char* usage;
    const char* summary;
    std::size_t min_args;
    std::size_t max_args;
    std::function<int(const Args&, const Output&)> run;
};

using VerbTable = std::map<std::string, Verb>;

const VerbTable& ini_verbs();
const VerbTable& reg_verbs();
const VerbTable& module_verbs();

}  // namespace vh::cli
