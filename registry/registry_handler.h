// RegistryHandler: registry keys and values through the platform's
// registry functions.
#pragma once

#include "automation/values.h"
#include "registry/registry_interface.h"

namespace vh {

// A new RegistryHandler with one reference.
ComPtr<_RegistryHandler> make_registry_handler();

}  // namespace vh
