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
//
// The helpers the files of the runtime share: storage, string, Variant kind
// and number routines. Nothing here throws.
#pragma once

#include <cstddef>

#include "platform/win32.h"

namespace vh::runtime {

// ---- Storage --------------------------------------------------------------------

// Grows, shrinks or (with a null block) allocates storage. On failure the
// old block is untouched and still owned by the caller.
void* obtain_storage(void* block, std::size_t bytes);
void release_storage(void* block);

// ---- Strings --------------------------------------------------------------------

// A copy that keeps the byte length (odd ones too) and keeps null as null.
// Sets `ok` to false when storage ran out.
BSTR duplicate_bstr(BSTR text, bool& ok);
// A new string holding ASCII text.
BSTR bstr_from_ascii(const char* text, std::size_t length);

// ---- Variant kinds --------------------------------------------------------------

constexpr VARTYPE vt_vector = 0x1000;
constexpr VARTYPE vt_unused_15 = 15;

inline VARTYPE base_type(VARTYPE vt)
{
    return vt & VT_TYPEMASK;
}

inline bool is_interface(VARTYPE vt)
{
    return vt == VT_UNKNOWN || vt == VT_DISPATCH;
}

// The kinds a Variant may hold here: the automation kinds up to VT_UINT,
// plain, by reference or as arrays. VT_RECORD is not supported.
inline bool is_valid_vartype(VARTYPE vt)
{
    const VARTYPE base = base_type(vt);
    if ((vt & (vt_vector | VT_RESERVED)) != 0 || base >= VT_VOID || base == vt_unused_15) {
        return false;
    }
    return !((vt & (VT_BYREF | VT_ARRAY)) != 0 && base <= VT_NULL);
}

// Bytes of the payload a by-reference Variant points at.
std::size_t payload_size(VARTYPE base);
// The by-value form of a by-reference Variant, sharing (not copying) the
// string, array or interface it refers to.
HRESULT dereference(const VARIANT& in, VARIANT& view);
// Makes `out` a deep copy of `in` (by reference: a copy of the reference).
// On failure `out` is Empty.
HRESULT copy_value(VARIANT& out, const VARIANT& in);

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

Number real_number(double value);
Number exact_number(bool negative, Wide magnitude, int exponent);
// Reads numeric text (char or OLECHAR): optional blanks, a sign, decimal or
// &H / &O digits, optional blanks; the whole text must be used.
template <class Char>
HRESULT parse_number(const Char* text, std::size_t length, Number& out);
// The exact number times 10^scale, rounded half to even, as a magnitude.
// False when it needs more than 38 digits.
bool scaled_magnitude(const Number& n, int scale, Wide& out);
// The number as a double (overflow: DISP_E_OVERFLOW).
HRESULT number_to_double(const Number& n, double& out);
// Decimal text of an exact number, without trailing fraction zeros.
std::size_t format_exact(const Number& n, char* text, std::size_t size);
// Text of a floating value as Windows writes it: `precision` significant
// digits, exponent form for large and small magnitudes, no negative zero.
std::size_t format_real(double value, int precision, char* text, std::size_t size);

}  // namespace vh::runtime
