// RegistryHandler's member table, which late binding, the command-line
// client and the check against the Windows type library read, and how its
// root-key parameters travel in late-bound calls: as 32-bit integers.
#pragma once

#include "automation/members.h"
#include "registry/registry_interface.h"

namespace vh {

const InterfaceTable& registry_handler_table();

template <>
inline const InterfaceTable& table_of<_RegistryHandler>()
{
    return registry_handler_table();
}

namespace detail {

template <>
struct Arg<HKEYS> {
    static constexpr Kind kind = Kind::root_key;
    static constexpr bool by_ref = false;
    static HKEYS from(void* slot) { return static_cast<HKEYS>(*static_cast<LONG*>(slot)); }
};
template <>
struct Arg<HKEYS*> {
    static constexpr Kind kind = Kind::root_key;
    static constexpr bool by_ref = true;
    static HKEYS* from(void* slot) { return reinterpret_cast<HKEYS*>(static_cast<LONG*>(slot)); }
};

}  // namespace detail

}  // namespace vh
