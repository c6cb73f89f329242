// Conversions between the Variant kinds, following the Windows rules for the
// scalar kinds: integers are range-checked (DISP_E_OVERFLOW), floating values
// round half to even, text is parsed with blanks allowed around it and
// mismatches give DISP_E_TYPEMISMATCH. A conversion that fails leaves its
// destination untouched.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/linux/runtime/runtime.h"

namespace {

using namespace vh::runtime;

// ---- Conversions ----------------------------------------------------------------

struct IntegerKind {
    VARTYPE vt;
    int bits;
    bool is_signed;
};

constexpr IntegerKind integer_kinds[] = {
    {VT_I1, 8, true},    {VT_UI1, 8, false}, {VT_I2, 16, true},    {VT_UI2, 16, false}, {VT_I4, 32, true},
    {VT_UI4, 32, false}, {VT_INT, 32, true}, {VT_UINT, 32, false}, {VT_I8, 64, true},   {VT_UI8, 64, false},
};

const IntegerKind* integer_kind(VARTYPE vt)
{
    for (const auto& kind : integer_kinds) {
        if (kind.vt == vt) {
            return &kind;
        }
    }
    return nullptr;
}

// The payload bits of an integer Variant, zero-extended.
std::uint64_t integer_bits(const VARIANT& v, const IntegerKind& kind)
{
    switch (kind.bits) {
        case 8:
            return v.bVal;
        case 16:
            return v.uiVal;
        case 32:
            return v.ulVal;
        default:
            return v.ullVal;
    }
}

void store_integer_bits(VARIANT& v, const IntegerKind& kind, std::uint64_t bits)
{
    switch (kind.bits) {
        case 8:
            v.bVal = static_cast<BYTE>(bits);
            break;
        case 16:
            v.uiVal = static_cast<USHORT>(bits);
            break;
        case 32:
            v.ulVal = static_cast<ULONG>(bits);
            break;
        default:
            v.ullVal = bits;
            break;
    }
    v.vt = kind.vt;
}

Number integer_number(const VARIANT& v, const IntegerKind& kind)
{
    const std::uint64_t bits = integer_bits(v, kind);
    if (kind.is_signed) {
        const auto value = static_cast<std::int64_t>(bits << (64 - kind.bits)) >> (64 - kind.bits);
        return exact_number(value < 0, value < 0 ? 0 - static_cast<std::uint64_t>(value) : bits, 0);
    }
    return exact_number(false, bits, 0);
}

// Reads any scalar numeric, Boolean, Empty or text Variant as a Number.
HRESULT read_number(const VARIANT& in, Number& out)
{
    if (const IntegerKind* kind = integer_kind(in.vt)) {
        out = integer_number(in, *kind);
        return S_OK;
    }
    switch (in.vt) {
        case VT_EMPTY:
            out = Number{};
            return S_OK;
        case VT_BOOL:
            out = exact_number(in.boolVal != VARIANT_FALSE, in.boolVal != VARIANT_FALSE ? 1 : 0, 0);
            return S_OK;
        case VT_R4:
            out = real_number(in.fltVal);
            return S_OK;
        case VT_R8:
            out = real_number(in.dblVal);
            return S_OK;
        case VT_DATE:
            out = real_number(in.date);
            return S_OK;
        case VT_CY: {
            const std::int64_t value = in.cyVal.int64;
            out = exact_number(value < 0, value < 0 ? 0 - static_cast<std::uint64_t>(value) : value, -4);
            return S_OK;
        }
        case VT_DECIMAL: {
            const DECIMAL& d = in.decVal;
            if (d.scale > 28) {
                return E_INVALIDARG;
            }
            out = exact_number((d.sign & 0x80) != 0, (Wide{d.Hi32} << 64) | d.Lo64, -d.scale);
            return S_OK;
        }
        case VT_BSTR:
            return parse_number(in.bstrVal, SysStringLen(in.bstrVal), out);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

HRESULT store_integer(VARIANT& out, const Number& n, const IntegerKind& kind)
{
    if (n.is_real) {
        const double rounded = std::nearbyint(n.real);  // half to even
        const double upper = std::ldexp(1.0, kind.is_signed ? kind.bits - 1 : kind.bits);
        const double lower = kind.is_signed ? -upper : 0.0;
        if (!(rounded >= lower && rounded < upper)) {
            return DISP_E_OVERFLOW;
        }
        store_integer_bits(out, kind,
                           kind.is_signed ? static_cast<std::uint64_t>(static_cast<std::int64_t>(rounded))
                                          : static_cast<std::uint64_t>(rounded));
        return S_OK;
    }
    Wide magnitude = 0;
    if (!scaled_magnitude(n, 0, magnitude)) {
        return DISP_E_OVERFLOW;
    }
    const Wide positive_limit = (Wide{1} << (kind.is_signed ? kind.bits - 1 : kind.bits)) - 1;
    const Wide negative_limit = kind.is_signed ? positive_limit + 1 : 0;
    if (n.negative ? magnitude > negative_limit : magnitude > positive_limit) {
        return DISP_E_OVERFLOW;
    }
    const auto bits = static_cast<std::uint64_t>(magnitude);
    store_integer_bits(out, kind, n.negative ? 0 - bits : bits);
    return S_OK;
}

HRESULT store_currency(VARIANT& out, const Number& n)
{
    constexpr double two_63 = 9223372036854775808.0;
    if (n.is_real) {
        const double scaled = std::nearbyint(n.real * 10000.0);
        if (!(scaled >= -two_63 && scaled < two_63)) {
            return DISP_E_OVERFLOW;
        }
        out.cyVal.int64 = static_cast<std::int64_t>(scaled);
    } else {
        Wide magnitude = 0;
        const Wide limit = Wide{1} << 63;
        if (!scaled_magnitude(n, 4, magnitude) || magnitude > (n.negative ? limit : limit - 1)) {
            return DISP_E_OVERFLOW;
        }
        const auto bits = static_cast<std::uint64_t>(magnitude);
        out.cyVal.int64 = static_cast<std::int64_t>(n.negative ? 0 - bits : bits);
    }
    out.vt = VT_CY;
    return S_OK;
}

HRESULT store_decimal(VARIANT& out, Number n)
{
    if (n.is_real) {
        if (!std::isfinite(n.real)) {
            return DISP_E_OVERFLOW;
        }
        char text[32];
        const std::size_t length = format_real(n.real, 15, text, sizeof text);
        if (FAILED(parse_number(text, length, n))) {
            return DISP_E_OVERFLOW;
        }
    }
    int scale = std::clamp(-n.exponent, 0, 28);
    Wide magnitude = 0;
    while (!scaled_magnitude(n, scale, magnitude) || (magnitude >> 96) != 0) {
        if (scale == 0) {
            return DISP_E_OVERFLOW;
        }
        --scale;
    }
    DECIMAL d{};
    d.scale = static_cast<BYTE>(scale);
    d.sign = n.negative && magnitude != 0 ? 0x80 : 0;
    d.Hi32 = static_cast<ULONG>(magnitude >> 64);
    d.Lo64 = static_cast<ULONGLONG>(magnitude);
    out.decVal = d;  // overlays the kind field, so the kind is set after
    out.vt = VT_DECIMAL;
    return S_OK;
}

HRESULT store_real(VARIANT& out, const Number& n, VARTYPE vt)
{
    double value = 0.0;
    const HRESULT hr = number_to_double(n, value);
    if (FAILED(hr)) {
        return hr;
    }
    if (vt == VT_R4) {
        if (std::isinf(value) || std::fabs(value) > FLT_MAX) {
            return DISP_E_OVERFLOW;
        }
        out.fltVal = static_cast<float>(value);
    } else if (vt == VT_DATE) {
        // The dates from 1 January 100 to 31 December 9999.
        if (!(value > -657435.0 && value < 2958466.0)) {
            return DISP_E_OVERFLOW;
        }
        out.date = value;
    } else {
        out.dblVal = value;
    }
    out.vt = vt;
    return S_OK;
}

HRESULT store_number(VARIANT& out, const Number& n, VARTYPE vt)
{
    if (const IntegerKind* kind = integer_kind(vt)) {
        return store_integer(out, n, *kind);
    }
    switch (vt) {
        case VT_R4:
        case VT_R8:
        case VT_DATE:
            return store_real(out, n, vt);
        case VT_CY:
            return store_currency(out, n);
        case VT_DECIMAL:
            return store_decimal(out, n);
        case VT_BOOL:
            out.boolVal = (n.is_real ? n.real != 0.0 : n.count != 0) ? VARIANT_TRUE : VARIANT_FALSE;
            out.vt = VT_BOOL;
            return S_OK;
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

bool text_equals_ignoring_case(BSTR text, UINT length, const char* lower_expected)
{
    const std::size_t expected_length = std::strlen(lower_expected);
    if (length != expected_length) {
        return false;
    }
    for (UINT i = 0; i < length; ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
        if (c != static_cast<unsigned char>(lower_expected[i])) {
            return false;
        }
    }
    return true;
}

// Text to Boolean: "True" and "False" in any case, "#TRUE#" and "#FALSE#",
// or a number (true when not zero).
HRESULT store_bool_from_text(VARIANT& out, BSTR text)
{
    if (text == nullptr) {
        return DISP_E_TYPEMISMATCH;
    }
    const UINT length = SysStringLen(text);
    VARIANT_BOOL value = VARIANT_FALSE;
    if (text_equals_ignoring_case(text, length, "true")) {
        value = VARIANT_TRUE;
    } else if (text_equals_ignoring_case(text, length, "false")) {
        value = VARIANT_FALSE;
    } else if (length == 6 && std::char_traits<char16_t>::compare(text, u"#TRUE#", 6) == 0) {
        value = VARIANT_TRUE;
    } else if (length == 7 && std::char_traits<char16_t>::compare(text, u"#FALSE#", 7) == 0) {
        value = VARIANT_FALSE;
    } else {
        Number n;
        const HRESULT hr = parse_number(text, length, n);
        if (FAILED(hr)) {
            return hr;
        }
        value = n.count != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    }
    out.boolVal = value;
    out.vt = VT_BOOL;
    return S_OK;
}

HRESULT store_text(VARIANT& out, const VARIANT& in, USHORT flags)
{
    char text[96];
    std::size_t length = 0;
    if (in.vt == VT_BOOL && (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) != 0) {
        const char* word = in.boolVal != VARIANT_FALSE ? "True" : "False";
        length = std::strlen(word);
        std::memcpy(text, word, length);
    } else if (in.vt == VT_BOOL) {
        length = format_exact(integer_number(in, *integer_kind(VT_I2)), text, sizeof text);
    } else if (in.vt == VT_R4) {
        length = format_real(in.fltVal, 7, text, sizeof text);
    } else if (in.vt == VT_R8 || in.vt == VT_DATE) {
        length = format_real(in.dblVal, 15, text, sizeof text);
    } else if (in.vt != VT_EMPTY) {
        Number n;
        const HRESULT hr = read_number(in, n);
        if (FAILED(hr)) {
            return hr;
        }
        length = format_exact(n, text, sizeof text);
    }
    out.bstrVal = bstr_from_ascii(text, length);
    if (out.bstrVal == nullptr) {
        return E_OUTOFMEMORY;
    }
    out.vt = VT_BSTR;
    return S_OK;
}

bool is_scalar_source(VARTYPE vt)
{
    return integer_kind(vt) != nullptr || vt == VT_EMPTY || vt == VT_R4 || vt == VT_R8 || vt == VT_DATE ||
           vt == VT_CY || vt == VT_DECIMAL || vt == VT_BOOL || vt == VT_BSTR;
}

bool is_scalar_target(VARTYPE vt)
{
    return is_scalar_source(vt) && vt != VT_EMPTY;
}

HRESULT convert(VARIANT& out, const VARIANT& source, USHORT flags, VARTYPE vt, int depth);

// An object's default (value) property, read for conversion to a scalar.
constexpr int max_value_depth = 8;

HRESULT convert_object_value(VARIANT& out, IDispatch* object, USHORT flags, VARTYPE vt, int depth)
{
    if (object == nullptr) {
        return DISP_E_BADVARTYPE;
    }
    if (depth >= max_value_depth) {
        return DISP_E_TYPEMISMATCH;  // a chain of objects that never yields a value
    }
    DISPPARAMS no_arguments{nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = object->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                &no_arguments, &value, nullptr, nullptr);
    if (FAILED(hr)) {
        VariantClear(&value);
        return DISP_E_TYPEMISMATCH;
    }
    hr = convert(out, value, flags, vt, depth + 1);
    VariantClear(&value);
    return hr;
}

HRESULT query_interface(IUnknown* object, REFIID iid, void** result)
{
    *result = nullptr;
    return object == nullptr ? S_OK : object->QueryInterface(iid, result);
}

// Converts a by-value scalar or object Variant to kind `vt`. On failure `out`
// holds nothing.
HRESULT coerce(VARIANT& out, const VARIANT& in, USHORT flags, VARTYPE vt, int depth)
{
    auto canonical = [](VARTYPE t) -> VARTYPE {
        return t == VT_INT ? VARTYPE{VT_I4} : t == VT_UINT ? VARTYPE{VT_UI4} : t;
    };
    const VARTYPE from = in.vt;
    if (canonical(from) == canonical(vt)) {
        const HRESULT hr = copy_value(out, in);
        if (SUCCEEDED(hr)) {
            out.vt = vt;
        }
        return hr;
    }
    if ((flags & VARIANT_NOVALUEPROP) != 0 && from == VT_DISPATCH && vt != VT_UNKNOWN) {
        return DISP_E_TYPEMISMATCH;
    }
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            // Any scalar or object may become Empty or Null; Null itself only stays
            // Null, and an error value becomes neither.
            if ((vt == VT_EMPTY && from == VT_NULL) || from > VT_UINT || from == vt_unused_15 ||
                from == VT_ERROR) {
                return DISP_E_TYPEMISMATCH;
            }
            out.vt = vt;
            return S_OK;
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            if (from != (vt == VT_UNKNOWN ? VT_DISPATCH : VT_UNKNOWN)) {
                return DISP_E_TYPEMISMATCH;
            }
            const HRESULT hr = query_interface(in.punkVal, vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch,
                                               reinterpret_cast<void**>(&out.punkVal));
            if (SUCCEEDED(hr)) {
                out.vt = vt;
            }
            return hr;
        }
        default:
            break;
    }
    if (!is_scalar_target(vt)) {
        return DISP_E_TYPEMISMATCH;
    }
    if (from == VT_DISPATCH) {
        return convert_object_value(out, in.pdispVal, flags, vt, depth);
    }
    if (!is_scalar_source(from)) {
        return DISP_E_TYPEMISMATCH;
    }
    if (vt == VT_BSTR) {
        return store_text(out, in, flags);
    }
    const IntegerKind* target = integer_kind(vt);
    const IntegerKind* source = integer_kind(from);
    if (target != nullptr && source != nullptr && target->bits == source->bits) {
        // Windows reinterprets between the signed and unsigned kinds of one width.
        store_integer_bits(out, *target, integer_bits(in, *source));
        return S_OK;
    }
    if (from == VT_BOOL && target != nullptr && !target->is_signed) {
        // True is all bits set, whatever the width.
        store_integer_bits(out, *target, in.boolVal != VARIANT_FALSE ? ~std::uint64_t{0} : 0);
        return S_OK;
    }
    if (from == VT_BOOL && vt == VT_DECIMAL) {
        return store_decimal(out, exact_number(false, in.boolVal != VARIANT_FALSE ? 1 : 0, 0));
    }
    if (from == VT_BSTR && vt == VT_BOOL) {
        return store_bool_from_text(out, in.bstrVal);
    }
    Number n;
    const HRESULT hr = read_number(in, n);
    return FAILED(hr) ? hr : store_number(out, n, vt);
}

// Converts any Variant (by reference too) into `out`, which the caller gives
// uninitialised and owns afterwards. On failure `out` is Empty.
HRESULT convert(VARIANT& out, const VARIANT& source, USHORT flags, VARTYPE vt, int depth)
{
    VariantInit(&out);
    if (!is_valid_vartype(source.vt) || !is_valid_vartype(vt)) {
        return DISP_E_BADVARTYPE;
    }
    if ((source.vt & VT_BYREF) != 0 && source.byref == nullptr) {
        return DISP_E_TYPEMISMATCH;
    }
    VARIANT view;
    HRESULT hr = dereference(source, view);
    if (FAILED(hr)) {
        return hr;
    }
    if ((view.vt & VT_ARRAY) != 0 || (vt & VT_ARRAY) != 0) {
        // Arrays convert only to their own kind.
        return view.vt == vt ? copy_value(out, view) : DISP_E_TYPEMISMATCH;
    }
    hr = coerce(out, view, flags, vt, depth);
    if (FAILED(hr)) {
        out.vt = VT_EMPTY;
    }
    return hr;
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt)
{
    if (dest == nullptr || src == nullptr) {
        return E_INVALIDARG;
    }
    VARIANT result;
    HRESULT hr = convert(result, *src, flags, vt, 0);
    if (FAILED(hr)) {
        return hr;
    }
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *dest = result;
    return S_OK;
}
