// iniHandler: one profile (INI) file, read and written through the
// platform's profile functions.
#pragma once

#include "automation/interfaces.h"
#include "automation/values.h"

namespace vh {

// A new iniHandler with one reference, bound to no file.
ComPtr<_iniHandler> make_ini_handler();

}  // namespace vh
