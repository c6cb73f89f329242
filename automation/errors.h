// Run-time errors and the statuses they become.
//
// Inside a member, a run-time error is a C++ exception carrying the status
// the member will return. The calling frame is the one place that catches it
// (automation/frame.h). An error numbered n has the status 0x800A0000 + n; a
// failing status of a call on an object travels unchanged.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>
#include <system_error>

#include "platform/files.h"
#include "platform/win32.h"

namespace vh {

// Error numbers of the run-time operations.
namespace err {
constexpr int invalid_argument = 5;
constexpr int overflow = 6;
constexpr int out_of_memory = 7;
constexpr int subscript = 9;
constexpr int type_mismatch = 13;
constexpr int bad_file_name = platform::file_error::bad_file_name;
constexpr int file_not_found = platform::file_error::file_not_found;
constexpr int too_many_files = platform::file_error::too_many_files;
constexpr int permission_denied = platform::file_error::permission_denied;
constexpr int path_file_access = platform::file_error::path_file_access;
constexpr int path_not_found = platform::file_error::path_not_found;
}  // namespace err

constexpr HRESULT error_status(int number) noexcept
{
    return static_cast<HRESULT>(0x800A0000u | static_cast<std::uint32_t>(number & 0xFFFF));
}

// The exception that ends a member with a failing status.
class Error {
public:
    explicit Error(HRESULT status) noexcept : m_status(status) {}
    HRESULT status() const noexcept { return m_status; }

private:
    HRESULT m_status;
};

// Raises run-time error number n.
[[noreturn]] void raise_error(int number);
// Raises a failing status of a call on an object, unchanged.
[[noreturn]] void raise_status(HRESULT status);

// A failing status of a call on an object (a member, a collection) becomes
// an error of the caller, unchanged.
inline void check_call(HRESULT status)
{
    if (FAILED(status)) {
        raise_status(status);
    }
}

// A failing status of the automation runtime becomes the run-time error it
// stands for (out of memory, subscript, overflow, type mismatch).
void check_runtime(HRESULT status);

// The status of whatever exception is in flight inside a member: call only
// from a catch block. Running out of memory is error 7, as for any run-time
// error of a member.
HRESULT status_of_current_exception() noexcept;

// The status of whatever exception is in flight at an exported edge (an
// entry point of the module, a class object, Invoke, type information):
// call only from a catch block. One rule for every edge: running out of
// memory is E_OUTOFMEMORY, a system or file-system error the status of its
// code, the component's own errors their status, anything else
// E_UNEXPECTED.
HRESULT status_at_edge() noexcept;

// The status of an error code of the system or the standard library: the
// Win32 status of its portable condition, E_FAIL for a code without one
// (and for no error: an exception never becomes success).
HRESULT status_of_error_code(const std::error_code& code) noexcept;

// A short description of a status, for late-bound callers.
std::u16string_view describe(HRESULT status) noexcept;

// ---- Checked integers ---------------------------------------------------------

// Sum and difference that raise overflow (error 6) instead of wrapping.
std::int16_t add16(std::int16_t a, std::int16_t b);
std::int32_t add32(std::int32_t a, std::int32_t b);
std::int32_t sub32(std::int32_t a, std::int32_t b);
// Narrows a 32-bit value to 16 bits, raising overflow outside -32768..32767.
std::int16_t to_int16(std::int64_t value);
std::int32_t to_int32(std::int64_t value);

// Runs body(i) for i from first to last inclusive with a 16-bit counter
// that is increased after every pass, so a loop whose last value is 32767
// raises overflow at its final increase, like any checked counter.
template <class Body>
void for_int16(std::int16_t first, std::int16_t last, Body&& body)
{
    for (std::int16_t i = first; i <= last; i = add16(i, 1)) {
        body(i);
    }
}

}  // namespace vh
