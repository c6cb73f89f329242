// Conversion between UTF-16 and the byte code pages the component meets:
// UTF-8 and Windows-1252, with CP_ACP standing for whichever of the two the
// user chose (UTF-8 unless VORNHALL_CODEPAGE selects 1252).
//
// The calling conventions are kernel32's: an explicit length converts every
// unit, NULs included, and -1 means "up to and including the terminator";
// a capacity of 0 asks for the size needed; a buffer that is too small gets
// what fits and the call fails with ERROR_INSUFFICIENT_BUFFER. In 1252 a
// character without a byte of its own takes its best-fit byte, as on Windows
// ("\u0100" becomes "A"; WC_NO_BEST_FIT_CHARS turns that off), and one
// without either becomes the default character; in UTF-8 a lone surrogate or
// an invalid byte sequence becomes U+FFFD.
//
// Where the ANSI code page is UTF-8, CP_ACP is lenient where CP_UTF8 is
// strict: it accepts a default character, a used-default flag and any flags,
// because the same component code passes them on Windows, where the ANSI
// code page is a single-byte one that takes them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/win32.h"

namespace {

constexpr DWORD error_invalid_flags = 1004;
constexpr DWORD error_no_unicode_translation = 1113;
constexpr DWORD wc_err_invalid_chars = 0x80;
constexpr DWORD mb_err_invalid_chars = MB_ERR_INVALID_CHARS;
constexpr DWORD wc_no_best_fit_chars = 0x400;

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

// Windows-1252's best-fit bytes for characters it has no byte for (the
// system's published best-fit table for the code page), sorted by character.
struct BestFit {
    char16_t character;
    unsigned char byte;
};
constexpr BestFit cp1252_best_fit[] = {
    {0x0100, 0x41}, {0x0101, 0x61}, {0x0102, 0x41}, {0x0103, 0x61}, {0x0104, 0x41}, {0x0105, 0x61},
    {0x0106, 0x43}, {0x0107, 0x63}, {0x0108, 0x43}, {0x0109, 0x63}, {0x010A, 0x43}, {0x010B, 0x63},
    {0x010C, 0x43}, {0x010D, 0x63}, {0x010E, 0x44}, {0x010F, 0x64}, {0x0110, 0xD0}, {0x0111, 0x64},
    {0x0112, 0x45}, {0x0113, 0x65}, {0x0114, 0x45}, {0x0115, 0x65}, {0x0116, 0x45}, {0x0117, 0x65},
    {0x0118, 0x45}, {0x0119, 0x65}, {0x011A, 0x45}, {0x011B, 0x65}, {0x011C, 0x47}, {0x011D, 0x67},
    {0x011E, 0x47}, {0x011F, 0x67}, {0x0120, 0x47}, {0x0121, 0x67}, {0x0122, 0x47}, {0x0123, 0x67},
    {0x0124, 0x48}, {0x0125, 0x68}, {0x0126, 0x48}, {0x0127, 0x68}, {0x0128, 0x49}, {0x0129, 0x69},
    {0x012A, 0x49}, {0x012B, 0x69}, {0x012C, 0x49}, {0x012D, 0x69}, {0x012E, 0x49}, {0x012F, 0x69},
    {0x0130, 0x49}, {0x0131, 0x69}, {0x0134, 0x4A}, {0x0135, 0x6A}, {0x0136, 0x4B}, {0x0137, 0x6B},
    {0x0139, 0x4C}, {0x013A, 0x6C}, {0x013B, 0x4C}, {0x013C, 0x6C}, {0x013D, 0x4C}, {0x013E, 0x6C},
    {0x0141, 0x4C}, {0x0142, 0x6C}, {0x0143, 0x4E}, {0x0144, 0x6E}, {0x0145, 0x4E}, {0x0146, 0x6E},
    {0x0147, 0x4E}, {0x0148, 0x6E}, {0x014C, 0x4F}, {0x014D, 0x6F}, {0x014E, 0x4F}, {0x014F, 0x6F},
    {0x0150, 0x4F}, {0x0151, 0x6F}, {0x0154, 0x52}, {0x0155, 0x72}, {0x0156, 0x52}, {0x0157, 0x72},
    {0x0158, 0x52}, {0x0159, 0x72}, {0x015A, 0x53}, {0x015B, 0x73}, {0x015C, 0x53}, {0x015D, 0x73},
    {0x015E, 0x53}, {0x015F, 0x73}, {0x0162, 0x54}, {0x0163, 0x74}, {0x0164, 0x54}, {0x0165, 0x74},
    {0x0166, 0x54}, {0x0167, 0x74}, {0x0168, 0x55}, {0x0169, 0x75}, {0x016A, 0x55}, {0x016B, 0x75},
    {0x016C, 0x55}, {0x016D, 0x75}, {0x016E, 0x55}, {0x016F, 0x75}, {0x0170, 0x55}, {0x0171, 0x75},
    {0x0172, 0x55}, {0x0173, 0x75}, {0x0174, 0x57}, {0x0175, 0x77}, {0x0176, 0x59}, {0x0177, 0x79},
    {0x0179, 0x5A}, {0x017A, 0x7A}, {0x017B, 0x5A}, {0x017C, 0x7A}, {0x0180, 0x62}, {0x0189, 0xD0},
    {0x0191, 0x83}, {0x0197, 0x49}, {0x019A, 0x6C}, {0x019F, 0x4F}, {0x01A0, 0x4F}, {0x01A1, 0x6F},
    {0x01AB, 0x74}, {0x01AE, 0x54}, {0x01AF, 0x55}, {0x01B0, 0x75}, {0x01B6, 0x7A}, {0x01C0, 0x7C},
    {0x01C3, 0x21}, {0x01CD, 0x41}, {0x01CE, 0x61}, {0x01CF, 0x49}, {0x01D0, 0x69}, {0x01D1, 0x4F},
    {0x01D2, 0x6F}, {0x01D3, 0x55}, {0x01D4, 0x75}, {0x01D5, 0x55}, {0x01D6, 0x75}, {0x01D7, 0x55},
    {0x01D8, 0x75}, {0x01D9, 0x55}, {0x01DA, 0x75}, {0x01DB, 0x55}, {0x01DC, 0x75}, {0x01DE, 0x41},
    {0x01DF, 0x61}, {0x01E4, 0x47}, {0x01E5, 0x67}, {0x01E6, 0x47}, {0x01E7, 0x67}, {0x01E8, 0x4B},
    {0x01E9, 0x6B}, {0x01EA, 0x4F}, {0x01EB, 0x6F}, {0x01EC, 0x4F}, {0x01ED, 0x6F}, {0x01F0, 0x6A},
    {0x0261, 0x67}, {0x02B9, 0x27}, {0x02BA, 0x22}, {0x02BC, 0x27}, {0x02C4, 0x5E}, {0x02C8, 0x27},
    {0x02C9, 0xAF}, {0x02CA, 0xB4}, {0x02CB, 0x60}, {0x02CD, 0x5F}, {0x02DA, 0xB0}, {0x0300, 0x60},
    {0x0301, 0xB4}, {0x0302, 0x5E}, {0x0303, 0x7E}, {0x0304, 0xAF}, {0x0305, 0xAF}, {0x0308, 0xA8},
    {0x030A, 0xB0}, {0x030E, 0x22}, {0x0327, 0xB8}, {0x0331, 0x5F}, {0x0332, 0x5F}, {0x037E, 0x3B},
    {0x0393, 0x47}, {0x0398, 0x54}, {0x03A3, 0x53}, {0x03A6, 0x46}, {0x03A9, 0x4F}, {0x03B1, 0x61},
    {0x03B2, 0xDF}, {0x03B4, 0x64}, {0x03B5, 0x65}, {0x03BC, 0xB5}, {0x03C0, 0x70}, {0x03C3, 0x73},
    {0x03C4, 0x74}, {0x03C6, 0x66}, {0x04BB, 0x68}, {0x0589, 0x3A}, {0x066A, 0x25}, {0x2000, 0x20},
    {0x2001, 0x20}, {0x2002, 0x20}, {0x2003, 0x20}, {0x2004, 0x20}, {0x2005, 0x20}, {0x2006, 0x20},
    {0x2010, 0x2D}, {0x2011, 0x2D}, {0x2017, 0x3D}, {0x2024, 0xB7}, {0x2032, 0x27}, {0x2035, 0x60},
    {0x2044, 0x2F}, {0x2070, 0xB0}, {0x2074, 0x34}, {0x2075, 0x35}, {0x2076, 0x36}, {0x2077, 0x37},
    {0x2078, 0x38}, {0x207F, 0x6E}, {0x2080, 0x30}, {0x2081, 0x31}, {0x2082, 0x32}, {0x2083, 0x33},
    {0x2084, 0x34}, {0x2085, 0x35}, {0x2086, 0x36}, {0x2087, 0x37}, {0x2088, 0x38}, {0x2089, 0x39},
    {0x20A1, 0xA2}, {0x20A4, 0xA3}, {0x20A7, 0x50}, {0x2102, 0x43}, {0x2107, 0x45}, {0x210A, 0x67},
    {0x210B, 0x48}, {0x210C, 0x48}, {0x210D, 0x48}, {0x210E, 0x68}, {0x2110, 0x49}, {0x2111, 0x49},
    {0x2112, 0x4C}, {0x2113, 0x6C}, {0x2115, 0x4E}, {0x2118, 0x50}, {0x2119, 0x50}, {0x211A, 0x51},
    {0x211B, 0x52}, {0x211C, 0x52}, {0x211D, 0x52}, {0x2124, 0x5A}, {0x2128, 0x5A}, {0x212A, 0x4B},
    {0x212B, 0xC5}, {0x212C, 0x42}, {0x212D, 0x43}, {0x212E, 0x65}, {0x212F, 0x65}, {0x2130, 0x45},
    {0x2131, 0x46}, {0x2133, 0x4D}, {0x2134, 0x6F}, {0x2205, 0xD8}, {0x2212, 0x2D}, {0x2213, 0xB1},
    {0x2215, 0x2F}, {0x2216, 0x5C}, {0x2217, 0x2A}, {0x2218, 0xB0}, {0x2219, 0xB7}, {0x221A, 0x76},
    {0x221E, 0x38}, {0x2223, 0x7C}, {0x2229, 0x6E}, {0x2236, 0x3A}, {0x223C, 0x7E}, {0x2248, 0x98},
    {0x2261, 0x3D}, {0x2264, 0x3D}, {0x2265, 0x3D}, {0x226A, 0xAB}, {0x226B, 0xBB}, {0x22C5, 0xB7},
    {0x2302, 0xA6}, {0x2303, 0x5E}, {0x2310, 0xAC}, {0x2320, 0x28}, {0x2321, 0x29}, {0x2329, 0x3C},
    {0x232A, 0x3E}, {0x2500, 0x2D}, {0x2502, 0xA6}, {0x250C, 0x2B}, {0x2510, 0x2B}, {0x2514, 0x2B},
    {0x2518, 0x2B}, {0x251C, 0x2B}, {0x2524, 0xA6}, {0x252C, 0x2D}, {0x2534, 0x2D}, {0x253C, 0x2B},
    {0x2550, 0x2D}, {0x2551, 0xA6}, {0x2552, 0x2B}, {0x2553, 0x2B}, {0x2554, 0x2B}, {0x2555, 0x2B},
    {0x2556, 0x2B}, {0x2557, 0x2B}, {0x2558, 0x2B}, {0x2559, 0x2B}, {0x255A, 0x2B}, {0x255B, 0x2B},
    {0x255C, 0x2B}, {0x255D, 0x2B}, {0x255E, 0xA6}, {0x255F, 0xA6}, {0x2560, 0xA6}, {0x2561, 0xA6},
    {0x2562, 0xA6}, {0x2563, 0xA6}, {0x2564, 0x2D}, {0x2565, 0x2D}, {0x2566, 0x2D}, {0x2567, 0x2D},
    {0x2568, 0x2D}, {0x2569, 0x2D}, {0x256A, 0x2B}, {0x256B, 0x2B}, {0x256C, 0x2B}, {0x2580, 0xAF},
    {0x2584, 0x5F}, {0x2588, 0xA6}, {0x258C, 0xA6}, {0x2590, 0xA6}, {0x2591, 0xA6}, {0x2592, 0xA6},
    {0x2593, 0xA6}, {0x25A0, 0xA6}, {0x263C, 0xA4}, {0x2758, 0x7C}, {0x3000, 0x20}, {0x3008, 0x3C},
    {0x3009, 0x3E}, {0x300A, 0xAB}, {0x300B, 0xBB}, {0x301A, 0x5B}, {0x301B, 0x5D}, {0x30FB, 0xB7},
    {0xFF01, 0x21}, {0xFF02, 0x22}, {0xFF03, 0x23}, {0xFF04, 0x24}, {0xFF05, 0x25}, {0xFF06, 0x26},
    {0xFF07, 0x27}, {0xFF08, 0x28}, {0xFF09, 0x29}, {0xFF0A, 0x2A}, {0xFF0B, 0x2B}, {0xFF0C, 0x2C},
    {0xFF0D, 0x2D}, {0xFF0E, 0x2E}, {0xFF0F, 0x2F}, {0xFF10, 0x30}, {0xFF11, 0x31}, {0xFF12, 0x32},
    {0xFF13, 0x33}, {0xFF14, 0x34}, {0xFF15, 0x35}, {0xFF16, 0x36}, {0xFF17, 0x37}, {0xFF18, 0x38},
    {0xFF19, 0x39}, {0xFF1A, 0x3A}, {0xFF1B, 0x3B}, {0xFF1C, 0x3C}, {0xFF1D, 0x3D}, {0xFF1E, 0x3E},
    {0xFF20, 0x40}, {0xFF21, 0x41}, {0xFF22, 0x42}, {0xFF23, 0x43}, {0xFF24, 0x44}, {0xFF25, 0x45},
    {0xFF26, 0x46}, {0xFF27, 0x47}, {0xFF28, 0x48}, {0xFF29, 0x49}, {0xFF2A, 0x4A}, {0xFF2B, 0x4B},
    {0xFF2C, 0x4C}, {0xFF2D, 0x4D}, {0xFF2E, 0x4E}, {0xFF2F, 0x4F}, {0xFF30, 0x50}, {0xFF31, 0x51},
    {0xFF32, 0x52}, {0xFF33, 0x53}, {0xFF34, 0x54}, {0xFF35, 0x55}, {0xFF36, 0x56}, {0xFF37, 0x57},
    {0xFF38, 0x58}, {0xFF39, 0x59}, {0xFF3A, 0x5A}, {0xFF3B, 0x5B}, {0xFF3C, 0x5C}, {0xFF3D, 0x5D},
    {0xFF3E, 0x5E}, {0xFF3F, 0x5F}, {0xFF40, 0x60}, {0xFF41, 0x61}, {0xFF42, 0x62}, {0xFF43, 0x63},
    {0xFF44, 0x64}, {0xFF45, 0x65}, {0xFF46, 0x66}, {0xFF47, 0x67}, {0xFF48, 0x68}, {0xFF49, 0x69},
    {0xFF4A, 0x6A}, {0xFF4B, 0x6B}, {0xFF4C, 0x6C}, {0xFF4D, 0x6D}, {0xFF4E, 0x6E}, {0xFF4F, 0x6F},
    {0xFF50, 0x70}, {0xFF51, 0x71}, {0xFF52, 0x72}, {0xFF53, 0x73}, {0xFF54, 0x74}, {0xFF55, 0x75},
    {0xFF56, 0x76}, {0xFF57, 0x77}, {0xFF58, 0x78}, {0xFF59, 0x79}, {0xFF5A, 0x7A}, {0xFF5B, 0x7B},
    {0xFF5C, 0x7C}, {0xFF5D, 0x7D}, {0xFF5E, 0x7E},
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

    // Puts the leading run of ASCII units of [units, units + count), which
    // every code page here maps one to one, and returns its length: text is
    // mostly ASCII, and this is its fast path.
    template <class From>
    int put_ascii(const From* units, int count)
    {
        const int run = ascii_run(units, count);
        if (run == 0 || m_full) {
            return run;
        }
        if (m_buffer != nullptr) {
            // As unit by unit: what fits is written before the buffer is full.
            const int fits = std::min(run, m_capacity - m_count);
            Unit* to = m_buffer + m_count;
            int i = 0;
            for (; i + 8 <= fits; i += 8) {  // in blocks the compiler turns into vector moves
                Unit block[8];
                for (int k = 0; k < 8; ++k) {
                    block[k] = static_cast<Unit>(units[i + k]);
                }
                std::memcpy(to + i, block, sizeof block);
            }
            for (; i < fits; ++i) {
                to[i] = static_cast<Unit>(units[i]);
            }
            if (fits < run) {
                m_count += fits;
                m_full = true;
                return run;
            }
        } else if (run > max_count - m_count) {
            m_full = true;
            return run;
        }
        m_count += run;
        return run;
    }

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
    // The length of the leading run of units below 0x80, eight bytes at a time.
    template <class From>
    static int ascii_run(const From* units, int count)
    {
        constexpr int per_word = 8 / sizeof(From);
        constexpr std::uint64_t high_bits = sizeof(From) == 1 ? 0x8080808080808080ULL : 0xFF80FF80FF80FF80ULL;
        int run = 0;
        for (; run + 4 * per_word <= count; run += 4 * per_word) {
            std::uint64_t words[4];
            std::memcpy(words, units + run, sizeof words);
            if (((words[0] | words[1] | words[2] | words[3]) & high_bits) != 0) {
                break;
            }
        }
        for (; run + per_word <= count; run += per_word) {
            std::uint64_t word = 0;
            std::memcpy(&word, units + run, sizeof word);
            if ((word & high_bits) != 0) {
                break;
            }
        }
        while (run < count && units[run] < 0x80) {
            ++run;
        }
        return run;
    }

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
        i += out.put_ascii(wide + i, length - i);
        if (i == length) {
            break;
        }
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
            i += out.put_ascii(bytes + i, length - i);
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

// The 1252 byte for a UTF-16 unit, its best-fit byte when `best_fit` is
// set, or -1 when the code page has none.
int cp1252_byte(char16_t c, bool best_fit)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return c;
    }
    for (int i = 0; i < 32; ++i) {
        if (cp1252_high[i] == c) {
            return 0x80 + i;
        }
    }
    if (best_fit) {
        const BestFit* const end = std::end(cp1252_best_fit);
        const BestFit* const found =
            std::lower_bound(std::begin(cp1252_best_fit), end, c,
                             [](const BestFit& entry, char16_t key) { return entry.character < key; });
        if (found != end && found->character == c) {
            return found->byte;
        }
    }
    return -1;
}

// Encodes unit by unit, as Windows does for a single-byte code page: each
// half of a surrogate pair becomes one default character.
void encode_1252(const char16_t* wide, int length, bool best_fit, char default_char, bool& used_default,
                 Output<char>& out)
{
    for (int i = 0; i < length; ++i) {
        i += out.put_ascii(wide + i, length - i);
        if (i == length) {
            break;
        }
        const int byte = cp1252_byte(wide[i], best_fit);
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
        i += out.put_ascii(bytes + i, length - i);
        if (i == length) {
            break;
        }
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
        encode_1252(wide, wide_length, (flags & wc_no_best_fit_chars) == 0,
                    default_char != nullptr ? *default_char : '?', used, out);
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
