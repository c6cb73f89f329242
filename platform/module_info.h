// What the component needs to know about its own module file, and the
// type library registration that goes with it on platforms that have one.
#pragma once

#include <string>

#include "platform/win32.h"

namespace vh::platform {

// The full path of the module file the component was loaded from.
std::u16string module_path();

// Registers and unregisters the type library embedded in the module (the
// platform's own registration, for browsers and marshalling). Where the
// platform has no type libraries they do nothing and succeed. Unregistering
// a library that is not registered succeeds.
HRESULT register_type_library(const std::u16string& module);
HRESULT unregister_type_library();

}  // namespace vh::platform
