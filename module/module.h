// The module's entry points, served from one read-only descriptor.
#pragma once

#include <array>
#include <string_view>

#include "module/vornhall.h"
#include "platform/win32.h"

namespace vh {

struct ClassInfo {
    std::u16string_view name;  // "iniHandler"
    const CLSID* clsid;
    const IID* default_interface;
    bool creatable;
    bool has_events;
    std::u16string_view threading_model;
    // Makes a new object and asks it for riid.
    HRESULT (*create)(REFIID riid, void** object);
};

struct ProjectDescriptor {
    std::u16string_view library_name;
    const GUID* library_id;
    unsigned short major_version;
    unsigned short minor_version;
    std::array<ClassInfo, 2> classes;  // iniHandler, RegistryHandler
};

const ProjectDescriptor& project();

}  // namespace vh
