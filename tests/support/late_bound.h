// Late-bound calls for tests, the way a script host makes them (built on
// automation/late_bound.h, which the other clients share).
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "automation/late_bound.h"
#include "automation/values.h"
#include "platform/win32.h"

namespace vh::test {

using Call = CallResult;

// The dispatch identifier of a name (DISPID_UNKNOWN when there is none).
inline DISPID id_of(IDispatch* object, const std::u16string& name)
{
    return dispatch_id(object, name);
}

// Invokes id with args given first argument first; args are passed as they
// are (so a VT_BYREF argument reaches the member by reference).
using vh::invoke;

// Invokes a member by name as a method with copies of the given values.
Call call(IDispatch* object, const std::u16string& name, std::initializer_list<const Variant*> args);

Variant text(const std::u16string& value);

}  // namespace vh::test
