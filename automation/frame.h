// The calling frame: the one way every interface member runs.
//
//  1. take a reference on the object, so it outlives the call even if the
//     caller lets go of it from within;
//  2. start the result empty (null string, Empty, null object, 0, false)
//     and clear the caller's result variable;
//  3. run the body, which copies its by-value arguments first;
//  4. an error raised in the body ends it: the result built so far is
//     freed (a number or Boolean keeps what was assigned), the status is
//     the error's, and by-reference arguments keep what was written;
//  5. release the reference;
//  6. store the result in the caller's variable, last of all;
//  7. return the status.
//
// No exception leaves a member: the frame is the one place that turns
// errors into statuses.
#pragma once

#include <type_traits>

#include "automation/errors.h"
#include "automation/values.h"
#include "platform/win32.h"

namespace vh {

namespace detail {

// The member's own value for each kind of result, and how it is handed over.
template <class R>
struct Local;
template <>
struct Local<BSTR> {
    using Type = Bstr;
    static void clear(BSTR& out) { out = nullptr; }
    static void reset(Type& value) { value = Bstr(); }
    static BSTR hand_over(Type& value) { return value.detach(); }
};
template <>
struct Local<VARIANT> {
    using Type = Variant;
    static void clear(VARIANT& out) { VariantInit(&out); }
    static void reset(Type& value) { value.clear(); }
    static VARIANT hand_over(Type& value) { return value.detach(); }
};
template <>
struct Local<LONG> {
    using Type = LONG;
    static void clear(LONG& out) { out = 0; }
    static void reset(Type&) {}
    static LONG hand_over(Type& value) { return value; }
};
template <>
struct Local<VARIANT_BOOL> {
    using Type = VARIANT_BOOL;
    static void clear(VARIANT_BOOL& out) { out = VARIANT_FALSE; }
    static void reset(Type&) {}
    static VARIANT_BOOL hand_over(Type& value) { return value; }
};
template <class I>
struct Local<I*> {
    using Type = ComPtr<I>;
    static void clear(I*& out) { out = nullptr; }
    static void reset(Type& value) { value.reset(); }
    static I* hand_over(Type& value) { return value.detach(); }
};

}  // namespace detail

// Runs body(result) as member of self; result is the member's local result
// value (Bstr, Variant, ComPtr, LONG or VARIANT_BOOL).
template <class Self, class R, class Body>
HRESULT run_member(Self* self, R* result, Body&& body) noexcept
{
    using L = detail::Local<R>;
    if (result == nullptr) {
        return E_POINTER;
    }
    L::clear(*result);
    self->AddRef();
    typename L::Type local{};
    HRESULT status = S_OK;
    try {
        body(local);
    } catch (...) {
        status = status_of_current_exception();
        L::reset(local);
    }
    self->Release();
    *result = L::hand_over(local);
    return status;
}

// The same for a member without a result.
template <class Self, class Body>
HRESULT run_member(Self* self, Body&& body) noexcept
{
    self->AddRef();
    HRESULT status = S_OK;
    try {
        body();
    } catch (...) {
        status = status_of_current_exception();
    }
    self->Release();
    return status;
}

}  // namespace vh
