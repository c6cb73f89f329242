// The .reg text codec: registry keys and values as text, and text back as
// the changes it describes. It reads and writes text only; applying the
// changes to the registry, and reading a tree from it, is reg_file.h's.
//
// The text is the platform registry editor's format: a header line
// ("Windows Registry Editor Version 5.00", or "REGEDIT4" on reading), then
// one section per key ("[HKEY_CURRENT_USER\Software\Demo]", or "[-...]" to
// remove the key with everything below it) holding its values ("name"=data
// or @=data for the unnamed value; "name"=- removes one). The platform's
// editor writes UTF-16; this codec writes UTF-8, and gives names and strings
// in the ANSI code page the registry functions take, which is UTF-8 on
// Linux. It also reads text with a UTF-8 or UTF-16LE byte-order mark, and
// REGEDIT4 text in the ANSI code page.
//
// Every value is written so that reading it gives back its type and bytes
// exactly: a string only as "text" when it reads back byte for byte, every
// other value as hex of its stored bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace vh {

// Why an export or import failed; what() is a message for the user. A
// malformed file has status ERROR_SUCCESS, a name that .reg text cannot hold
// ERROR_INVALID_NAME, a refusal from the registry service its status (the
// message names the key). line() is the file's line it concerns, from 1, or
// 0 for none.
class RegFileError : public std::runtime_error {
public:
    RegFileError(const std::string& message, std::size_t line, LSTATUS status)
        : std::runtime_error(message), m_line(line), m_status(status)
    {
    }
    std::size_t line() const noexcept { return m_line; }
    LSTATUS status() const noexcept { return m_status; }

private:
    std::size_t m_line;
    LSTATUS m_status;
};

// The four predefined root keys: their number, short name and full name.
struct RootKey {
    std::uint32_t number;
    const char* abbreviation;  // HKCU
    const char* name;          // HKEY_CURRENT_USER, as .reg files spell it
    // The handle, as the platform spells it (the number sign-extended).
    HKEY handle() const noexcept
    {
        return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<std::int32_t>(number)));
    }
};
extern const RootKey root_keys[4];

// The full name of a predefined key; nullptr for any other handle.
const char* root_name(HKEY key);
// root\path as messages and files spell it; root is a predefined key.
std::string key_text(HKEY root, const std::string& path);

// One value as the registry holds it.
struct RegValue {
    std::string name;  // ANSI; "" for the unnamed value
    DWORD type = REG_NONE;
    std::string data;
};

// The header line and the blank line after it.
std::string reg_text_header();

// Appends the section of root\path (a predefined root; path in the ANSI code
// page, "" for the root itself) with its values and the blank line after it.
// Throws RegFileError (ERROR_INVALID_NAME) when a name cannot stand on one
// line of .reg text; `out` may then hold part of the section.
void append_reg_section(std::string& out, HKEY root, const std::string& path,
                        const std::vector<RegValue>& values);

// One value line: a value to set or to remove.
struct RegValueChange {
    std::size_t line = 0;
    std::string name;  // ANSI; "" for the unnamed value
    bool remove = false;
    DWORD type = REG_NONE;
    std::string data;
};

// One [key] or [-key] line with the value lines under it.
struct RegSection {
    std::size_t line = 0;
    std::string key_text;  // as the file spells it, for messages
    HKEY root = nullptr;
    std::string path;  // ANSI, below root, without empty parts
    bool remove = false;
    std::vector<RegValueChange> values;
};

// The sections of a whole .reg file (its bytes, with or without a byte-order
// mark). Throws RegFileError with status ERROR_SUCCESS and the line for the
// first malformed line; a text that is given back parsed completely.
std::vector<RegSection> parse_reg_text(const std::string& bytes);

}  // namespace vh
