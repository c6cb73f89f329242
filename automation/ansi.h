// Strings at system calls.
//
// The profile and registry functions take 8-bit strings in the system's
// ANSI code page. Every string argument goes there and back: converted into
// a temporary byte string for the call (a null string as a null pointer, an
// empty one as a pointer to ""), and after the call converted back over the
// temporary's whole length, zero bytes included, into the very variable
// that supplied it: a local copy, a caller's by-reference variable, or an
// object's field. A reply buffer is read by the byte count the function
// reports, cut on the bytes before the conversion back.
#pragma once

#include <string>
#include <string_view>

#include "automation/values.h"
#include "platform/win32.h"

namespace vh {

// The text in the ANSI code page; characters it lacks become its default
// character.
std::string to_ansi(Text text);
// Bytes of the ANSI code page as text.
Bstr from_ansi(std::string_view bytes);

class AnsiArg {
public:
    // Converts the string held in variable (not owned; it must outlive this).
    explicit AnsiArg(BSTR& variable);
    AnsiArg(const AnsiArg&) = delete;
    AnsiArg& operator=(const AnsiArg&) = delete;

    // The bytes for the call, followed by a zero byte; null for a null string.
    char* get() noexcept { return m_null ? nullptr : m_bytes.data(); }
    std::size_t size() const noexcept { return m_bytes.size(); }
    bool contains(char c) const noexcept { return m_bytes.find(c) != std::string::npos; }

    // Converts the temporary back into the variable.
    void restore();
    // The first n bytes of the temporary, as text.
    Bstr first_bytes(std::size_t n) const;

private:
    BSTR* m_variable;
    std::string m_bytes;
    bool m_null;
};

}  // namespace vh
