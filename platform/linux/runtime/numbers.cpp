// Numbers: numeric text read and written, and exact numbers scaled and
// rounded, for the conversions between the scalar kinds.
#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/linux/runtime/runtime.h"

namespace vh::runtime {

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

// Reads hexadecimal (shift 4) or octal (shift 3) digits from text[i] on into
// `value`, leaving i past the last one; DISP_E_OVERFLOW past 64 bits.
template <class Char>
HRESULT read_radix_digits(const Char* text, std::size_t length, int shift, std::size_t& i,
                          std::uint64_t& value)
{
    for (; i < length; ++i) {
        const auto c = static_cast<char32_t>(text[i]);
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
    return S_OK;
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
        if (FAILED(read_radix_digits(text, length, shift, i, value))) {
            return DISP_E_OVERFLOW;
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

template HRESULT parse_number<char>(const char* text, std::size_t length, Number& out);
template HRESULT parse_number<OLECHAR>(const OLECHAR* text, std::size_t length, Number& out);

}  // namespace vh::runtime
