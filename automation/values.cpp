#include "automation/values.h"

#include <algorithm>
#include <cstring>

#include <new>

namespace vh {

// ---- Bstr -----------------------------------------------------------------------

namespace {

BSTR allocate(Text text)
{
    BSTR result = SysAllocStringLen(ole(text), static_cast<UINT>(text.size()));
    if (result == nullptr) {
        raise_error(err::out_of_memory);
    }
    return result;
}

}  // namespace

Bstr::Bstr(Text text) : m_text(allocate(text))
{
}

Bstr::Bstr(const Bstr& other) : m_text(other.m_text == nullptr ? nullptr : allocate(other.view()))
{
}

Bstr& Bstr::operator=(const Bstr& other)
{
    if (this != &other) {
        *this = Bstr(other);
    }
    return *this;
}

Bstr& Bstr::operator=(Bstr&& other) noexcept
{
    if (this != &other) {
        SysFreeString(std::exchange(m_text, std::exchange(other.m_text, nullptr)));
    }
    return *this;
}

Bstr::~Bstr()
{
    SysFreeString(m_text);
}

Bstr Bstr::copy_of(BSTR text)
{
    if (text == nullptr) {
        return {};
    }
    return Bstr(text_of(text, SysStringLen(text)));
}

Bstr Bstr::attach(BSTR text) noexcept
{
    Bstr result;
    result.m_text = text;
    return result;
}

BSTR* Bstr::put() noexcept
{
    SysFreeString(std::exchange(m_text, nullptr));
    return &m_text;
}

std::size_t Bstr::size() const noexcept
{
    return m_text == nullptr ? 0 : SysStringLen(m_text);
}

Text Bstr::view() const noexcept
{
    return m_text == nullptr ? Text() : text_of(m_text, SysStringLen(m_text));
}

void assign(BSTR& slot, Bstr value) noexcept
{
    SysFreeString(std::exchange(slot, value.detach()));
}

Bstr concat(Text a, Text b)
{
    std::u16string joined;
    joined.reserve(a.size() + b.size());
    joined.append(a).append(b);
    return Bstr(joined);
}

Bstr left(Text text, std::int32_t n)
{
    if (n < 0) {
        raise_error(err::invalid_argument);
    }
    return Bstr(text.substr(0, static_cast<std::size_t>(n)));
}

Bstr trim_spaces(Text text)
{
    const auto first = text.find_first_not_of(u' ');
    if (first == Text::npos) {
        return Bstr(Text());
    }
    const auto last = text.find_last_not_of(u' ');
    return Bstr(text.substr(first, last - first + 1));
}

Bstr lower(Text text)
{
    Bstr result(text);
    CharLowerBuffW(result.get(), static_cast<DWORD>(result.size()));
    return result;
}

Bstr repeat(char16_t c, std::int32_t n)
{
    if (n < 0) {
        raise_error(err::invalid_argument);
    }
    // Made in place: listings make a 2,000-character buffer per entry.
    Bstr result = Bstr::attach(SysAllocStringLen(nullptr, static_cast<UINT>(n)));
    if (result.is_null()) {
        raise_error(err::out_of_memory);
    }
    auto* text = reinterpret_cast<char16_t*>(result.get());
    if (c == u'\0') {
        std::memset(text, 0, static_cast<std::size_t>(n) * sizeof(char16_t));
    } else {
        std::fill_n(text, n, c);
    }
    return result;
}

SafeArray split(Text text, char16_t separator)
{
    std::size_t pieces = 0;
    if (!text.empty()) {
        pieces = 1;
        for (char16_t c : text) {
            pieces += c == separator ? 1 : 0;
        }
    }
    SafeArray result = SafeArray::vector(VT_BSTR, to_int32(static_cast<std::int64_t>(pieces)) - 1);
    std::size_t start = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
        std::size_t end = text.find(separator, start);
        if (end == Text::npos) {
            end = text.size();
        }
        result.put_string(static_cast<std::int32_t>(i), Bstr(text.substr(start, end - start)));
        start = end + 1;
    }
    return result;
}

Bstr decimal(std::int32_t value)
{
    const std::string digits = std::to_string(value);
    return Bstr(std::u16string(digits.begin(), digits.end()));
}

std::string to_utf8(Text text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string from_utf8(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        int extra = b < 0x80 ? 0 : (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : -1;
        char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        bool valid = extra >= 0 && i + static_cast<std::size_t>(extra) < bytes.size() + (extra == 0 ? 1 : 0);
        for (int k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (!valid || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

// ---- Variant ----------------------------------------------------------------------

Variant::Variant(const Variant& other) : Variant()
{
    check_runtime(VariantCopy(&m_value, &other.m_value));
}

Variant::Variant(Variant&& other) noexcept : m_value(other.m_value)
{
    VariantInit(&other.m_value);
}

Variant& Variant::operator=(const Variant& other)
{
    if (this != &other) {
        *this = Variant(other);
    }
    return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept
{
    if (this != &other) {
        clear();
        m_value = other.m_value;
        VariantInit(&other.m_value);
    }
    return *this;
}

Variant::~Variant()
{
    VariantClear(&m_value);
}

Variant Variant::copy_of(const VARIANT& value)
{
    Variant result;
    check_runtime(VariantCopyInd(&result.m_value, const_cast<VARIANT*>(&value)));
    return result;
}

Variant Variant::attach(VARIANT& value) noexcept
{
    Variant result;
    result.m_value = value;
    VariantInit(&value);
    return result;
}

Variant Variant::from_string(Bstr text) noexcept
{
    Variant result;
    result.m_value.vt = VT_BSTR;
    result.m_value.bstrVal = text.detach();
    return result;
}

Variant Variant::from_int32(std::int32_t value) noexcept
{
    Variant result;
    result.m_value.vt = VT_I4;
    result.m_value.lVal = value;
    return result;
}

Variant Variant::from_bool(bool value) noexcept
{
    Variant result;
    result.m_value.vt = VT_BOOL;
    result.m_value.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return result;
}

Variant Variant::from_array(SafeArray array) noexcept
{
    Variant result;
    VARTYPE element = VT_EMPTY;
    SafeArrayGetVartype(array.get(), &element);
    result.m_value.vt = static_cast<VARTYPE>(VT_ARRAY | element);
    result.m_value.parray = array.detach();
    return result;
}

VARIANT* Variant::put() noexcept
{
    clear();
    return &m_value;
}

VARIANT Variant::detach() noexcept
{
    VARIANT result = m_value;
    VariantInit(&m_value);
    return result;
}

void Variant::clear() noexcept
{
    VariantClear(&m_value);
}

Bstr Variant::to_string() const
{
    Variant converted;
    check_runtime(VariantChangeType(&converted.m_value, const_cast<VARIANT*>(&m_value), 0, VT_BSTR));
    return Bstr::attach(std::exchange(converted.m_value.bstrVal, nullptr));
}

SAFEARRAY* Variant::array() const
{
    if ((m_value.vt & VT_ARRAY) == 0) {
        raise_error(err::type_mismatch);
    }
    SAFEARRAY* result = (m_value.vt & VT_BYREF) != 0 ? *m_value.pparray : m_value.parray;
    if (result == nullptr) {
        raise_error(err::subscript);
    }
    return result;
}

// ---- SafeArray --------------------------------------------------------------------

SafeArray& SafeArray::operator=(SafeArray&& other) noexcept
{
    if (this != &other) {
        if (m_array != nullptr) {
            SafeArrayDestroy(m_array);
        }
        m_array = std::exchange(other.m_array, nullptr);
    }
    return *this;
}

SafeArray::~SafeArray()
{
    if (m_array != nullptr) {
        SafeArrayDestroy(m_array);
    }
}

namespace {

SAFEARRAY* create_array(VARTYPE kind, SAFEARRAYBOUND* bounds, unsigned dimensions)
{
    SAFEARRAY* array = SafeArrayCreate(kind, dimensions, bounds);
    if (array == nullptr) {
        raise_error(err::out_of_memory);
    }
    return array;
}

ULONG element_count(std::int32_t upper)
{
    if (upper < -1) {
        raise_error(err::subscript);
    }
    return static_cast<ULONG>(std::int64_t{upper} + 1);
}

}  // namespace

SafeArray SafeArray::vector(VARTYPE kind, std::int32_t upper)
{
    SAFEARRAYBOUND bound{element_count(upper), 0};
    return attach(create_array(kind, &bound, 1));
}

SafeArray SafeArray::matrix(VARTYPE kind, std::int32_t upper1, std::int32_t upper2)
{
    SAFEARRAYBOUND bounds[2] = {{element_count(upper1), 0}, {element_count(upper2), 0}};
    return attach(create_array(kind, bounds, 2));
}

SafeArray SafeArray::attach(SAFEARRAY* array) noexcept
{
    SafeArray result;
    result.m_array = array;
    return result;
}

SafeArray SafeArray::copy_of(SAFEARRAY* array)
{
    SAFEARRAY* copy = nullptr;
    check_runtime(SafeArrayCopy(array, &copy));
    return attach(copy);
}

void SafeArray::redim_last(std::int32_t upper)
{
    if (m_array == nullptr) {
        raise_error(err::subscript);
    }
    SAFEARRAYBOUND bound{element_count(upper), 0};
    check_runtime(SafeArrayRedim(m_array, &bound));
}

std::int32_t SafeArray::upper_bound(unsigned dimension) const
{
    return vh::upper_bound(m_array, dimension);
}

std::int32_t SafeArray::lower_bound(unsigned dimension) const
{
    if (m_array == nullptr) {
        raise_error(err::subscript);
    }
    LONG lower = 0;
    check_runtime(SafeArrayGetLBound(m_array, dimension, &lower));
    return lower;
}

namespace {

// The address of one element, after checking the number of indexes and
// the bounds (error 9).
void* element_of(SAFEARRAY* array, std::int32_t* indexes, unsigned count)
{
    if (array == nullptr || SafeArrayGetDim(array) != count) {
        raise_error(err::subscript);
    }
    void* slot = nullptr;
    check_runtime(SafeArrayPtrOfIndex(array, reinterpret_cast<LONG*>(indexes), &slot));
    return slot;
}

BSTR* string_element(SAFEARRAY* array, std::int32_t* indexes, unsigned count)
{
    VARTYPE kind = VT_EMPTY;
    if (array != nullptr && (FAILED(SafeArrayGetVartype(array, &kind)) || kind != VT_BSTR)) {
        raise_error(err::type_mismatch);
    }
    return static_cast<BSTR*>(element_of(array, indexes, count));
}

}  // namespace

Bstr SafeArray::get_string(std::int32_t i) const
{
    return vh::get_string(m_array, i);
}

Bstr SafeArray::get_string(std::int32_t i, std::int32_t j) const
{
    return vh::get_string(m_array, i, j);
}

void SafeArray::put_string(std::int32_t i, const Bstr& value)
{
    assign(*string_slot(i), value);
}

void SafeArray::put_string(std::int32_t i, std::int32_t j, const Bstr& value)
{
    std::int32_t indexes[2] = {i, j};
    assign(*string_element(m_array, indexes, 2), value);
}

void SafeArray::put_variant(std::int32_t i, const Variant& value)
{
    auto* slot = static_cast<VARIANT*>(element_of(m_array, &i, 1));
    Variant copy = value;
    VariantClear(slot);
    *slot = copy.detach();
}

BSTR* SafeArray::string_slot(std::int32_t i)
{
    return string_element(m_array, &i, 1);
}

std::int32_t upper_bound(SAFEARRAY* array, unsigned dimension)
{
    if (array == nullptr) {
        raise_error(err::subscript);
    }
    LONG upper = 0;
    check_runtime(SafeArrayGetUBound(array, dimension, &upper));
    return upper;
}

Bstr get_string(SAFEARRAY* array, std::int32_t i)
{
    return Bstr::copy_of(*string_element(array, &i, 1));
}

Bstr get_string(SAFEARRAY* array, std::int32_t i, std::int32_t j)
{
    std::int32_t indexes[2] = {i, j};
    return Bstr::copy_of(*string_element(array, indexes, 2));
}

}  // namespace vh
