// The component's public header: the type library's identifier and version,
// and the interfaces of both classes (ini/ini_interface.h,
// registry/registry_interface.h) with the collection their listings return
// (automation/interfaces.h). A C++ client that binds early includes this.
#pragma once

#include "automation/interfaces.h"
#include "ini/ini_interface.h"
#include "registry/registry_interface.h"

namespace vh {

inline constexpr GUID LIBID_Vornhall{
    0x9AA599D3, 0x6200, 0x4C50, {0x91, 0x70, 0xE9, 0xF2, 0x42, 0x49, 0x29, 0x5A}};

inline constexpr unsigned short library_major_version = 5;
inline constexpr unsigned short library_minor_version = 0;

}  // namespace vh
