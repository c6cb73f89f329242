// SQLite's own check of a registry store file, for the tests and fuzzers
// that look at the store beneath the registry functions.
#pragma once

#include <string>

namespace vh::test {

// The rows PRAGMA integrity_check gives for the store file, one a line,
// through a read-only connection of its own: "ok" for a sound file, "cannot
// open" when SQLite cannot open it.
std::string store_integrity(const std::string& path);

}  // namespace vh::test
