// Registry trees as .reg text: export a key with everything below it, and
// apply such a file to the registry.
//
// The text is the platform registry editor's format: a header line
// ("Windows Registry Editor Version 5.00", or "REGEDIT4" on import), then one
// section per key ("[HKEY_CURRENT_USER\Software\Demo]", or "[-...]" to remove
// the key with everything below it) holding its values ("name"=data or
// @=data for the unnamed value; "name"=- removes one). The platform's editor
// writes UTF-16; this client writes UTF-8, and names and strings reach the
// registry functions in the ANSI code page, which is UTF-8 on Linux. Import
// also reads files with a UTF-8 or UTF-16LE byte-order mark, and REGEDIT4
// files in the ANSI code page.
//
// Export writes every value so that import gives back its type and bytes
// exactly: a string only as "text" when it reads back byte for byte, every
// other value as hex of its stored bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>

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

// What an import changed.
struct ImportResult {
    std::size_t keys = 0;            // [key] sections: keys created or opened
    std::size_t values = 0;          // values set
    std::size_t removed_keys = 0;    // [-key] sections whose key existed
    std::size_t removed_values = 0;  // "name"=- lines whose value existed
};

// Called with the number of keys handled so far, after each key.
using RegFileProgress = std::function<void(std::size_t keys)>;

// The .reg text (UTF-8, CRLF line ends) of root\path and every key below it,
// parents before their subkeys, subkeys and values in the service's order.
// root is one of the four predefined keys; path is in the ANSI code page and
// may be empty for the root itself. Throws RegFileError when the key is
// missing or unreadable, or when a name cannot be written as .reg text (it
// holds a line break); nothing is returned then.
std::string export_tree(HKEY root, const std::string& path, const RegFileProgress& progress = {});

// Applies .reg text: creates each [key] with its missing parents, sets each
// value to exactly the type and bytes written, removes [-key] trees and
// "name"=- values (removing what is already gone is no error). The whole text
// is checked first: a malformed file throws RegFileError naming the line and
// changes nothing. A refusal from the service stops the import at that key
// and throws RegFileError with the key and the status; the sections before it
// stay applied.
ImportResult import_text(const std::string& text, const RegFileProgress& progress = {});

}  // namespace vh
