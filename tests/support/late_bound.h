// Late-bound calls for tests, the way a script host makes them.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "automation/values.h"

namespace vh::test {

struct Call {
    HRESULT status = S_OK;
    Variant result;
    EXCEPINFO excep{};
    UINT arg_error = static_cast<UINT>(-1);

    Call() = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    Call(Call&& other) noexcept;
    ~Call();
};

// The dispatch identifier of a name (DISPID_UNKNOWN when there is none).
DISPID id_of(IDispatch* object, const std::u16string& name);

// Invokes id with args given first argument first; args are passed as they
// are (so a VT_BYREF argument reaches the member by reference).
Call invoke(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args,
            std::vector<DISPID> named = {});

// Invokes a member by name as a method with copies of the given values.
Call call(IDispatch* object, const std::u16string& name, std::initializer_list<const Variant*> args);

Variant text(const std::u16string& value);

}  // namespace vh::test
