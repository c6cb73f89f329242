// Test scaffolding: a private temporary directory per test, removed after.
#pragma once

#include <filesystem>
#include <string>

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

// Whole contents of a file as bytes ("" when missing).
std::string read_file(const std::filesystem::path& path);
// Replaces a file's contents with the given bytes.
void write_file(const std::filesystem::path& path, const std::string& bytes);

}  // namespace vh::test
