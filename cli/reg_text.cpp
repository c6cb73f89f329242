// The .reg text codec (the format is described in reg_text.h).
//
// Writing gives each value the one form that reads back as the same type
// and bytes. Reading turns the whole text into sections (a key to create or
// remove and the value changes under it) and stops at the first malformed
// line. The parser reads line by line; the one construct that spans lines is
// a hex list continued with a trailing "\".
//
// Names and strings cross two encodings: the file's (UTF-8, or the ANSI code
// page for REGEDIT4 files) and the ANSI code page the registry functions take.
// Every crossing is checked to give back the same characters, so that a name
// or string is never silently altered on its way.
#include "cli/reg_text.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <utility>

namespace vh {

const RootKey root_keys[4] = {
    {0x80000000u, "HKCR", "HKEY_CLASSES_ROOT"},
    {0x80000001u, "HKCU", "HKEY_CURRENT_USER"},
    {0x80000002u, "HKLM", "HKEY_LOCAL_MACHINE"},
    {0x80000003u, "HKU", "HKEY_USERS"},
};

namespace {

constexpr char header_v5[] = "Windows Registry Editor Version 5.00";
constexpr char header_v4[] = "REGEDIT4";
constexpr char line_end[] = "\r\n";
constexpr std::size_t hex_line_limit = 80;    // columns of a wrapped hex line, its "\" included
constexpr std::size_t max_key_depth = 512;    // levels below a root, as on the platform
constexpr DWORD mb_err_invalid_chars = 0x08;  // MB_ERR_INVALID_CHARS

using WideText = std::basic_string<WCHAR>;

// ASCII letters compare without regard to case, every other byte exactly.
bool equals_ignoring_case(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// The predefined key a full root name stands for (any case); nullptr when none does.
HKEY root_named(std::string_view name)
{
    for (const RootKey& root : root_keys) {
        if (equals_ignoring_case(name, root.name)) {
            return root.handle();
        }
    }
    return nullptr;
}

// ---- Text encodings -------------------------------------------------------------------

// Bytes of `code_page` as UTF-16; nullopt when they are not valid text there.
std::optional<WideText> decode(UINT code_page, std::string_view bytes)
{
    if (bytes.empty()) {
        return WideText();
    }
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    const int length = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(code_page, mb_err_invalid_chars, bytes.data(), length, nullptr, 0);
    if (needed <= 0) {
        return std::nullopt;
    }
    WideText wide(static_cast<std::size_t>(needed), 0);
    if (MultiByteToWideChar(code_page, mb_err_invalid_chars, bytes.data(), length, wide.data(), needed) !=
        needed) {
        return std::nullopt;
    }
    return wide;
}

// UTF-16 text as bytes of `code_page` (characters it lacks become its default
// character); nullopt when the conversion fails.
std::optional<std::string> encode(UINT code_page, const WideText& wide)
{
    if (wide.empty()) {
        return std::string();
    }
    if (wide.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    const int length = static_cast<int>(wide.size());
    const int needed = WideCharToMultiByte(code_page, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(code_page, 0, wide.data(), length, bytes.data(), needed, nullptr, nullptr) !=
        needed) {
        return std::nullopt;
    }
    return bytes;
}

// Text of code page `from` in code page `to`; nullopt when it is not valid
// text in `from` or holds a character `to` lacks.
std::optional<std::string> recode(UINT from, UINT to, std::string_view bytes)
{
    const std::optional<WideText> wide = decode(from, bytes);
    if (!wide) {
        return std::nullopt;
    }
    std::optional<std::string> converted = encode(to, *wide);
    if (!converted || decode(to, *converted) != wide) {
        return std::nullopt;
    }
    return converted;
}

// A malformed file: the line and what is wrong with it.
RegFileError malformed(std::size_t line, const std::string& what)
{
    return RegFileError("line " + std::to_string(line) + ": " + what, line, ERROR_SUCCESS);
}

// UTF-16LE bytes (after their byte-order mark) as UTF-8; half a character at
// the end or a lone surrogate is an error naming its line.
std::string utf16le_to_utf8(std::string_view bytes)
{
    WideText wide;
    wide.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        wide.push_back(static_cast<WCHAR>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    const auto high = [](WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; };
    const auto low = [](WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; };
    std::size_t line = 1;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        if (wide[i] == 0x0A) {
            ++line;
        } else if (high(wide[i]) && i + 1 < wide.size() && low(wide[i + 1])) {
            ++i;
        } else if (high(wide[i]) || low(wide[i])) {
            throw malformed(line, "a lone UTF-16 surrogate");
        }
    }
    if (bytes.size() % 2 != 0) {
        throw malformed(line, "the UTF-16 text ends in half a character");
    }
    return encode(CP_UTF8, wide).value_or(std::string());
}

// The file's text without its byte-order mark, UTF-16LE turned into UTF-8;
// `marked` tells whether a mark fixed the encoding as Unicode.
std::string strip_byte_order_mark(const std::string& bytes, bool& marked)
{
    marked = true;
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) {
        return bytes.substr(3);
    }
    if (bytes.rfind("\xFF\xFE", 0) == 0) {
        return utf16le_to_utf8(std::string_view(bytes).substr(2));
    }
    marked = false;
    return bytes;
}

// ---- Writing .reg text ------------------------------------------------------------------

// A name from the service as UTF-8 for the file; throws when it cannot stand
// on one line of .reg text.
std::string file_text(const std::string& ansi, const std::string& where)
{
    std::optional<std::string> utf8 = recode(CP_ACP, CP_UTF8, ansi);
    if (!utf8 || utf8->find_first_of("\r\n") != std::string::npos) {
        throw RegFileError("cannot write " + where + " as .reg text: its name holds a line break", 0,
                           ERROR_INVALID_NAME);
    }
    return std::move(*utf8);
}

// `text` between quotes, with "\" and the quote escaped.
std::string quoted(std::string_view text)
{
    std::string result = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            result += '\\';
        }
        result += c;
    }
    return result + "\"";
}

// The UTF-8 text of REG_SZ data that reads back as exactly these bytes when
// written as "text": valid text on one line, ending in its only zero byte.
std::optional<std::string> plain_text(const std::string& data)
{
    if (data.empty() || data.back() != '\0') {
        return std::nullopt;
    }
    const std::string_view text(data.data(), data.size() - 1);
    if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
        return std::nullopt;
    }
    return recode(CP_ACP, CP_UTF8, text);
}

// Appends `start` and the bytes as comma-separated hex pairs, then the line
// end. A line that would pass 80 columns ends after a comma with "\" and goes
// on in the next line indented by two spaces, as the platform's editor wraps.
void append_hex(std::string& out, std::string start, std::string_view bytes)
{
    std::string line = std::move(start);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (line.size() + 4 > hex_line_limit) {  // no room for "xx," and the "\"
            out += line + "\\" + line_end;
            line = "  ";
        }
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(bytes[i]));
        line += pair;
        if (i + 1 < bytes.size()) {
            line += ',';
        }
    }
    out += line + line_end;
}

// Appends one value of the key `key_path_text` as its line (or wrapped lines).
void append_value(std::string& out, const RegValue& value, const std::string& key_path_text)
{
    std::string line =
        value.name.empty() ? "@=" : quoted(file_text(value.name, "a value of " + key_path_text)) + "=";
    if (value.type == REG_SZ) {
        if (const std::optional<std::string> text = plain_text(value.data)) {
            out += line + quoted(*text) + line_end;
            return;
        }
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        std::uint32_t number = 0;
        for (std::size_t i = 4; i-- > 0;) {
            number = (number << 8) | static_cast<unsigned char>(value.data[i]);
        }
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
        out += line + "dword:" + digits + line_end;
        return;
    }
    if (value.type == REG_BINARY) {
        line += "hex:";
    } else {
        char type[9];
        std::snprintf(type, sizeof type, "%x", static_cast<unsigned>(value.type));
        line += std::string("hex(") + type + "):";
    }
    append_hex(out, std::move(line), value.data);
}

// ---- Parsing .reg text --------------------------------------------------------------------

struct Line {
    std::size_t number = 0;  // from 1
    std::string_view text;   // without its LF or CRLF
};

// `text` without spaces and tabs at either end.
std::string_view trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equals_ignoring_case(text.substr(0, prefix.size()), prefix);
}

// Reads 1 to `max_digits` hex digits and nothing else into `value`; false
// when `digits` is anything else.
bool parse_hex_number(std::string_view digits, std::size_t max_digits, DWORD& value)
{
    if (digits.empty() || digits.size() > max_digits) {
        return false;
    }
    value = 0;
    for (const char c : digits) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<DWORD>(digit);
    }
    return true;
}

// The text between the quotes `rest` starts with, \\ and \" undone; `rest`
// moves past the closing quote.
std::string parse_quoted(std::string_view& rest, const Line& line)
{
    std::string text;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        char c = rest[i];
        if (c == '"') {
            rest.remove_prefix(i + 1);
            return text;
        }
        if (c == '\\' && i + 1 < rest.size()) {
            c = rest[++i];
            if (c != '\\' && c != '"') {
                throw malformed(line.number, std::string("unknown escape \\") + c +
                                                 " in a string (only \\\\ and \\\" are known)");
            }
        }
        text += c;
    }
    throw malformed(line.number, "unterminated string");
}

// Only blanks or a ";" comment may follow a value's data.
void expect_end(std::string_view rest, const Line& line)
{
    rest = trim(rest);
    if (!rest.empty() && rest.front() != ';') {
        throw malformed(line.number, "unexpected text after the data: " + std::string(rest));
    }
}

// Turns the whole text of a .reg file into its sections, or throws for the
// first malformed line.
class Parser {
public:
    // `marked`: a byte-order mark showed the text to be Unicode (now UTF-8).
    Parser(std::string_view text, bool marked) : m_rest(text), m_marked(marked) {}

    std::vector<RegSection> parse()
    {
        read_header();
        std::vector<RegSection> sections;
        Line line;
        while (next_line(line)) {
            const std::string_view text = trim(line.text);
            if (text.empty() || text.front() == ';') {
                continue;
            }
            if (text.front() == '[') {
                sections.push_back(parse_key(line));
            } else if (sections.empty()) {
                throw malformed(line.number, "a value before any [key] line");
            } else if (sections.back().remove) {
                throw malformed(line.number, "a value under a key being removed ([-...])");
            } else {
                sections.back().values.push_back(parse_value(line));
            }
        }
        return sections;
    }

private:
    // The next line into `line`; false at the end of the text.
    bool next_line(Line& line)
    {
        if (m_finished) {
            return false;
        }
        const std::size_t end = m_rest.find('\n');
        std::string_view text = m_rest.substr(0, end);
        if (end == std::string_view::npos) {
            m_finished = true;
        } else {
            m_rest.remove_prefix(end + 1);
        }
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        line = Line{++m_line_number, text};
        if (text.find('\0') != std::string_view::npos) {
            throw malformed(line.number, "a zero byte in the line");
        }
        return true;
    }

    // The first line names the format, and with it the encoding of the text.
    void read_header()
    {
        Line line;
        const bool present = next_line(line);
        const std::string_view text = trim(line.text);
        if (present && text == header_v5) {
            m_code_page = CP_UTF8;
        } else if (present && text == header_v4) {
            m_code_page = m_marked ? CP_UTF8 : CP_ACP;
        } else {
            throw malformed(1, std::string("not a .reg file: the first line must be \"") + header_v5 +
                                   "\" or \"" + header_v4 + "\"");
        }
    }

    // [ROOT\path] or [-ROOT\path].
    RegSection parse_key(const Line& line)
    {
        std::string_view text = trim(line.text);
        if (text.size() < 2 || text.back() != ']') {
            throw malformed(line.number, "a key line must end with \"]\"");
        }
        text = text.substr(1, text.size() - 2);
        RegSection section;
        section.line = line.number;
        if (!text.empty() && text.front() == '-') {
            section.remove = true;
            text.remove_prefix(1);
        }
        section.key_text = std::string(text);
        const std::size_t separator = std::min(text.find('\\'), text.size());
        section.root = root_named(text.substr(0, separator));
        if (section.root == nullptr) {
            throw malformed(line.number,
                            "unknown root key \"" + std::string(text.substr(0, separator)) + "\"");
        }
        if (separator < text.size()) {
            const std::string_view path = text.substr(separator + 1);
            if (path.empty() || path.front() == '\\' || path.back() == '\\' ||
                path.find("\\\\") != path.npos) {
                throw malformed(line.number, "an empty key name in \"" + section.key_text + "\"");
            }
            if (const std::size_t levels = std::count(path.begin(), path.end(), '\\') + 1;
                levels > max_key_depth) {
                throw malformed(line.number, "the key is " + std::to_string(levels) +
                                                 " levels deep; the registry holds at most " +
                                                 std::to_string(max_key_depth));
            }
            section.path = to_ansi_name(path, line, "the key path");
        }
        if (section.remove && section.path.empty()) {
            throw malformed(line.number, "a root key cannot be removed");
        }
        return section;
    }

    // "name"=data, @=data, "name"=- or @=-; `line` moves on over continued hex lines.
    RegValueChange parse_value(Line& line)
    {
        std::string_view rest = trim(line.text);
        RegValueChange change;
        change.line = line.number;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else if (rest.front() == '"') {
            change.name = to_ansi_name(parse_quoted(rest, line), line, "the value name");
        } else {
            throw malformed(line.number, "expected [key], \"name\"=data or @=data");
        }
        rest = trim(rest);
        if (rest.empty() || rest.front() != '=') {
            throw malformed(line.number, "expected \"=\" after the value name");
        }
        rest = trim(rest.substr(1));
        if (!rest.empty() && rest.front() == '-') {
            change.remove = true;
            expect_end(rest.substr(1), line);
        } else {
            parse_data(rest, line, change);
        }
        return change;
    }

    // "text", dword:N, hex:list or hex(type):list into the change's type and bytes.
    void parse_data(std::string_view rest, Line& line, RegValueChange& change)
    {
        if (!rest.empty() && rest.front() == '"') {
            const std::string text = parse_quoted(rest, line);
            expect_end(rest, line);
            change.type = REG_SZ;
            change.data = to_ansi(text, line, "the string") + '\0';
            return;
        }
        if (starts_with_ignoring_case(rest, "dword:")) {
            rest.remove_prefix(6);
            const std::size_t end = std::min(rest.find_first_not_of("0123456789abcdefABCDEF"), rest.size());
            DWORD number = 0;
            if (!parse_hex_number(rest.substr(0, end), 8, number)) {
                throw malformed(line.number, "dword: needs 1 to 8 hex digits");
            }
            expect_end(rest.substr(end), line);
            change.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) {
                change.data += static_cast<char>((number >> (8 * i)) & 0xFF);
            }
            return;
        }
        if (starts_with_ignoring_case(rest, "hex:")) {
            change.type = REG_BINARY;
            rest.remove_prefix(4);
        } else if (starts_with_ignoring_case(rest, "hex(")) {
            rest.remove_prefix(4);
            const std::size_t close = rest.find("):");
            if (close == std::string_view::npos || !parse_hex_number(rest.substr(0, close), 8, change.type)) {
                throw malformed(line.number, "hex(type): needs a type of 1 to 8 hex digits and \"):\"");
            }
            rest.remove_prefix(close + 2);
        } else {
            throw malformed(line.number, "unknown data (expected \"text\", dword:, hex: or hex(type):)");
        }
        change.data = parse_hex_list(rest, line);
    }

    // The bytes of a comma-separated hex list that goes on in the next line
    // while a line ends with "\"; `line` moves to the list's last line.
    std::string parse_hex_list(std::string_view list, Line& line)
    {
        std::string bytes;
        for (;;) {
            list = trim(list.substr(0, list.find(';')));  // a comment ends the line
            const bool continued = !list.empty() && list.back() == '\\';
            if (continued) {
                list.remove_suffix(1);
            }
            while (!(list = trim(list)).empty()) {
                const std::size_t comma = std::min(list.find(','), list.size());
                const std::string_view digits = trim(list.substr(0, comma));
                DWORD byte = 0;
                if (!parse_hex_number(digits, 2, byte)) {
                    throw malformed(line.number, "bad hex byte \"" + std::string(digits) + "\"");
                }
                bytes += static_cast<char>(byte);
                list.remove_prefix(std::min(comma + 1, list.size()));
            }
            if (!continued) {
                return bytes;
            }
            if (!next_line(line) || trim(line.text).empty()) {
                throw malformed(line.number, "a hex list continued with \"\\\" has no next line");
            }
            list = line.text;
        }
    }

    // Text of the file in the ANSI code page the registry functions take;
    // throws when it is not valid text or has a character that code page lacks.
    std::string to_ansi(std::string_view text, const Line& line, const char* what) const
    {
        std::optional<std::string> converted = recode(m_code_page, CP_ACP, text);
        if (!converted) {
            throw malformed(
                line.number,
                std::string(what) + " is not valid text or has a character the ANSI code page lacks");
        }
        return std::move(*converted);
    }

    // A name as to_ansi gives it; a carriage return in it is refused, since
    // no .reg file could hold the name again (export refuses it too).
    std::string to_ansi_name(std::string_view text, const Line& line, const char* what) const
    {
        if (text.find('\r') != std::string_view::npos) {
            throw malformed(line.number, std::string(what) + " holds a carriage return");
        }
        return to_ansi(text, line, what);
    }

    std::string_view m_rest;  // the text after the lines read so far
    bool m_finished = false;
    std::size_t m_line_number = 0;
    bool m_marked;
    UINT m_code_page = CP_UTF8;  // of the names and strings in the text
};

}  // namespace

const char* root_name(HKEY key)
{
    for (const RootKey& root : root_keys) {
        if (root.handle() == key) {
            return root.name;
        }
    }
    return nullptr;
}

std::string key_text(HKEY root, const std::string& path)
{
    return path.empty() ? root_name(root) : std::string(root_name(root)) + "\\" + path;
}

std::string reg_text_header()
{
    return std::string(header_v5) + line_end + line_end;
}

void append_reg_section(std::string& out, HKEY root, const std::string& path,
                        const std::vector<RegValue>& values)
{
    const std::string text = key_text(root, path);
    out += "[" + file_text(text, "the key " + text) + "]" + line_end;
    for (const RegValue& value : values) {
        append_value(out, value, text);
    }
    out += line_end;
}

std::vector<RegSection> parse_reg_text(const std::string& bytes)
{
    bool marked = false;
    const std::string unmarked = strip_byte_order_mark(bytes, marked);
    return Parser(unmarked, marked).parse();
}

}  // namespace vh
