// A whole tree of the registry as text, to compare stores before and after.
#pragma once

#include <string>

#include "platform/win32.h"

namespace vh::test {

// Every key below root\path (path included) and every value, one line each,
// in the service's order: "key" lines and "key | name | type | hex bytes".
std::string dump(HKEY root, const std::string& path = "");

}  // namespace vh::test
