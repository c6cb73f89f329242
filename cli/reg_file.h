// Registry trees as .reg text: export a key with everything below it, and
// apply such a file to the registry. The text is reg_text.h's; this is the
// walker that reads the registry for it and applies it to the registry.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "cli/reg_text.h"

namespace vh {

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
