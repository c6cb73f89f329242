// Simple one-to-one case mapping of UTF-16 code units.
//
// The mapping covers the cased letters of the scripts a registry or profile
// name is likely to hold: Latin (with Latin-1, Extended-A and B pairs),
// Greek, Cyrillic, Armenian, Georgian-free BMP blocks and the full-width
// Latin letters. Characters without a one-to-one partner map to themselves.
#include "platform/win32.h"

namespace {

// A run of letters where upper and lower forms sit at a fixed distance.
struct ShiftRange {
    char16_t upper_first;
    char16_t upper_last;
    int distance;  // lower = upper + distance
};

// A run where upper and lower forms alternate (upper even or odd, lower next).
struct PairRange {
    char16_t first;  // an upper-case letter
    char16_t last;   // the last lower-case letter
};

constexpr ShiftRange shift_ranges[] = {
    {u'A', u'Z', 32},     {0x00C0, 0x00D6, 32}, {0x00D8, 0x00DE, 32}, {0x0391, 0x03A1, 32},
    {0x03A3, 0x03AB, 32}, {0x0388, 0x038A, 37}, {0x0410, 0x042F, 32}, {0x0400, 0x040F, 80},
    {0x0531, 0x0556, 48}, {0xFF21, 0xFF3A, 32}, {0x24B6, 0x24CF, 26}, {0x2160, 0x216F, 16},
};

constexpr PairRange pair_ranges[] = {
    {0x0100, 0x012F}, {0x0132, 0x0137}, {0x014A, 0x0177}, {0x0182, 0x0185}, {0x01A0, 0x01A5},
    {0x01DE, 0x01EF}, {0x01F8, 0x021F}, {0x0222, 0x0233}, {0x0246, 0x024F}, {0x03D8, 0x03EF},
    {0x0460, 0x0481}, {0x048A, 0x04BF}, {0x04D0, 0x052F}, {0x1E00, 0x1E95}, {0x1EA0, 0x1EFF},
};

// Pairs where upper is odd and lower the next even code.
constexpr PairRange odd_pair_ranges[] = {
    {0x0139, 0x0148},
    {0x0179, 0x017E},
    {0x01CD, 0x01DC},
    {0x04C1, 0x04CE},
};

// Single pairs outside the regular runs.
constexpr char16_t single_pairs[][2] = {
    {0x0178, 0x00FF}, {0x0386, 0x03AC}, {0x038C, 0x03CC}, {0x038E, 0x03CD}, {0x038F, 0x03CE},
    {0x0187, 0x0188}, {0x018B, 0x018C}, {0x0191, 0x0192}, {0x0198, 0x0199}, {0x01A7, 0x01A8},
    {0x01AC, 0x01AD}, {0x01AF, 0x01B0}, {0x01B3, 0x01B4}, {0x01B5, 0x01B6}, {0x01B8, 0x01B9},
    {0x01BC, 0x01BD}, {0x01C4, 0x01C6}, {0x01C7, 0x01C9}, {0x01CA, 0x01CC}, {0x01F1, 0x01F3},
    {0x01F4, 0x01F5}, {0x023B, 0x023C}, {0x0241, 0x0242}, {0x04C0, 0x04CF},
};

char16_t to_lower(char16_t c)
{
    if (c < 0x80) {
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    }
    for (const auto& r : shift_ranges) {
        if (c >= r.upper_first && c <= r.upper_last) {
            return static_cast<char16_t>(c + r.distance);
        }
    }
    for (const auto& r : pair_ranges) {
        if (c >= r.first && c <= r.last) {
            return ((c - r.first) % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
        }
    }
    for (const auto& r : odd_pair_ranges) {
        if (c >= r.first && c <= r.last) {
            return ((c - r.first) % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
        }
    }
    for (const auto& p : single_pairs) {
        if (c == p[0]) {
            return p[1];
        }
    }
    return c;
}

char16_t to_upper(char16_t c)
{
    if (c < 0x80) {
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    }
    for (const auto& r : shift_ranges) {
        if (c >= r.upper_first + r.distance && c <= r.upper_last + r.distance) {
            return static_cast<char16_t>(c - r.distance);
        }
    }
    for (const auto& r : pair_ranges) {
        if (c > r.first && c <= r.last) {
            return ((c - r.first) % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
        }
    }
    for (const auto& r : odd_pair_ranges) {
        if (c > r.first && c <= r.last) {
            return ((c - r.first) % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
        }
    }
    for (const auto& p : single_pairs) {
        if (c == p[1]) {
            return p[0];
        }
    }
    if (c == 0x03C2) {  // final sigma
        return 0x03A3;
    }
    return c;
}

}  // namespace

DWORD CharLowerBuffW(LPWSTR text, DWORD length)
{
    if (text == nullptr) {
        return 0;
    }
    for (DWORD i = 0; i < length; ++i) {
        text[i] = to_lower(text[i]);
    }
    return length;
}

DWORD CharUpperBuffW(LPWSTR text, DWORD length)
{
    if (text == nullptr) {
        return 0;
    }
    for (DWORD i = 0; i < length; ++i) {
        text[i] = to_upper(text[i]);
    }
    return length;
}
