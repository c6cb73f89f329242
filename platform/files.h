// The two file-system operations of binding a profile file: a test that an
// ordinary file exists, and the creation of an empty one. Paths are bytes
// of the ANSI code page. Failures are run-time file error numbers:
//   52 bad file name, 53 file not found, 67 too many files,
//   70 permission denied, 75 path/file access error, 76 path not found.
#pragma once

namespace vh::platform {

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
