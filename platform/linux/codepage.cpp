// Conversion between UTF-16 and the byte code pages the component meets:
// UTF-8 and Windows-1252, with CP_ACP standing for whichever of the two the
// user chose (UTF-8 unless VORNHALL_CODEPAGE selects 1252).
//
// The calling conventions are kernel32's: an explicit length converts every
// unit, NULs included, and -1 means "up to and including the terminator";
// a capacity of 0 asks for the size needed; a buffer that is too small gets
// what fits and the call fails with ERROR_INSUFFICIENT_BUFFER. In 1252 a
// character without a byte becomes the default character; in UTF-8 a lone
// surrogate or an invalid byte sequence becomes U+FFFD.
//
// Where the ANSI code page is UTF-8, CP_ACP is lenient where CP_UTF8 is
// strict: it accepts a default character, a used-default flag and any flags,
// because the same component code passes them on Windows, where the ANSI
// code page is a single-byte one that takes them.
#include <cstdlib>

#include "platform/win32.h"

namespace {

constexpr DWORD error_invalid_flags = 1004;
constexpr DWORD error_no_unicode_translation = 1113;
constexpr DWORD wc_err_invalid_chars = 0x80;
constexpr DWORD mb_err_invalid_chars = 0x08;

constexpr char16_t replacement_char = 0xFFFD;

// The characters of Windows-1252's bytes 0x80 to 0x9F. The five bytes the
// code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the
// C1 control characters of the same value, both ways, as on Windows.
constexpr char16_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

bool equals_ignoring_case(const char* text, const char* lower_expected)
{
    for (; *text != '\0' && *lower_expected != '\0'; ++text, ++lower_expected) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != *lower_expected) {
            return false;
        }
    }
    return *text == *lower_expected;
}

// The ANSI code page the user chose through VORNHALL_CODEPAGE.
UINT read_ansi_code_page()
{
    const char* choice = std::getenv("VORNHALL_CODEPAGE");
    if (choice != nullptr &&
        (equals_ignoring_case(choice, "1252") || equals_ignoring_case(choice, "windows-1252") ||
         equals_ignoring_case(choice, "cp1252"))) {
        return CP_1252;
    }
    return CP_UTF8;
}

// Where converted units go: counted only when there is no buffer, written
// while they fit otherwise. A character's units go in whole or not at all,
// and the first one that does not fit ends the output.
template <class Unit>
class Output {
public:
    // A capacity of 0 asks for the size, whatever the buffer pointer is.
    Output(Unit* buffer, int capacity) : m_buffer(capacity != 0 ? buffer : nullptr), m_capacity(capacity) {}

    void put(const Unit* units, int count)
    {
        if (m_full) {
            return;
        }
        if (m_buffer != nullptr) {
            if (count > m_capacity - m_count) {
                m_full = true;
                return;
            }
            for (int i = 0; i < count; ++i) {
                m_buffer[m_count + i] = units[i];
            }
        } else if (count > max_count - m_count) {
            m_full = true;  // the size would not fit the int result
            return;
        }
        m_count += count;
    }
    void put(Unit unit) { put(&unit, 1); }

    // The call's result: the unit count, or 0 with the last error set.
    int result() const
    {
        if (m_full) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        return m_count;
    }

private:
    static constexpr int max_count = 0x7FFFFFFF;
    Unit* m_buffer;
    int m_capacity;
    int m_count = 0;
    bool m_full = false;
};

bool is_high_surrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}
bool is_low_surrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Encodes UTF-16 as UTF-8. Returns false (nothing more written) at a lone
// surrogate when `strict`.
bool encode_utf8(const char16_t* wide, int length, bool strict, Output<char>& out)
{
    for (int i = 0; i < length; ++i) {
        char32_t c = wide[i];
        if (is_high_surrogate(wide[i]) && i + 1 < length && is_low_surrogate(wide[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (is_high_surrogate(wide[i]) || is_low_surrogate(wide[i])) {
            if (strict) {
                return false;
            }
            c = replacement_char;
        }
        char bytes[4];
        int count = 0;
        if (c < 0x80) {
            bytes[count++] = static_cast<char>(c);
        } else if (c < 0x800) {
            bytes[count++] = static_cast<char>(0xC0 | (c >> 6));
            bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes[count++] = static_cast<char>(0xE0 | (c >> 12));
            bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes[count++] = static_cast<char>(0xF0 | (c >> 18));
            bytes[count++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        out.put(bytes, count);
    }
    return true;
}

// Decodes UTF-8 into UTF-16. An ill-formed sequence becomes one U+FFFD per
// maximal ill-formed part (the lead byte and the continuation bytes that
// were still valid for it), and decoding resumes at the offending byte.
// Returns false (nothing more written) at the first one when `strict`.
bool decode_utf8(const unsigned char* bytes, int length, bool strict, Output<char16_t>& out)
{
    int i = 0;
    while (i < length) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            out.put(lead);
            ++i;
            continue;
        }
        int trail = 0;
        char32_t c = 0;
        unsigned char second_low = 0x80;
        unsigned char second_high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            trail = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trail = 2;
            c = lead & 0x0F;
            second_low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
            second_high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trail = 3;
            c = lead & 0x07;
            second_low = lead == 0xF0 ? 0x90 : 0x80;   // no overlong forms
            second_high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
        }
        int used = 1;
        bool valid = trail > 0;
        for (int k = 0; valid && k < trail; ++k) {
            const unsigned char low = k == 0 ? second_low : 0x80;
            const unsigned char high = k == 0 ? second_high : 0xBF;
            if (i + used >= length || bytes[i + used] < low || bytes[i + used] > high) {
                valid = false;
                break;
            }
            c = (c << 6) | (bytes[i + used] & 0x3F);
            ++used;
        }
        i += used;
        if (!valid) {
            if (strict) {
                return false;
            }
            out.put(replacement_char);
        } else if (c >= 0x10000) {
            const char16_t pair[2] = {static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)),
                                      static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
            out.put(pair, 2);
        } else {
            out.put(static_cast<char16_t>(c));
        }
    }
    return true;
}

// The 1252 byte for a UTF-16 unit, or -1 when the code page has none.
int cp1252_byte(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return c;
    }
    for (int i = 0; i < 32; ++i) {
        if (cp1252_high[i] == c) {
            return 0x80 + i;
        }
    }
    return -1;
}

// Encodes unit by unit, as Windows does for a single-byte code page: each
// half of a surrogate pair becomes one default character.
void encode_1252(const char16_t* wide, int length, char default_char, bool& used_default, Output<char>& out)
{
    for (int i = 0; i < length; ++i) {
        const int byte = cp1252_byte(wide[i]);
        if (byte < 0) {
            used_default = true;
            out.put(default_char);
        } else {
            out.put(static_cast<char>(byte));
        }
    }
}

void decode_1252(const unsigned char* bytes, int length, Output<char16_t>& out)
{
    for (int i = 0; i < length; ++i) {
        const unsigned char b = bytes[i];
        out.put(b >= 0x80 && b < 0xA0 ? cp1252_high[b - 0x80] : static_cast<char16_t>(b));
    }
}

int fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

}  // namespace

UINT GetACP()
{
    static const UINT ansi_code_page = read_ansi_code_page();
    return ansi_code_page;
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR bytes,
                        int byte_capacity, LPCSTR default_char, BOOL* used_default)
{
    if (wide == nullptr || wide_length == 0 || byte_capacity < 0 ||
        (bytes == nullptr && byte_capacity != 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (wide_length < 0) {
        wide_length = 0;
        while (wide[wide_length] != 0) {
            ++wide_length;
        }
        ++wide_length;  // the terminator too
    }
    const UINT actual = code_page == CP_ACP ? GetACP() : code_page;
    Output<char> out(bytes, byte_capacity);
    if (actual == CP_UTF8) {
        if (code_page == CP_UTF8 && (default_char != nullptr || used_default != nullptr)) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        if (code_page == CP_UTF8 && (flags & ~wc_err_invalid_chars) != 0) {
            return fail(error_invalid_flags);
        }
        if (used_default != nullptr) {
            *used_default = FALSE;
        }
        if (!encode_utf8(wide, wide_length, (flags & wc_err_invalid_chars) != 0, out)) {
            return fail(error_no_unicode_translation);
        }
        return out.result();
    }
    if (actual == CP_1252) {
        bool used = false;
        encode_1252(wide, wide_length, default_char != nullptr ? *default_char : '?', used, out);
        if (used_default != nullptr) {
            *used_default = used ? TRUE : FALSE;
        }
        return out.result();
    }
    return fail(ERROR_INVALID_PARAMETER);
}

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR bytes, int byte_length, LPWSTR wide,
                        int wide_capacity)
{
    if (bytes == nullptr || byte_length == 0 || wide_capacity < 0 ||
        (wide == nullptr && wide_capacity != 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (byte_length < 0) {
        byte_length = 0;
        while (bytes[byte_length] != '\0') {
            ++byte_length;
        }
        ++byte_length;  // the terminator too
    }
    const auto* input = reinterpret_cast<const unsigned char*>(bytes);
    const UINT actual = code_page == CP_ACP ? GetACP() : code_page;
    Output<char16_t> out(wide, wide_capacity);
    if (actual == CP_UTF8) {
        if (code_page == CP_UTF8 && (flags & ~mb_err_invalid_chars) != 0) {
            return fail(error_invalid_flags);
        }
        if (!decode_utf8(input, byte_length, (flags & mb_err_invalid_chars) != 0, out)) {
            return fail(error_no_unicode_translation);
        }
        return out.result();
    }
    if (actual == CP_1252) {
        decode_1252(input, byte_length, out);
        return out.result();
    }
    return fail(ERROR_INVALID_PARAMETER);
}
