// What both harnesses do around their timing: find the module and a private
// folder from the command line, and write the memory figures.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "bench/workloads.h"

namespace vh::bench {

struct Options {
    std::filesystem::path module;
    std::filesystem::path folder;  // made empty, the workloads' files and store go there
    std::filesystem::path output;  // the timings as JSON
    std::filesystem::path memory;  // the memory figures as JSON
    int memory_rounds = 3;
    std::string filter;  // only workloads whose name holds this
};

// Takes --module=, --folder=, --out=, --memory_out=, --memory_rounds= and
// --filter= out of argv, leaving the rest; fails when one that is needed is
// missing.
Options take_options(int& argc, char** argv);

// The workloads the filter selects.
std::vector<Case*> selected(std::vector<Case>& cases, const Options& options);

// Peak and per-round resident sizes as JSON.
void write_memory(const std::filesystem::path& path, std::uint64_t peak,
                  const std::vector<std::uint64_t>& rounds);

}  // namespace vh::bench
