#include "fuzz/support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

const std::string& private_directory()
{
    // Removed with everything in it when the process exits.
    static const vh::test::TempDir directory;
    static const std::string path = directory.path().string();
    return path;
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
