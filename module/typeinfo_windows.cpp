// Type information on Windows: each object describes its interface with
// the type description of the type library embedded in the module
// (resource TYPELIB 1), for object browsers and marshalling. Calls by name
// still go through the member tables (automation/dispatch.cpp).
#include <utility>

#include "automation/dispatch.h"
#include "automation/values.h"
#include "platform/module_info.h"

namespace vh::dispatch {

namespace {

// The embedded type library, loaded on first use and kept for the life of
// the module; the status of that one load.
struct EmbeddedLibrary {
    ComPtr<ITypeLib> library;
    HRESULT status = E_FAIL;
};

const EmbeddedLibrary& embedded_library()
{
    static const EmbeddedLibrary loaded = [] {
        EmbeddedLibrary result;
        const std::u16string path = platform::module_path();
        const std::wstring wide_path(path.begin(), path.end());
        result.status =
            path.empty() ? E_FAIL : LoadTypeLibEx(wide_path.c_str(), REGKIND_NONE, result.library.put());
        return result;
    }();
    return loaded;
}

}  // namespace

HRESULT type_info_count(const InterfaceTable&, UINT* count) noexcept
{
    if (count == nullptr) {
        return E_INVALIDARG;
    }
    *count = 1;
    return S_OK;
}

HRESULT type_info(const InterfaceTable& table, UINT index, LCID, ITypeInfo** info) noexcept
{
    if (info == nullptr) {
        return E_POINTER;
    }
    *info = nullptr;
    if (index != 0) {
        return DISP_E_BADINDEX;
    }
    try {
        const EmbeddedLibrary& embedded = embedded_library();
        if (FAILED(embedded.status)) {
            return embedded.status;
        }
        return embedded.library->GetTypeInfoOfGuid(*table.iid, info);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace vh::dispatch
