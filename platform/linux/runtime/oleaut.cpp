// The automation runtime subset: strings (BSTR), Variants and safe arrays,
// with the layouts, ownership rules and statuses of the Windows runtime.
//
// Storage. Every block of string, array and Variant storage is obtained
// through obtain_storage() and given back through release_storage(). Keeping
// to that one seam is deliberate: a fault-injection switch placed there can
// make the n-th allocation fail and so reach every out-of-memory path.
//
// Strings. A BSTR points just past a 32-bit byte count; three zero bytes
// follow the text, so that after an odd count the code unit that holds the
// last byte is followed by a zero unit too. A null BSTR is the empty string
// with no storage, and every copy made here keeps null and empty apart.
//
// Variants. Copies are deep: a string is duplicated, an array copied with all
// its elements, an interface AddRef'd. A by-reference Variant owns nothing,
// so clearing it frees nothing. Conversions follow the Windows rules for the
// scalar kinds: integers are range-checked (DISP_E_OVERFLOW), floating values
// round half to even, text is parsed with blanks allowed around it and
// mismatches give DISP_E_TYPEMISMATCH. A conversion that fails leaves its
// destination untouched.
//
// Safe arrays. The descriptor is preceded by a private prefix: the capacity
// of the element storage, so that growing the last dimension reallocates
// geometrically instead of copying on every step, and, as on Windows, the
// interface identifier (FADF_HAVEIID) or element VARTYPE (FADF_HAVEVARTYPE)
// in the 16 bytes just before the descriptor. Only arrays made here carry the
// prefix; arrays marked FADF_STATIC, FADF_AUTO or FADF_EMBEDDED are their
// owner's storage and are never freed or resized here.
//
// Calls into interfaces (AddRef, Release, QueryInterface, Invoke) follow the
// COM contract that no exception crosses them; nothing here throws either.
#include <algorithm>
#include <atomic>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/fault.h"
#include "platform/win32.h"

namespace {

// ---- Storage --------------------------------------------------------------------

// Grows, shrinks or (with a null block) allocates storage. On failure the
// old block is untouched and still owned by the caller.
void* obtain_storage(void* block, std::size_t bytes)
{
    if (vh::fault::fail_now(VH_FAULT_ALLOC)) {
        return nullptr;
    }
    return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void release_storage(void* block)
{
    std::free(block);
}

// ---- Strings --------------------------------------------------------------------

constexpr std::size_t bstr_prefix = sizeof(DWORD);
constexpr std::size_t bstr_tail = 3;
// The longest text a string may hold, in bytes; the count must fit its prefix.
constexpr std::size_t max_bstr_bytes = 0x7FFFFFF0;

unsigned char* bstr_block(BSTR text)
{
    return reinterpret_cast<unsigned char*>(text) - bstr_prefix;
}

// A string of `bytes` bytes whose text the caller fills; null when there is
// no storage or the length is impossible.
BSTR allocate_bstr(std::size_t bytes)
{
    if (bytes > max_bstr_bytes) {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(obtain_storage(nullptr, bstr_prefix + bytes + bstr_tail));
    if (block == nullptr) {
        return nullptr;
    }
    const auto count = static_cast<DWORD>(bytes);
    std::memcpy(block, &count, sizeof count);
    std::memset(block + bstr_prefix + bytes, 0, bstr_tail);
    return reinterpret_cast<BSTR>(block + bstr_prefix);
}

// A copy that keeps the byte length (odd ones too) and keeps null as null.
// Sets `ok` to false when storage ran out.
BSTR duplicate_bstr(BSTR text, bool& ok)
{
    ok = true;
    if (text == nullptr) {
        return nullptr;
    }
    BSTR copy = SysAllocStringByteLen(reinterpret_cast<const char*>(text), SysStringByteLen(text));
    ok = copy != nullptr;
    return copy;
}

// A new string holding ASCII text.
BSTR bstr_from_ascii(const char* text, std::size_t length)
{
    BSTR result = allocate_bstr(length * sizeof(OLECHAR));
    if (result != nullptr) {
        for (std::size_t i = 0; i < length; ++i) {
            result[i] = static_cast<unsigned char>(text[i]);
        }
    }
    return result;
}

// ---- Variant kinds --------------------------------------------------------------

constexpr VARTYPE vt_vector = 0x1000;
constexpr VARTYPE vt_unused_15 = 15;

VARTYPE base_type(VARTYPE vt)
{
    return vt & VT_TYPEMASK;
}

bool is_interface(VARTYPE vt)
{
    return vt == VT_UNKNOWN || vt == VT_DISPATCH;
}

// The kinds a Variant may hold here: the automation kinds up to VT_UINT,
// plain, by reference or as arrays. VT_RECORD is not supported.
bool is_valid_vartype(VARTYPE vt)
{
    const VARTYPE base = base_type(vt);
    if ((vt & (vt_vector | VT_RESERVED)) != 0 || base >= VT_VOID || base == vt_unused_15) {
        return false;
    }
    return !((vt & (VT_BYREF | VT_ARRAY)) != 0 && base <= VT_NULL);
}

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

// ---- Numbers --------------------------------------------------------------------
//
// A conversion reads its source into a Number and writes the target from it.
// Exact sources (integers, currency, decimals, numeric text) are kept as
// decimal digits times a power of ten, so that no value is rounded twice on
// its way; floating sources keep their double.

constexpr int max_digits = 40;
using Wide = unsigned __int128;

struct Number {
    bool is_real = false;
    double real = 0.0;
    bool negative = false;
    char digits[max_digits] = {};  // '0'..'9', the first one not '0'
    int count = 0;                 // 0 for zero
    int exponent = 0;              // value = digits x 10^exponent
    bool sticky = false;           // nonzero digits past the kept ones were dropped
};

Number real_number(double value)
{
    Number n;
    n.is_real = true;
    n.real = value;
    return n;
}

Number exact_number(bool negative, Wide magnitude, int exponent)
{
    Number n;
    char reversed[max_digits];
    while (magnitude != 0 && n.count < max_digits) {
        reversed[n.count++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    }
    for (int i = 0; i < n.count; ++i) {
        n.digits[i] = reversed[n.count - 1 - i];
    }
    n.negative = negative && n.count != 0;
    n.exponent = exponent;
    return n;
}

// Adds the next digit of a decimal numeral to `n`.
void append_digit(Number& n, char digit, bool in_fraction)
{
    if (n.count == 0 && digit == '0') {
        if (in_fraction) {
            --n.exponent;
        }
        return;
    }
    if (n.count < max_digits) {
        n.digits[n.count++] = digit;
        if (in_fraction) {
            --n.exponent;
        }
        return;
    }
    if (!in_fraction) {
        ++n.exponent;
    }
    n.sticky = n.sticky || digit != '0';
}

bool is_blank(char32_t c)
{
    return c == ' ' || (c >= 9 && c <= 13);
}

bool is_digit(char32_t c)
{
    return c >= '0' && c <= '9';
}

// Reads numeric text: optional blanks, a sign, then either decimal digits
// (thousands commas allowed in the whole part) with a decimal point and an
// exponent, or &H / &O and hexadecimal or octal digits; then optional blanks.
// The whole text must be used; a NUL inside is not a blank.
template <class Char>
HRESULT parse_number(const Char* text, std::size_t length, Number& out)
{
    out = Number{};
    std::size_t i = 0;
    auto at = [&](std::size_t k) -> char32_t { return k < length ? static_cast<char32_t>(text[k]) : 0; };
    auto skip_blanks = [&] {
        while (i < length && is_blank(at(i))) {
            ++i;
        }
    };
    skip_blanks();
    bool negative = false;
    if (at(i) == '+' || at(i) == '-') {
        negative = at(i) == '-';
        ++i;
    }
    if (i < length && at(i) == '&') {
        const char32_t base_letter = at(i + 1) | 0x20;
        const int shift = base_letter == 'h' ? 4 : base_letter == 'o' ? 3 : 0;
        if (shift == 0) {
            return DISP_E_TYPEMISMATCH;
        }
        i += 2;
        std::uint64_t value = 0;
        std::size_t first = i;
        for (; i < length; ++i) {
            const char32_t c = at(i);
            int digit = -1;
            if (is_digit(c)) {
                digit = static_cast<int>(c - '0');
            } else if (shift == 4 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
                digit = static_cast<int>((c | 0x20) - 'a' + 10);
            }
            if (digit < 0 || digit >= (1 << shift)) {
                break;
            }
            if (value > (~std::uint64_t{0} >> shift)) {
                return DISP_E_OVERFLOW;
            }
            value = (value << shift) | static_cast<std::uint64_t>(digit);
        }
        skip_blanks();
        if (i == first || i != length) {
            return DISP_E_TYPEMISMATCH;
        }
        out = exact_number(negative, value, 0);
        return S_OK;
    }
    bool any_digit = false;
    bool in_fraction = false;
    for (; i < length; ++i) {
        const char32_t c = at(i);
        if (is_digit(c)) {
            append_digit(out, static_cast<char>(c), in_fraction);
            any_digit = true;
        } else if (c == ',' && any_digit && !in_fraction) {
            continue;
        } else if (c == '.' && !in_fraction) {
            in_fraction = true;
        } else {
            break;
        }
    }
    if (!any_digit) {
        return DISP_E_TYPEMISMATCH;
    }
    if ((at(i) | 0x20) == 'e' && i < length) {
        ++i;
        bool exponent_negative = false;
        if (at(i) == '+' || at(i) == '-') {
            exponent_negative = at(i) == '-';
            ++i;
        }
        if (!is_digit(at(i)) || i >= length) {
            return DISP_E_TYPEMISMATCH;
        }
        long exponent = 0;
        for (; i < length && is_digit(at(i)); ++i) {
            exponent = std::min(exponent * 10 + static_cast<long>(at(i) - '0'), 100000L);
        }
        out.exponent += static_cast<int>(exponent_negative ? -exponent : exponent);
    }
    skip_blanks();
    if (i != length) {
        return DISP_E_TYPEMISMATCH;
    }
    out.negative = negative && out.count != 0;
    return S_OK;
}

// The exact number times 10^scale, rounded half to even, as a magnitude.
// False when it needs more than 38 digits.
bool scaled_magnitude(const Number& n, int scale, Wide& out)
{
    out = 0;
    if (n.count == 0) {
        return true;
    }
    const long exponent = static_cast<long>(n.exponent) + scale;
    const long whole = n.count + exponent;  // digits before the decimal point
    if (whole > 38) {
        return false;
    }
    if (whole < 0) {
        return true;  // below a tenth: rounds to zero
    }
    const int kept = static_cast<int>(std::min<long>(whole, n.count));
    for (int i = 0; i < kept; ++i) {
        out = out * 10 + static_cast<unsigned>(n.digits[i] - '0');
    }
    for (long i = n.count; i < whole; ++i) {
        out *= 10;
    }
    if (kept < n.count) {
        const int first_dropped = n.digits[kept] - '0';
        bool beyond_half = n.sticky;
        for (int i = kept + 1; i < n.count && !beyond_half; ++i) {
            beyond_half = n.digits[i] != '0';
        }
        if (first_dropped > 5 || (first_dropped == 5 && (beyond_half || (out & 1) != 0))) {
            ++out;
        }
    }
    return true;
}

// The number as a double (overflow: DISP_E_OVERFLOW).
HRESULT number_to_double(const Number& n, double& out)
{
    if (n.is_real) {
        out = n.real;
        return S_OK;
    }
    out = 0.0;
    if (n.count == 0) {
        return S_OK;
    }
    char text[max_digits + 16];
    std::memcpy(text, n.digits, static_cast<std::size_t>(n.count));
    char* end = text + n.count;
    *end++ = 'e';
    end = std::to_chars(end, text + sizeof text, n.exponent).ptr;
    double value = 0.0;
    const auto parsed = std::from_chars(text, end, value);
    if (parsed.ec == std::errc::result_out_of_range) {
        if (n.count + n.exponent > 0) {
            return DISP_E_OVERFLOW;
        }
        value = 0.0;  // too small to represent
    }
    out = n.negative ? -value : value;
    return S_OK;
}

// Decimal text of an exact number, without trailing fraction zeros.
std::size_t format_exact(const Number& n, char* text, std::size_t size)
{
    std::size_t length = 0;
    auto put = [&](char c) {
        if (length < size) {
            text[length++] = c;
        }
    };
    if (n.count == 0) {
        put('0');
        return length;
    }
    if (n.negative) {
        put('-');
    }
    const int whole = n.count + n.exponent;
    if (whole <= 0) {
        put('0');
    }
    for (int i = 0; i < whole; ++i) {
        put(i < n.count ? n.digits[i] : '0');
    }
    int last = n.count;  // one past the last nonzero fraction digit
    while (last > std::max(whole, 0) && n.digits[last - 1] == '0') {
        --last;
    }
    if (last > std::max(whole, 0)) {
        put('.');
        for (int i = whole; i < 0; ++i) {
            put('0');
        }
        for (int i = std::max(whole, 0); i < last; ++i) {
            put(n.digits[i]);
        }
    }
    return length;
}

// Text of a floating value as Windows writes it: `precision` significant
// digits, exponent form for large and small magnitudes ("1E+20"), no
// negative zero.
std::size_t format_real(double value, int precision, char* text, std::size_t size)
{
    if (value == 0.0) {
        value = 0.0;
    }
    const auto written = std::to_chars(text, text + size, value, std::chars_format::general, precision);
    const auto length = static_cast<std::size_t>(written.ptr - text);
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] >= 'a' && text[i] <= 'z') {
            text[i] = static_cast<char>(text[i] - 'a' + 'A');
        }
    }
    return length;
}

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

// ---- Safe arrays ----------------------------------------------------------------

struct alignas(16) ArrayPrefix {
    std::size_t capacity;  // bytes of element storage at pvData
    std::size_t unused;
    unsigned char type_info[16];  // the IID, or the VARTYPE in the last four bytes
};
static_assert(sizeof(ArrayPrefix) == 32, "the descriptor stays 16-byte aligned");

constexpr USHORT not_owned_features = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;
constexpr std::size_t vartype_offset = 12;

ArrayPrefix& prefix_of(SAFEARRAY* array)
{
    return *reinterpret_cast<ArrayPrefix*>(reinterpret_cast<unsigned char*>(array) - sizeof(ArrayPrefix));
}

std::size_t element_size(VARTYPE vt)
{
    switch (vt) {
        case VT_VARIANT:
            return sizeof(VARIANT);
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return payload_size(vt);
        default:
            return 0;
    }
}

// The number of elements, false when it overflows.
bool cell_count(const SAFEARRAY* array, std::size_t& cells)
{
    cells = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        if (__builtin_mul_overflow(cells, std::size_t{array->rgsabound[d].cElements}, &cells)) {
            return false;
        }
    }
    return true;
}

// A zeroed descriptor with its prefix, and no element storage yet.
SAFEARRAY* create_descriptor(UINT dims, USHORT features, ULONG element_bytes, const unsigned char* type_info)
{
    if (dims == 0 || dims > 0xFFFF) {
        return nullptr;
    }
    const std::size_t bytes =
        sizeof(ArrayPrefix) + offsetof(SAFEARRAY, rgsabound) + dims * sizeof(SAFEARRAYBOUND);
    void* block = obtain_storage(nullptr, bytes);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, 0, bytes);
    auto* array = reinterpret_cast<SAFEARRAY*>(static_cast<unsigned char*>(block) + sizeof(ArrayPrefix));
    array->cDims = static_cast<USHORT>(dims);
    array->fFeatures = features;
    array->cbElements = element_bytes;
    if (type_info != nullptr) {
        std::memcpy(prefix_of(array).type_info, type_info, sizeof ArrayPrefix::type_info);
    }
    return array;
}

void destroy_descriptor(SAFEARRAY* array)
{
    release_storage(&prefix_of(array));
}

// Gives the array `bytes` of zeroed element storage.
bool allocate_elements(SAFEARRAY* array, std::size_t bytes)
{
    void* data = obtain_storage(nullptr, bytes);
    if (data == nullptr) {
        return false;
    }
    std::memset(data, 0, bytes);
    array->pvData = data;
    prefix_of(array).capacity = bytes;
    return true;
}

// Frees what elements [first, last) hold and leaves them zero.
void release_elements(SAFEARRAY* array, std::size_t first, std::size_t last)
{
    if (array->pvData == nullptr || first >= last) {
        return;
    }
    auto* data = static_cast<unsigned char*>(array->pvData);
    if ((array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
        auto* items = reinterpret_cast<IUnknown**>(data);
        for (std::size_t i = first; i < last; ++i) {
            if (IUnknown* item = items[i]) {
                items[i] = nullptr;
                item->Release();
            }
        }
    } else if ((array->fFeatures & FADF_BSTR) != 0) {
        auto* items = reinterpret_cast<BSTR*>(data);
        for (std::size_t i = first; i < last; ++i) {
            SysFreeString(items[i]);
            items[i] = nullptr;
        }
    } else if ((array->fFeatures & FADF_VARIANT) != 0) {
        auto* items = reinterpret_cast<VARIANT*>(data);
        for (std::size_t i = first; i < last; ++i) {
            VariantClear(&items[i]);
        }
    }
    std::memset(data + first * array->cbElements, 0, (last - first) * array->cbElements);
}

// Copies every element of `source` into the zeroed storage of `copy`.
HRESULT copy_elements(const SAFEARRAY* source, SAFEARRAY* copy, std::size_t cells)
{
    if (source->pvData == nullptr) {
        return S_OK;
    }
    if ((source->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
        auto* from = static_cast<IUnknown* const*>(source->pvData);
        auto* to = static_cast<IUnknown**>(copy->pvData);
        for (std::size_t i = 0; i < cells; ++i) {
            if ((to[i] = from[i]) != nullptr) {
                to[i]->AddRef();
            }
        }
    } else if ((source->fFeatures & FADF_BSTR) != 0) {
        auto* from = static_cast<const BSTR*>(source->pvData);
        auto* to = static_cast<BSTR*>(copy->pvData);
        for (std::size_t i = 0; i < cells; ++i) {
            bool ok = true;
            to[i] = duplicate_bstr(from[i], ok);
            if (!ok) {
                return E_OUTOFMEMORY;
            }
        }
    } else if ((source->fFeatures & FADF_VARIANT) != 0) {
        auto* from = static_cast<const VARIANT*>(source->pvData);
        auto* to = static_cast<VARIANT*>(copy->pvData);
        for (std::size_t i = 0; i < cells; ++i) {
            const HRESULT hr = VariantCopy(&to[i], &from[i]);
            if (FAILED(hr)) {
                return hr;
            }
        }
    } else {
        std::memcpy(copy->pvData, source->pvData, cells * source->cbElements);
    }
    return S_OK;
}

// The position of an element in storage; indices leftmost dimension first,
// and the leftmost index varies fastest.
HRESULT element_offset(const SAFEARRAY* array, const LONG* indices, std::size_t& cell)
{
    cell = 0;
    std::size_t stride = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        const SAFEARRAYBOUND& bound = array->rgsabound[array->cDims - 1 - d];
        const std::int64_t index = indices[d];
        if (index < bound.lLbound || index >= std::int64_t{bound.lLbound} + bound.cElements) {
            return DISP_E_BADINDEX;
        }
        cell += static_cast<std::size_t>(index - bound.lLbound) * stride;
        stride *= bound.cElements;
    }
    return S_OK;
}

// Holds a lock on an array for the length of one element access.
class ArrayLock {
public:
    explicit ArrayLock(SAFEARRAY* array) : m_array(array), m_hr(SafeArrayLock(array)) {}
    ~ArrayLock()
    {
        if (SUCCEEDED(m_hr)) {
            SafeArrayUnlock(m_array);
        }
    }
    ArrayLock(const ArrayLock&) = delete;
    ArrayLock& operator=(const ArrayLock&) = delete;

    HRESULT status() const { return m_hr; }

private:
    SAFEARRAY* m_array;
    HRESULT m_hr;
};

}  // namespace

// ---- Strings --------------------------------------------------------------------

BSTR SysAllocString(const OLECHAR* text)
{
    if (text == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<UINT>(std::char_traits<char16_t>::length(text)));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length)
{
    const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
    BSTR result = allocate_bstr(bytes);
    if (result != nullptr) {
        if (text != nullptr) {
            std::memcpy(result, text, bytes);
        } else {
            std::memset(result, 0, bytes);
        }
    }
    return result;
}

BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length)
{
    BSTR result = allocate_bstr(length);
    if (result != nullptr) {
        if (bytes != nullptr) {
            std::memcpy(result, bytes, length);
        } else {
            std::memset(result, 0, length);
        }
    }
    return result;
}

INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length)
{
    if (target == nullptr) {
        return FALSE;
    }
    BSTR result = allocate_bstr(std::size_t{length} * sizeof(OLECHAR));
    if (result == nullptr) {
        return FALSE;
    }
    // Copied before the old string goes: `text` may point into it. Without
    // text, the old text is kept as far as it reaches.
    const UINT kept = text != nullptr ? length : std::min(length, SysStringLen(*target));
    const OLECHAR* from = text != nullptr ? text : *target;
    if (kept != 0) {
        std::memcpy(result, from, std::size_t{kept} * sizeof(OLECHAR));
    }
    std::memset(result + kept, 0, std::size_t{length - kept} * sizeof(OLECHAR));
    SysFreeString(*target);
    *target = result;
    return TRUE;
}

void SysFreeString(BSTR text)
{
    if (text != nullptr) {
        release_storage(bstr_block(text));
    }
}

UINT SysStringLen(BSTR text)
{
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

UINT SysStringByteLen(BSTR text)
{
    if (text == nullptr) {
        return 0;
    }
    DWORD bytes = 0;
    std::memcpy(&bytes, bstr_block(text), sizeof bytes);
    return bytes;
}

// ---- Variants -------------------------------------------------------------------

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

// ---- Safe arrays ----------------------------------------------------------------

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds)
{
    const std::size_t element_bytes = element_size(vt);
    if (bounds == nullptr || element_bytes == 0) {
        return nullptr;
    }
    USHORT features = FADF_HAVEVARTYPE;
    unsigned char type_info[16] = {};
    const DWORD vartype = vt;
    std::memcpy(type_info + vartype_offset, &vartype, sizeof vartype);
    if (vt == VT_BSTR) {
        features |= FADF_BSTR;
    } else if (vt == VT_VARIANT) {
        features |= FADF_VARIANT;
    } else if (is_interface(vt)) {
        features = FADF_HAVEIID | (vt == VT_UNKNOWN ? FADF_UNKNOWN : FADF_DISPATCH);
        std::memcpy(type_info, vt == VT_UNKNOWN ? &IID_IUnknown : &IID_IDispatch, sizeof(GUID));
    }
    SAFEARRAY* array = create_descriptor(dims, features, static_cast<ULONG>(element_bytes), type_info);
    if (array == nullptr) {
        return nullptr;
    }
    for (UINT d = 0; d < dims; ++d) {
        array->rgsabound[d] = bounds[dims - 1 - d];  // stored last dimension first
    }
    std::size_t cells = 0;
    std::size_t bytes = 0;
    if (!cell_count(array, cells) || __builtin_mul_overflow(cells, element_bytes, &bytes) ||
        !allocate_elements(array, bytes)) {
        destroy_descriptor(array);
        return nullptr;
    }
    return array;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower, ULONG count)
{
    SAFEARRAYBOUND bound{count, lower};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array)
{
    if (array == nullptr) {
        return S_OK;
    }
    if (array->cLocks != 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    std::size_t cells = 0;
    if (cell_count(array, cells)) {
        release_elements(array, 0, cells);
    }
    if ((array->fFeatures & not_owned_features) == 0) {
        release_storage(array->pvData);
        destroy_descriptor(array);
    }
    return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* array, SAFEARRAYBOUND* last_bound)
{
    if (array == nullptr || last_bound == nullptr ||
        (array->fFeatures & (FADF_FIXEDSIZE | not_owned_features)) != 0) {
        return E_INVALIDARG;
    }
    if (array->cLocks != 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    std::size_t old_cells = 0;
    std::size_t others = 1;  // elements per step of the last dimension
    for (USHORT d = 1; d < array->cDims; ++d) {
        others *= array->rgsabound[d].cElements;  // fits: the array exists
    }
    cell_count(array, old_cells);
    std::size_t new_cells = 0;
    std::size_t new_bytes = 0;
    if (__builtin_mul_overflow(others, std::size_t{last_bound->cElements}, &new_cells) ||
        __builtin_mul_overflow(new_cells, std::size_t{array->cbElements}, &new_bytes)) {
        return E_OUTOFMEMORY;
    }
    ArrayPrefix& prefix = prefix_of(array);
    const std::size_t old_bytes = old_cells * array->cbElements;
    if (new_cells < old_cells) {
        release_elements(array, new_cells, old_cells);
        if (new_bytes < prefix.capacity / 4) {
            // Give back most of a storage that shrank a lot; keep it if that fails.
            if (void* data = obtain_storage(array->pvData, new_bytes)) {
                array->pvData = data;
                prefix.capacity = new_bytes;
            }
        }
    } else if (new_bytes > old_bytes) {
        if (new_bytes > prefix.capacity) {
            // Geometric growth: a run of one-element steps copies each element
            // a bounded number of times.
            std::size_t capacity = std::max(new_bytes, prefix.capacity * 2);
            void* data = obtain_storage(array->pvData, capacity);
            if (data == nullptr && capacity > new_bytes) {
                capacity = new_bytes;
                data = obtain_storage(array->pvData, capacity);
            }
            if (data == nullptr) {
                return E_OUTOFMEMORY;
            }
            array->pvData = data;
            prefix.capacity = capacity;
        }
        std::memset(static_cast<unsigned char*>(array->pvData) + old_bytes, 0, new_bytes - old_bytes);
    }
    array->rgsabound[0] = *last_bound;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array)
{
    return array != nullptr ? array->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* array)
{
    return array != nullptr ? array->cbElements : 0;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* upper)
{
    if (array == nullptr || upper == nullptr) {
        return E_INVALIDARG;
    }
    if (dim == 0 || dim > array->cDims) {
        return DISP_E_BADINDEX;
    }
    const SAFEARRAYBOUND& bound = array->rgsabound[array->cDims - dim];
    *upper = static_cast<LONG>(std::int64_t{bound.lLbound} + bound.cElements - 1);
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* lower)
{
    if (array == nullptr || lower == nullptr) {
        return E_INVALIDARG;
    }
    if (dim == 0 || dim > array->cDims) {
        return DISP_E_BADINDEX;
    }
    *lower = array->rgsabound[array->cDims - dim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt)
{
    if (array == nullptr || vt == nullptr) {
        return E_INVALIDARG;
    }
    if ((array->fFeatures & FADF_HAVEIID) != 0) {
        *vt = (array->fFeatures & FADF_DISPATCH) != 0 ? VT_DISPATCH : VT_UNKNOWN;
        return S_OK;
    }
    if ((array->fFeatures & FADF_HAVEVARTYPE) != 0) {
        DWORD vartype = 0;
        std::memcpy(&vartype, prefix_of(array).type_info + vartype_offset, sizeof vartype);
        *vt = static_cast<VARTYPE>(vartype);
        return S_OK;
    }
    return E_INVALIDARG;
}

HRESULT SafeArrayLock(SAFEARRAY* array)
{
    if (array == nullptr) {
        return E_INVALIDARG;
    }
    std::atomic_ref<ULONG> locks(array->cLocks);
    ULONG current = locks.load();
    do {
        if (current >= 0xFFFF) {
            return E_UNEXPECTED;
        }
    } while (!locks.compare_exchange_weak(current, current + 1));
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* array)
{
    if (array == nullptr) {
        return E_INVALIDARG;
    }
    std::atomic_ref<ULONG> locks(array->cLocks);
    ULONG current = locks.load();
    do {
        if (current == 0) {
            return E_UNEXPECTED;
        }
    } while (!locks.compare_exchange_weak(current, current - 1));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data)
{
    if (array == nullptr || data == nullptr) {
        return E_INVALIDARG;
    }
    if (FAILED(SafeArrayLock(array))) {
        *data = nullptr;
        return E_UNEXPECTED;
    }
    *data = array->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array)
{
    return SafeArrayUnlock(array);
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* array, LONG* indices, void** element)
{
    if (array == nullptr || indices == nullptr || element == nullptr) {
        return E_INVALIDARG;
    }
    std::size_t cell = 0;
    const HRESULT hr = element_offset(array, indices, cell);
    if (FAILED(hr)) {
        return hr;
    }
    *element = static_cast<unsigned char*>(array->pvData) + cell * array->cbElements;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value)
{
    if (array == nullptr || indices == nullptr || value == nullptr) {
        return E_INVALIDARG;
    }
    const ArrayLock lock(array);
    if (FAILED(lock.status())) {
        return lock.status();
    }
    void* element = nullptr;
    const HRESULT hr = SafeArrayPtrOfIndex(array, indices, &element);
    if (FAILED(hr)) {
        return hr;
    }
    if ((array->fFeatures & FADF_VARIANT) != 0) {
        // Whatever `value` held before is not ours to free.
        auto* out = static_cast<VARIANT*>(value);
        VariantInit(out);
        return VariantCopy(out, static_cast<const VARIANT*>(element));
    }
    if ((array->fFeatures & FADF_BSTR) != 0) {
        bool ok = true;
        *static_cast<BSTR*>(value) = duplicate_bstr(*static_cast<const BSTR*>(element), ok);
        return ok ? S_OK : E_OUTOFMEMORY;
    }
    if ((array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
        IUnknown* item = *static_cast<IUnknown* const*>(element);
        if (item != nullptr) {
            item->AddRef();
        }
        *static_cast<IUnknown**>(value) = item;
        return S_OK;
    }
    std::memcpy(value, element, array->cbElements);
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value)
{
    if (array == nullptr || indices == nullptr) {
        return E_INVALIDARG;
    }
    const bool holds_references = (array->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)) != 0;
    if (value == nullptr && !holds_references) {
        return E_INVALIDARG;  // a null string or interface is a value; null data is not
    }
    const ArrayLock lock(array);
    if (FAILED(lock.status())) {
        return lock.status();
    }
    void* element = nullptr;
    const HRESULT hr = SafeArrayPtrOfIndex(array, indices, &element);
    if (FAILED(hr)) {
        return hr;
    }
    if ((array->fFeatures & FADF_VARIANT) != 0) {
        return VariantCopy(static_cast<VARIANT*>(element), static_cast<const VARIANT*>(value));
    }
    if ((array->fFeatures & FADF_BSTR) != 0) {
        // The new copy is made first, so that a failure keeps the old element.
        bool ok = true;
        BSTR copy = duplicate_bstr(static_cast<BSTR>(value), ok);
        if (!ok) {
            return E_OUTOFMEMORY;
        }
        auto* slot = static_cast<BSTR*>(element);
        SysFreeString(*slot);
        *slot = copy;
        return S_OK;
    }
    if ((array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
        auto* item = static_cast<IUnknown*>(value);
        auto* slot = static_cast<IUnknown**>(element);
        if (item != nullptr) {
            item->AddRef();
        }
        if (IUnknown* old = *slot) {
            *slot = item;
            old->Release();
        } else {
            *slot = item;
        }
        return S_OK;
    }
    std::memcpy(element, value, array->cbElements);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy)
{
    if (copy == nullptr) {
        return E_INVALIDARG;
    }
    *copy = nullptr;
    if (source == nullptr) {
        return S_OK;
    }
    if (source->cbElements == 0) {
        return E_INVALIDARG;
    }
    const bool has_type_info = (source->fFeatures & (FADF_HAVEIID | FADF_HAVEVARTYPE)) != 0;
    SAFEARRAY* result =
        create_descriptor(source->cDims, source->fFeatures & ~(not_owned_features | FADF_FIXEDSIZE),
                          source->cbElements, has_type_info ? prefix_of(source).type_info : nullptr);
    if (result == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::memcpy(result->rgsabound, source->rgsabound, source->cDims * sizeof(SAFEARRAYBOUND));
    std::size_t cells = 0;
    std::size_t bytes = 0;
    if (!cell_count(source, cells) ||
        __builtin_mul_overflow(cells, std::size_t{source->cbElements}, &bytes) ||
        !allocate_elements(result, bytes)) {
        destroy_descriptor(result);
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = copy_elements(source, result, cells);
    if (FAILED(hr)) {
        SafeArrayDestroy(result);  // frees the elements copied so far
        return hr;
    }
    *copy = result;
    return S_OK;
}
