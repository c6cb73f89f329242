#include "tests/support/temp_dir.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vh::test {

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::file(const std::string& name) const
{
    return (m_path / name).string();
}

std::string read_file(const std::filesystem::path& path, bool* missing)
{
    std::ifstream in(path, std::ios::binary);
    if (missing != nullptr) {
        *missing = !in;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

}  // namespace vh::test
