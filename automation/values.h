// Owning types for the automation values the component holds.
//
// One type per resource: Bstr (a string), Variant, SafeArray and ComPtr (an
// interface pointer). Nothing outside them frees a string, clears a Variant,
// destroys an array or releases an interface, so a member's "free everything
// on every way out" is scope exit. The vocabulary follows the usual one:
// construct = copy, attach = take ownership, detach = give it away.
//
// Allocation failures raise error 7 (out of memory); bad indexes raise
// error 9 (subscript out of range).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "automation/errors.h"
#include "platform/win32.h"

namespace vh {

class SafeArray;

// The component's text view: UTF-16 code units, NULs allowed inside.
using Text = std::u16string_view;

// OLECHAR is char16_t on Linux and wchar_t on Windows: both are UTF-16 code
// units, and these two are the only places that say so.
inline const OLECHAR* ole(Text text) noexcept
{
    return reinterpret_cast<const OLECHAR*>(text.data());
}
inline Text text_of(const OLECHAR* text, std::size_t length) noexcept
{
    return {reinterpret_cast<const char16_t*>(text), length};
}

// ---- Strings ------------------------------------------------------------------

// A counted UTF-16 string. Null (no storage) and empty are different values
// to the platform, equal to everything else: both have length 0 and compare
// equal.
class Bstr {
public:
    Bstr() noexcept = default;
    // A new string holding text; an empty text gives an empty, non-null string.
    explicit Bstr(Text text);
    Bstr(const Bstr& other);
    Bstr(Bstr&& other) noexcept : m_text(std::exchange(other.m_text, nullptr)) {}
    Bstr& operator=(const Bstr& other);
    Bstr& operator=(Bstr&& other) noexcept;
    ~Bstr();

    // A copy of a caller's string: null stays null.
    static Bstr copy_of(BSTR text);
    // Takes ownership of text.
    static Bstr attach(BSTR text) noexcept;

    BSTR get() const noexcept { return m_text; }
    // Gives the string away; this becomes null.
    BSTR detach() noexcept { return std::exchange(m_text, nullptr); }
    // Frees the string and returns its slot, for functions that fill one.
    BSTR* put() noexcept;
    // The slot itself, string kept, for code that replaces the string in
    // place (the round trip of system calls).
    BSTR& slot() noexcept { return m_text; }

    bool is_null() const noexcept { return m_text == nullptr; }
    std::size_t size() const noexcept;
    Text view() const noexcept;
    bool contains(char16_t c) const noexcept { return view().find(c) != Text::npos; }

private:
    BSTR m_text = nullptr;
};

inline bool operator==(const Bstr& a, const Bstr& b) noexcept
{
    return a.view() == b.view();
}

// Replaces the string in a caller's slot (a by-reference argument, a field)
// with value, freeing the old one.
void assign(BSTR& slot, Bstr value) noexcept;

// String operations of the members. They keep NULs, and never touch their
// arguments.
Bstr concat(Text a, Text b);
// The first n characters; a negative n raises error 5.
Bstr left(Text text, std::int32_t n);
// Removes leading and trailing spaces (code 32 only).
Bstr trim_spaces(Text text);
// The system's lower-case mapping.
Bstr lower(Text text);
// n characters of code c.
Bstr repeat(char16_t c, std::int32_t n);
// The pieces of text between separators: k separators give k + 1 pieces,
// an empty text none. An array of strings with lower bound 0.
SafeArray split(Text text, char16_t separator);
// Decimal text: "4", "-1".
Bstr decimal(std::int32_t value);
// Simple conversions between the component's text and UTF-8, for messages
// and clients (not the ANSI round trip of system calls: see automation/ansi.h).
std::string to_utf8(Text text);
std::u16string from_utf8(std::string_view bytes);

// ---- Variants -----------------------------------------------------------------

// An owning VARIANT: cleared on destruction, deep-copied on copy.
class Variant {
public:
    Variant() noexcept { VariantInit(&m_value); }
    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept;
    ~Variant();

    // Deep copy of a caller's value (by-reference values are dereferenced).
    static Variant copy_of(const VARIANT& value);
    // Takes ownership of value, leaving it Empty.
    static Variant attach(VARIANT& value) noexcept;

    static Variant from_string(Bstr text) noexcept;
    static Variant from_int32(std::int32_t value) noexcept;
    static Variant from_bool(bool value) noexcept;
    // Puts an array of strings (VT_ARRAY | VT_BSTR) or Variants
    // (VT_ARRAY | VT_VARIANT) in a Variant; the Variant owns it.
    static Variant from_array(SafeArray array) noexcept;

    VARTYPE kind() const noexcept { return m_value.vt; }
    bool is_empty() const noexcept { return m_value.vt == VT_EMPTY; }
    const VARIANT& get() const noexcept { return m_value; }
    VARIANT& get() noexcept { return m_value; }
    // Clears the value and returns it, for functions that fill one.
    VARIANT* put() noexcept;
    // Gives the value away; this becomes Empty.
    VARIANT detach() noexcept;
    void clear() noexcept;

    // The value as text (type mismatch, error 13, when it cannot be one).
    Bstr to_string() const;
    // The array this Variant holds; error 13 when it holds none.
    SAFEARRAY* array() const;

private:
    VARIANT m_value;
};

// ---- Arrays -------------------------------------------------------------------

// An owning safe array with lower bound 0 in every dimension. Dimensions are
// numbered from 1 (the leftmost); index lists name the leftmost first.
class SafeArray {
public:
    SafeArray() noexcept = default;
    SafeArray(const SafeArray&) = delete;
    SafeArray& operator=(const SafeArray&) = delete;
    SafeArray(SafeArray&& other) noexcept : m_array(std::exchange(other.m_array, nullptr)) {}
    SafeArray& operator=(SafeArray&& other) noexcept;
    ~SafeArray();

    // One dimension, indexes 0 to upper (upper -1 gives no elements).
    static SafeArray vector(VARTYPE kind, std::int32_t upper);
    // Two dimensions, indexes (0 to upper1, 0 to upper2).
    static SafeArray matrix(VARTYPE kind, std::int32_t upper1, std::int32_t upper2);
    static SafeArray attach(SAFEARRAY* array) noexcept;
    // A deep copy of someone else's array.
    static SafeArray copy_of(SAFEARRAY* array);

    SAFEARRAY* get() const noexcept { return m_array; }
    SAFEARRAY* detach() noexcept { return std::exchange(m_array, nullptr); }
    explicit operator bool() const noexcept { return m_array != nullptr; }

    // Changes the upper bound of the last dimension, keeping the contents.
    void redim_last(std::int32_t upper);
    std::int32_t upper_bound(unsigned dimension) const;
    std::int32_t lower_bound(unsigned dimension) const;

    // Element access with bounds checks (error 9). Strings and Variants
    // are copied in and out.
    Bstr get_string(std::int32_t i) const;
    Bstr get_string(std::int32_t i, std::int32_t j) const;
    void put_string(std::int32_t i, const Bstr& value);
    void put_string(std::int32_t i, std::int32_t j, const Bstr& value);
    void put_variant(std::int32_t i, const Variant& value);
    // The address of a string element, for callers that pass it by reference.
    BSTR* string_slot(std::int32_t i);

private:
    SAFEARRAY* m_array = nullptr;
};

// Functions on an array the component does not own (inside a Variant).
std::int32_t upper_bound(SAFEARRAY* array, unsigned dimension);
Bstr get_string(SAFEARRAY* array, std::int32_t i);
Bstr get_string(SAFEARRAY* array, std::int32_t i, std::int32_t j);

// ---- Interface pointers ---------------------------------------------------------

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Takes a new reference on p.
    explicit ComPtr(T* p) noexcept : m_ptr(p)
    {
        if (m_ptr != nullptr) {
            m_ptr->AddRef();
        }
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_ptr) {}
    ComPtr(ComPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(m_ptr, other.m_ptr);
        return *this;
    }
    ~ComPtr() { reset(); }

    static ComPtr attach(T* p) noexcept
    {
        ComPtr result;
        result.m_ptr = p;
        return result;
    }

    T* get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }
    T* detach() noexcept { return std::exchange(m_ptr, nullptr); }
    void reset() noexcept
    {
        if (T* p = std::exchange(m_ptr, nullptr)) {
            p->Release();
        }
    }
    // Releases the pointer and returns its slot, for functions that fill one.
    T** put() noexcept
    {
        reset();
        return &m_ptr;
    }

private:
    T* m_ptr = nullptr;
};

}  // namespace vh
