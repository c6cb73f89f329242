// What the fuzzers share: reading an input as a stream of choices, a
// private temporary directory, and stopping at a broken invariant.
//
// An input is read front to back; past its end every read gives zeros, so
// any byte string is a valid input and a short one simply does little.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/support/temp_dir.h"

namespace vh::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) noexcept : m_data(data), m_size(size) {}

    bool empty() const noexcept { return m_pos >= m_size; }
    std::uint8_t byte() noexcept;
    std::uint16_t u16() noexcept;
    std::uint32_t u32() noexcept;
    std::uint64_t u64() noexcept;
    // Up to count bytes (fewer when the input ends).
    std::string bytes(std::size_t count);
    // A length byte (taken modulo max + 1), then that many bytes.
    std::string text(std::size_t max);

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// A directory of this process's own under $TMPDIR (else /tmp), made on the
// first call and removed with everything in it when the process exits.
const std::string& private_directory();

// Whole files read and written, as the tests do it.
using vh::test::read_file;
using vh::test::write_file;
// Removes a file if it is there.
void remove_file(const std::string& path);

// Reports a broken invariant with its place and stops the process, so that
// libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char* file, int line, const char* condition, const std::string& detail);

}  // namespace vh::fuzz

#define VH_FUZZ_CHECK(condition, detail)                                \
    do {                                                                \
        if (!(condition)) {                                             \
            ::vh::fuzz::fail(__FILE__, __LINE__, #condition, (detail)); \
        }                                                               \
    } while (false)
