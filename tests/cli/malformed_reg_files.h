// Malformed .reg files, each with the line that is wrong and a fragment of
// the message that says why: the codec's tests check the parser's answer,
// the import's tests that such a file changes nothing.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vh::test {

struct MalformedRegFile {
    std::string text;
    std::size_t line;
    const char* fragment;
};

// UTF-8 `text` as a UTF-16LE file with its byte-order mark.
std::string utf16le_file(const std::string& text);

// A key path of `levels` parts.
std::string deep_path(int levels);

// Each file begins with a good section where it can, so that applying it
// before checking the rest would leave HKEY_CURRENT_USER\Software\New behind.
std::vector<MalformedRegFile> malformed_reg_files();

}  // namespace vh::test
