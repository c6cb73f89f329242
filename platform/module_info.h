// What the component needs to know about its own module file, and the
// type library registration that goes with it on platforms that have one.
#pragma once

#include <string>

#include "platform/win32.h"

namespace vh::platform {

// The full path of the module file the component was loaded from; empty
// when it cannot be named (a registration must then not be written).
std::u16string module_path();

// The platform key under which the type library's file is registered
// (TypeLib\{library}\<version>\<locale>\<key>): "win64" for a 64-bit
// Windows module, "win32" otherwise. 32-bit clients look for their libraries
// under win32, so a 64-bit module must never be registered there. It is the
// key RegisterTypeLib itself writes for the embedded library.
const char* type_library_platform() noexcept;

// Registers and unregisters the type library embedded in the module (the
// platform's own registration, for browsers and marshalling). Where the
// platform has no type libraries they do nothing and succeed. Unregistering
// a library that is not registered succeeds.
HRESULT register_type_library(const std::u16string& module);
HRESULT unregister_type_library();

}  // namespace vh::platform
