// Type information for the objects' IDispatch. Where the module embeds a
// type library (resource TYPELIB 1 on Windows), each object describes its
// interface with that library's description, for object browsers and
// marshalling; where the platform has no type libraries there is none.
// Calls by name go through the member tables either way.
#pragma once

#include "platform/win32.h"

namespace vh::platform {

// How many type descriptions an object hands out: 1 where the module embeds
// a type library, 0 where the platform has none.
UINT type_info_count() noexcept;

// The embedded library's description of interface iid, with a reference
// for the caller. The library is loaded on first use and kept for the life
// of the module; a failed load gives its status on every call. Throws
// std::bad_alloc when memory runs out.
HRESULT type_info_of(const IID& iid, ITypeInfo** info);

}  // namespace vh::platform
