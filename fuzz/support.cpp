#include "fuzz/support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vh::fuzz {

std::uint8_t Input::byte() noexcept
{
    return m_pos < m_size ? m_data[m_pos++] : 0;
}

std::uint16_t Input::u16() noexcept
{
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
}

std::uint32_t Input::u32() noexcept
{
    const std::uint32_t low = u16();
    return low | (static_cast<std::uint32_t>(u16()) << 16);
}

std::uint64_t Input::u64() noexcept
{
    const std::uint64_t low = u32();
    return low | (static_cast<std::uint64_t>(u32()) << 32);
}

std::string Input::bytes(std::size_t count)
{
    const std::size_t available = m_pos < m_size ? m_size - m_pos : 0;
    const std::size_t taken = count < available ? count : available;
    std::string out(reinterpret_cast<const char*>(m_data) + m_pos, taken);
    m_pos += taken;
    return out;
}

std::string Input::text(std::size_t max)
{
    return bytes(byte() % (max + 1));
}

namespace {

std::string make_private_directory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vornhall-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern;
}

std::string& directory_slot()
{
    static std::string path = make_private_directory();
    return path;
}

}  // namespace

const std::string& private_directory()
{
    static const bool registered = [] {
        directory_slot();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(directory_slot(), ignored);
        });
        return true;
    }();
    (void)registered;
    return directory_slot();
}

std::string read_file(const std::string& path, bool* missing)
{
    std::ifstream in(path, std::ios::binary);
    if (missing != nullptr) {
        *missing = !in;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

void remove_file(const std::string& path)
{
    ::unlink(path.c_str());
}

void fail(const char* file, int line, const char* condition, const std::string& detail)
{
    std::fprintf(stderr, "\n%s:%d: invariant broken: %s\n  %s\n", file, line, condition, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace vh::fuzz
