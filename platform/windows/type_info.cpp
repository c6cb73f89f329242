// Type information from the type library embedded in the module.
#include "platform/type_info.h"

#include <string>

#include "platform/module_info.h"

namespace vh::platform {

namespace {

// The embedded type library, loaded once and released with the module; the
// status of that one load.
class EmbeddedLibrary {
public:
    EmbeddedLibrary()
    {
        const std::u16string path = module_path();
        const std::wstring wide_path(path.begin(), path.end());
        m_status = path.empty() ? E_FAIL : LoadTypeLibEx(wide_path.c_str(), REGKIND_NONE, &m_library);
    }
    ~EmbeddedLibrary()
    {
        if (m_library != nullptr) {
            m_library->Release();
        }
    }
    EmbeddedLibrary(const EmbeddedLibrary&) = delete;
    EmbeddedLibrary& operator=(const EmbeddedLibrary&) = delete;

    HRESULT type_info_of(const IID& iid, ITypeInfo** info) const
    {
        return FAILED(m_status) ? m_status : m_library->GetTypeInfoOfGuid(iid, info);
    }

private:
    ITypeLib* m_library = nullptr;
    HRESULT m_status = E_FAIL;
};

}  // namespace

UINT type_info_count() noexcept
{
    return 1;
}

HRESULT type_info_of(const IID& iid, ITypeInfo** info)
{
    static const EmbeddedLibrary library;
    return library.type_info_of(iid, info);
}

}  // namespace vh::platform
