// Where the platform has no type libraries, objects describe themselves only
// through their member tables: there is no type information to hand out.
#include "automation/dispatch.h"

namespace vh::dispatch {

HRESULT type_info_count(const InterfaceTable&, UINT* count) noexcept
{
    if (count == nullptr) {
        return E_INVALIDARG;
    }
    *count = 0;
    return S_OK;
}

HRESULT type_info(const InterfaceTable&, UINT, LCID, ITypeInfo** info) noexcept
{
    if (info != nullptr) {
        *info = nullptr;
    }
    return DISP_E_BADINDEX;
}

}  // namespace vh::dispatch
