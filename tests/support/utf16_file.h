// A profile file in UTF-16, as the tests make one: its byte-order mark, then
// each UTF-16 unit in the byte order the mark names.
#pragma once

#include <string>
#include <string_view>

namespace vh::test {

inline std::string utf16_file(std::u16string_view text, bool big_endian = false)
{
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
        const auto high = static_cast<char>(unit >> 8);
        const auto low = static_cast<char>(unit & 0xFF);
        bytes += big_endian ? high : low;
        bytes += big_endian ? low : high;
    }
    return bytes;
}

}  // namespace vh::test
