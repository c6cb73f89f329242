// The module file and the registration of its type library, on Windows.
#include "platform/module_info.h"

#include <utility>

namespace vh::platform {

namespace {

// Owns one reference to a loaded type library.
class TypeLibRef {
public:
    TypeLibRef() noexcept = default;
    TypeLibRef(const TypeLibRef&) = delete;
    TypeLibRef& operator=(const TypeLibRef&) = delete;
    ~TypeLibRef()
    {
        if (m_library != nullptr) {
            m_library->Release();
        }
    }

    ITypeLib* get() const noexcept { return m_library; }
    ITypeLib** put() noexcept { return &m_library; }

private:
    ITypeLib* m_library = nullptr;
};

// The module this code is linked into, not the program that loaded it.
HMODULE own_module()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&own_module), &module);
    return module;
}

std::wstring wide(const std::u16string& text)
{
    return std::wstring(text.begin(), text.end());
}

// Loads the type library embedded in the module file, without registering it.
HRESULT load_embedded(const std::u16string& module, TypeLibRef& library)
{
    if (module.empty()) {
        return E_FAIL;
    }
    return LoadTypeLibEx(wide(module).c_str(), REGKIND_NONE, library.put());
}

}  // namespace

std::u16string module_path()
{
    const HMODULE module = own_module();
    if (module == nullptr) {
        return {};
    }
    // A full path can be longer than MAX_PATH; grow until it fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
    return std::u16string(path.begin(), path.end());
}

const char* type_library_platform() noexcept
{
    return sizeof(void*) == 8 ? "win64" : "win32";
}

HRESULT register_type_library(const std::u16string& module)
{
    TypeLibRef library;
    if (const HRESULT status = load_embedded(module, library); FAILED(status)) {
        return status;
    }
    std::wstring path = wide(module);
    return RegisterTypeLib(library.get(), path.data(), nullptr);
}

HRESULT unregister_type_library()
{
    // Unregisters exactly what RegisterTypeLib wrote: the library's own
    // identifier, version, locale and target system.
    TypeLibRef library;
    if (const HRESULT status = load_embedded(module_path(), library); FAILED(status)) {
        return status;
    }
    TLIBATTR* attributes = nullptr;
    if (const HRESULT status = library.get()->GetLibAttr(&attributes); FAILED(status)) {
        return status;
    }
    const TLIBATTR copy = *attributes;
    library.get()->ReleaseTLibAttr(attributes);
    const HRESULT status =
        UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
    // Nothing registered is nothing to remove.
    return status == TYPE_E_REGISTRYACCESS ? S_OK : status;
}

}  // namespace vh::platform
