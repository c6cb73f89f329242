// iniHandler: one profile (INI) file, read and written through the
// platform's profile functions.
#pragma once

#include "automation/values.h"
#include "ini/ini_interface.h"

namespace vh {

// A new iniHandler with one reference, bound to no file.
ComPtr<_iniHandler> make_ini_handler();

}  // namespace vh
