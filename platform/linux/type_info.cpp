// No type libraries here: objects describe themselves only through their
// member tables, and there is no type information to hand out.
#include "platform/type_info.h"

namespace vh::platform {

UINT type_info_count() noexcept
{
    return 0;
}

HRESULT type_info_of(const IID&, ITypeInfo** info)
{
    *info = nullptr;
    return DISP_E_BADINDEX;
}

}  // namespace vh::platform
