// Rows for the conversions between UTF-16 and the ANSI code page (CP_ACP),
// as the component makes them: flags 0, no default character of its own.
//
// Which rows apply depends on the code page the system uses: the UTF-8 rows
// where GetACP() is 65001, the Windows-1252 rows where it is 1252. The native
// suite runs once in each (VORNHALL_CODEPAGE selects 1252); Wine's default
// prefix uses 1252.
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"
#include "tests/conformance/runner.h"

namespace vh::conformance {

namespace {

using namespace std::string_view_literals;

// The UTF-16 units of a text, as the platform's wide character type.
std::vector<WCHAR> wide(std::u16string_view text)
{
    return std::vector<WCHAR>(text.begin(), text.end());
}

// The same, followed by a terminator, for calls that look for one.
std::vector<WCHAR> terminated(std::u16string_view text)
{
    std::vector<WCHAR> units = wide(text);
    units.push_back(0);
    return units;
}

std::string show_wide(const std::vector<WCHAR>& text)
{
    std::string shown;
    for (const WCHAR unit : text) {
        const auto value = static_cast<unsigned>(unit);
        shown += value >= 0x20 && value < 0x7F ? std::string(1, static_cast<char>(value))
                                               : "\\u" + std::to_string(value);
    }
    return shown;
}

constexpr WCHAR wide_sentinel = 0xCCCC;

// UTF-16 to the code page.
struct NarrowRow {
    std::u16string_view text;
    int length;    // -1: up to and including the terminator
    int capacity;  // 0: the size is asked for
    int result;
    std::string_view written;
};

// The code page to UTF-16.
struct WidenRow {
    std::string_view bytes;
    int length;
    int capacity;
    int result;
    std::u16string_view written;
};

void check_narrowing(Runner& runner, const std::string& page, std::initializer_list<NarrowRow> rows)
{
    for (const NarrowRow& row : rows) {
        const std::vector<WCHAR> text = terminated(row.text);
        Row check(runner, page + ": WideCharToMultiByte \"" + show_wide(wide(row.text)) + "\", length " +
                              std::to_string(row.length) + ", capacity " + std::to_string(row.capacity));
        Buffer buffer(static_cast<std::size_t>(row.capacity));
        const int result =
            WideCharToMultiByte(CP_ACP, 0, text.data(), row.length,
                                row.capacity == 0 ? nullptr : buffer.text(), row.capacity, nullptr, nullptr);
        check.number("result", result, row.result);
        check.bytes("buffer", buffer.contents(), buffer.after(row.written));
    }
}

void check_widening(Runner& runner, const std::string& page, std::initializer_list<WidenRow> rows)
{
    for (const WidenRow& row : rows) {
        Row check(runner, page + ": MultiByteToWideChar \"" + show(row.bytes) + "\", length " +
                              std::to_string(row.length) + ", capacity " + std::to_string(row.capacity));
        std::vector<WCHAR> buffer(static_cast<std::size_t>(row.capacity) + 2, wide_sentinel);
        const int result = MultiByteToWideChar(CP_ACP, 0, row.bytes.data(), row.length,
                                               row.capacity == 0 ? nullptr : buffer.data(), row.capacity);
        check.number("result", result, row.result);
        std::vector<WCHAR> expected = wide(row.written);
        expected.resize(buffer.size(), wide_sentinel);
        check.bytes("buffer", show_wide(buffer), show_wide(expected));
    }
}

void utf8_rows(Runner& runner)
{
    check_narrowing(runner, "UTF-8",
                    {
                        {u"abc", -1, 0, 4, {}},  // the size, terminator included
                        {u"abc", -1, 4, 4, "abc\0"sv},
                        {u"abc", 3, 8, 3, "abc"sv},   // an explicit length converts no terminator
                        {u"abc", -1, 3, 0, "abc"sv},  // too small: what fits, and failure
                        {u"\u00C4rger", -1, 0, 7, {}},
                        {u"\u00C4rger", -1, 7, 7, "\xC3\x84rger\0"sv},
                        {u"\u20AC", 1, 3, 3, "\xE2\x82\xAC"sv},
                        {u"\u20AC", 1, 2, 0, {}},  // a character goes whole or not at all
                        {u"\U0001F600", 2, 4, 4, "\xF0\x9F\x98\x80"sv},
                        {u"\xD800x", 2, 8, 4, "\xEF\xBF\xBDx"sv},  // a lone surrogate: U+FFFD
                    });
    check_widening(runner, "UTF-8",
                   {
                       {"abc\0"sv, -1, 0, 4, {}},
                       {"abc\0"sv, -1, 4, 4, u"abc\0"sv},
                       {"\xC3\x84rger"sv, 6, 5, 5, u"\u00C4rger"},
                       {"\xE2\x82\xAC"sv, 3, 1, 1, u"\u20AC"},
                       {"\xF0\x9F\x98\x80"sv, 4, 2, 2, u"\U0001F600"},
                       {"\xFFx"sv, 2, 4, 2, u"\uFFFDx"},  // an invalid byte: U+FFFD
                       {"\xC3("sv, 2, 4, 2, u"\uFFFD("},
                       {"abc"sv, 3, 2, 0, u"ab"},
                   });
}

void cp1252_rows(Runner& runner)
{
    check_narrowing(runner, "1252",
                    {
                        {u"abc", -1, 0, 4, {}},
                        {u"abc", -1, 4, 4, "abc\0"sv},
                        {u"abc", -1, 3, 0, "abc"sv},
                        {u"\u00C4rger", -1, 6, 6, "\xC4rger\0"sv},
                        {u"\u20AC\u201C\u0178", 3, 3, 3, "\x80\x93\x9F"sv},
                        {u"\u00FF\u00A0", 2, 2, 2, "\xFF\xA0"sv},
                        {u"\u4E2D", 1, 1, 1, "?"sv},         // no byte for it: the default character
                        {u"\u0100\u2260", 2, 2, 2, "A?"sv},  // the best-fit byte where there is one
                        {u"\U0001F600", 2, 2, 2, "??"sv},    // each half of a pair on its own
                    });
    check_widening(
        runner, "1252",
        {
            {"abc\0"sv, -1, 0, 4, {}},
            {"\xC4rger\0"sv, -1, 6, 6, u"\u00C4rger\0"sv},
            {"\x80\x93\x9F"sv, 3, 3, 3, u"\u20AC\u201C\u0178"},
            {"\xFF\xA0"sv, 2, 2, 2, u"\u00FF\u00A0"},
            {"\x81\x8D\x8F\x90\x9D"sv, 5, 5, 5, u"\u0081\u008D\u008F\u0090\u009D"},  // the undefined bytes
            {"abc"sv, 3, 2, 0, u"ab"},
        });
}

}  // namespace

void run_code_page_rows(Runner& runner)
{
    runner.begin_group("code page");
    const UINT page = GetACP();
    if (page == 65001) {
        utf8_rows(runner);
    } else if (page == 1252) {
        cp1252_rows(runner);
    } else {
        Row check(runner, "the ANSI code page is one the suite has rows for");
        check.number("GetACP", page, 1252);
    }
}

}  // namespace vh::conformance
