// Variants: copies are deep (a string is duplicated, an array copied with
// all its elements, an interface AddRef'd); a by-reference Variant owns
// nothing, so clearing it frees nothing.
#include <cstring>

#include "platform/linux/runtime/runtime.h"

namespace vh::runtime {

// Bytes of the payload a by-reference Variant points at.
std::size_t payload_size(VARTYPE base)
{
    switch (base) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
            return 8;
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(void*);
        default:
            return 0;
    }
}

// The by-value form of a by-reference Variant, sharing (not copying) the
// string, array or interface it refers to. A reference to a Variant is
// followed once more when that Variant is itself by reference to a value.
HRESULT dereference(const VARIANT& in, VARIANT& view)
{
    view = in;
    if ((in.vt & VT_BYREF) == 0) {
        return S_OK;
    }
    const VARTYPE base = base_type(in.vt);
    if ((in.vt & (vt_vector | VT_RESERVED)) != 0 ||
        ((in.vt & VT_ARRAY) == 0 && (base <= VT_NULL || base == vt_unused_15 || base >= VT_VOID)) ||
        in.byref == nullptr) {
        return E_INVALIDARG;
    }
    if ((in.vt & VT_ARRAY) != 0) {
        view.vt = in.vt & ~VT_BYREF;
        view.parray = *in.pparray;
        return S_OK;
    }
    if (base == VT_VARIANT) {
        const VARIANT& inner = *in.pvarVal;
        if (inner.vt == (VT_BYREF | VT_VARIANT)) {
            return E_INVALIDARG;
        }
        if (!is_valid_vartype(inner.vt)) {
            return DISP_E_BADVARTYPE;
        }
        return dereference(inner, view);
    }
    if (base == VT_DECIMAL) {
        view.decVal = *in.pdecVal;
        view.vt = VT_DECIMAL;
        return S_OK;
    }
    view.vt = base;
    view.ullVal = 0;
    std::memcpy(&view.ullVal, in.byref, payload_size(base));
    return S_OK;
}

// Makes `out` a deep copy of `in` (by reference: a copy of the reference).
// On failure `out` is Empty.
HRESULT copy_value(VARIANT& out, const VARIANT& in)
{
    out = in;
    if ((in.vt & VT_BYREF) != 0) {
        return S_OK;
    }
    if ((in.vt & VT_ARRAY) != 0) {
        if (in.parray != nullptr) {
            const HRESULT hr = SafeArrayCopy(in.parray, &out.parray);
            if (FAILED(hr)) {
                out.vt = VT_EMPTY;
                return hr;
            }
        }
        return S_OK;
    }
    if (in.vt == VT_BSTR) {
        bool ok = true;
        out.bstrVal = duplicate_bstr(in.bstrVal, ok);
        if (!ok) {
            out.vt = VT_EMPTY;
            return E_OUTOFMEMORY;
        }
    } else if (is_interface(in.vt) && in.punkVal != nullptr) {
        in.punkVal->AddRef();
    }
    return S_OK;
}

}  // namespace vh::runtime

using vh::runtime::copy_value;
using vh::runtime::dereference;
using vh::runtime::is_interface;
using vh::runtime::is_valid_vartype;

void VariantInit(VARIANT* v)
{
    if (v != nullptr) {
        v->vt = VT_EMPTY;
    }
}

HRESULT VariantClear(VARIANT* v)
{
    if (v == nullptr) {
        return E_INVALIDARG;
    }
    if (!is_valid_vartype(v->vt)) {
        return DISP_E_BADVARTYPE;
    }
    // Emptied first, so that a Release that comes back here finds it empty.
    const VARIANT old = *v;
    v->vt = VT_EMPTY;
    if ((old.vt & VT_BYREF) != 0) {
        return S_OK;
    }
    if ((old.vt & VT_ARRAY) != 0) {
        return old.parray != nullptr ? SafeArrayDestroy(old.parray) : S_OK;
    }
    if (old.vt == VT_BSTR) {
        SysFreeString(old.bstrVal);
    } else if (is_interface(old.vt) && old.punkVal != nullptr) {
        old.punkVal->Release();
    }
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src)
{
    if (dest == nullptr || src == nullptr) {
        return E_INVALIDARG;
    }
    if (!is_valid_vartype(src->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (dest == src) {
        return S_OK;
    }
    // Copied before the destination is cleared: the source may live inside it.
    VARIANT copy;
    HRESULT hr = copy_value(copy, *src);
    if (FAILED(hr)) {
        return hr;
    }
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *dest = copy;
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src)
{
    if (dest == nullptr || src == nullptr) {
        return E_INVALIDARG;
    }
    if ((src->vt & VT_BYREF) == 0) {
        return VariantCopy(dest, src);
    }
    VARIANT view;
    HRESULT hr = dereference(*src, view);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT copy;
    hr = copy_value(copy, view);
    if (FAILED(hr)) {
        return hr;
    }
    if (dest != src) {  // in place, the destination is a reference that owns nothing
        hr = VariantClear(dest);
        if (FAILED(hr)) {
            VariantClear(&copy);
            return hr;
        }
    }
    *dest = copy;
    return S_OK;
}
