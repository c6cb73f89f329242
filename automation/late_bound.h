// Late-bound calls as a script host makes them, for the component's own
// clients (the command-line client, the benchmarks, the tests): a name
// looked up once, the arguments laid out once, and the error information a
// failing member hands back owned until the caller is done with it.
#pragma once

#include <string_view>
#include <vector>

#include "automation/values.h"

namespace vh {

// The owner of an EXCEPINFO that Invoke filled: its strings are freed when
// it goes or is filled again.
class ExcepInfo {
public:
    ExcepInfo() noexcept = default;
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
    ExcepInfo(ExcepInfo&& other) noexcept;
    ExcepInfo& operator=(ExcepInfo&& other) noexcept;
    ~ExcepInfo() { clear(); }

    const EXCEPINFO& get() const noexcept { return m_info; }
    const EXCEPINFO* operator->() const noexcept { return &m_info; }
    // The description a failing member gave ("" for none).
    Text description() const noexcept;
    // Emptied, for Invoke to fill.
    EXCEPINFO* put() noexcept;

private:
    void clear() noexcept;

    EXCEPINFO m_info{};
};

// The dispatch identifier of `name`; DISPID_UNKNOWN when the object has none.
DISPID dispatch_id(IDispatch* object, std::u16string_view name);

// One call of a member, its arguments laid out once, to be made any number
// of times. The arguments are given first one first and passed as they are
// (a VT_BYREF argument reaches the member by reference); the caller keeps
// them alive. `named` holds the identifiers of the last named.size()
// arguments (DISPID_PROPERTYPUT for the value a property is set to).
class LateCall {
public:
    LateCall(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args,
             std::vector<DISPID> named = {});
    LateCall(const LateCall&) = delete;
    LateCall& operator=(const LateCall&) = delete;

    HRESULT invoke(VARIANT* result, EXCEPINFO* excep = nullptr, UINT* arg_error = nullptr);

private:
    IDispatch* m_object;
    DISPID m_id;
    WORD m_flags;
    std::vector<VARIANT> m_slots;  // as Invoke takes them: named first, then the others last one first
    std::vector<DISPID> m_named;
    DISPPARAMS m_params{};
};

// Arguments made from values, as the client and the benchmarks call: the
// values as they are, and for a property put (flags DISPATCH_PROPERTYPUT)
// the last one named DISPID_PROPERTYPUT. The values stay the caller's.
struct ValueArgs {
    std::vector<VARIANT> args;
    std::vector<DISPID> named;
};
ValueArgs value_args(const std::vector<Variant>& values, WORD flags);

// What one call gave back.
struct CallResult {
    HRESULT status = S_OK;
    Variant result;
    ExcepInfo excep;
    UINT arg_error = static_cast<UINT>(-1);
};

// Makes one call as LateCall does.
CallResult invoke(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args,
                  std::vector<DISPID> named = {});

}  // namespace vh
