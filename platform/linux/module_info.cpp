#include "platform/module_info.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace vh::platform {

std::u16string module_path()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_path), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    // The name the module was loaded by may be relative to the folder the
    // process was in; registration keeps the one absolute path of the file.
    const std::unique_ptr<char, decltype(&std::free)> canonical(realpath(info.dli_fname, nullptr),
                                                                &std::free);
    const char* name = canonical ? canonical.get() : info.dli_fname;
    // File names are UTF-8 here, whatever the ANSI code page. A name that is
    // not UTF-8 has no UTF-16 form that would lead back to the file: it is
    // not named at all rather than named wrongly.
    const int length = static_cast<int>(std::strlen(name));
    std::u16string path(static_cast<std::size_t>(length), u'\0');
    const int converted =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, length, path.data(), length);
    path.resize(static_cast<std::size_t>(converted > 0 ? converted : 0));
    return path;
}

// The module stands in for the classic 32-bit component, whose library is
// registered under win32; there is no type library registration here to
// agree with.
const char* type_library_platform() noexcept
{
    return "win32";
}

HRESULT register_type_library(const std::u16string&)
{
    return S_OK;
}

HRESULT unregister_type_library()
{
    return S_OK;
}

}  // namespace vh::platform
