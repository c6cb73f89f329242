// Test scaffolding: a private temporary directory per test, removed after,
// and whole files read and written (shared by the tests, the conformance
// suite and the fuzzers).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vh::test {

// A fresh directory under the system's temporary folder; it and everything
// in it are removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    // path() / name, as a string.
    std::string file(const std::string& name) const;

private:
    std::filesystem::path m_path;
};

// Whole contents of a file as bytes ("" when missing); `missing`, when
// given, tells whether the file could not be opened.
std::string read_file(const std::filesystem::path& path, bool* missing = nullptr);
// Replaces a file's contents with exactly the given bytes; throws
// std::runtime_error when they cannot be written.
void write_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace vh::test
