// Names as the registry functions take and give them: ANSI text of the
// process's code page to and from the UTF-16 the store keeps, and subkey
// paths split into their parts. Failures are thrown as Win32Failure.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

namespace vh::registry {

// ANSI text to UTF-16; a null pointer reads as "".
std::u16string to_wide(LPCSTR text);
// UTF-16 text to the ANSI code page, as the caller receives names.
std::string to_ansi(const std::u16string& text);
// The parts of a subkey path: a leading "\" is ERROR_BAD_PATHNAME, and runs
// of "\" separate no empty part.
std::vector<std::u16string> split_path(const std::u16string& path);

}  // namespace vh::registry
