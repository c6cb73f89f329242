// The two file-system operations of binding a profile file: a test that an
// ordinary file exists, and the creation of an empty one. Paths are bytes
// of the ANSI code page. Failures are run-time file error numbers (below).
#pragma once

namespace vh::platform {

// The run-time file error numbers, named once for the component.
namespace file_error {
constexpr int bad_file_name = 52;
constexpr int file_not_found = 53;
constexpr int too_many_files = 67;
constexpr int permission_denied = 70;
constexpr int path_file_access = 75;
constexpr int path_not_found = 76;
}  // namespace file_error

struct FileProbe {
    bool found = false;  // an ordinary file stands at the path
    int error = 0;       // a file error number, or 0
};

// Looks for an ordinary file at path. Something else there (a directory)
// is a path/file access error, not "missing".
FileProbe find_file(const char* path);

// Creates an empty file at path when nothing is there. Never truncates or
// replaces anything: an ordinary file that appeared meanwhile is left as it
// is and counts as success. Returns 0 or a file error number.
int create_empty_file(const char* path);

}  // namespace vh::platform
