#include "platform/linux/profile/profile_file.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <limits>
#include <new>

#include "platform/win32.h"

namespace vh::profile {

namespace {

constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";
constexpr std::string_view utf16le_bom = "\xFF\xFE";
constexpr std::string_view utf16be_bom = "\xFE\xFF";

// ---- The text of a Unicode file ------------------------------------------------
//
// UTF-16 code units become UTF-8; a surrogate that is not part of a pair
// becomes the three bytes of its own code point, so that the units come
// back exactly as they were.

void append_code_point(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool is_high_surrogate(char16_t unit) noexcept
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(char16_t unit) noexcept
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

std::string text_of_units(std::u16string_view units)
{
    std::string text;
    text.reserve(units.size() + units.size() / 2);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        if (is_high_surrogate(unit) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
            append_code_point(text, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            append_code_point(text, unit);
        }
    }
    return text;
}

// How many bytes a UTF-8 sequence with this first byte has; 0 for a byte
// that cannot start one.
std::size_t sequence_length(unsigned char lead) noexcept
{
    if (lead < 0x80) {
        return 1;
    }
    if (lead < 0xC0) {
        return 0;
    }
    if (lead < 0xE0) {
        return 2;
    }
    if (lead < 0xF0) {
        return 3;
    }
    return lead < 0xF8 ? 4 : 0;
}

// The units back from such a text. Bytes that are no such sequence (never
// made here) become U+FFFD.
std::u16string units_of_text(std::string_view text)
{
    std::u16string units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        const std::size_t length = sequence_length(lead);
        bool whole = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; whole && k < length; ++k) {
            whole = (byte(i + k) & 0xC0) == 0x80;
        }
        if (!whole) {
            units.push_back(0xFFFD);
            ++i;
            continue;
        }
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            c = (c << 6) | (byte(i + k) & 0x3F);
        }
        if (c >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return units;
}

std::u16string units_of_file(std::string_view bytes, bool big_endian)
{
    std::u16string units(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto first = static_cast<unsigned char>(bytes[2 * i]);
        const auto second = static_cast<unsigned char>(bytes[2 * i + 1]);
        units[i] = static_cast<char16_t>(big_endian ? (first << 8) | second : (second << 8) | first);
    }
    return units;
}

void append_file_units(std::string& out, std::u16string_view units, bool big_endian)
{
    for (const char16_t unit : units) {
        const auto high = static_cast<char>(unit >> 8);
        const auto low = static_cast<char>(unit & 0xFF);
        out.push_back(big_endian ? high : low);
        out.push_back(big_endian ? low : high);
    }
}

// True for the bytes that count as blanks around names and values: the
// ASCII white space (tab to carriage return, space) and ^Z, the old end of
// file marker that DOS-era files carry.
bool is_blank(char c) noexcept
{
    return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1A';
}

char ascii_lower(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool has_line_break(std::string_view text) noexcept
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// True when a line (without its blanks) would open a section.
bool opens_section(std::string_view line) noexcept
{
    return !line.empty() && line.front() == '[' && line.find(']') != std::string_view::npos;
}

// A hash of a name that ignores ASCII case, as same_name does, mixed with
// seed (a section's index for the keys in it). The last steps spread the
// high bits into the low ones, which pick the slot.
std::uint64_t name_hash(std::string_view name, std::uint64_t seed = 0) noexcept
{
    std::uint64_t hash = 0xCBF29CE484222325u ^ (seed * 0x9E3779B97F4A7C15u);
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(ascii_lower(c))) * 0x100000001B3u;
    }
    hash ^= hash >> 32;
    hash *= 0xD6E8FEB86659FD93u;
    return hash ^ (hash >> 32);
}

// The size of a table for count names: a power of two at least twice the
// count, so that probing always reaches a free slot, and stays short.
std::size_t table_size(std::size_t count) noexcept
{
    return std::bit_ceil(std::max<std::size_t>(1, 2 * count));
}

}  // namespace

std::string ansi_to_unicode_text(std::string_view ansi)
{
    if (ansi.empty()) {
        return {};
    }
    if (ansi.size() > static_cast<std::size_t>(INT_MAX)) {
        throw std::bad_alloc();
    }
    const int length = static_cast<int>(ansi.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
    std::u16string units(static_cast<std::size_t>(std::max(needed, 0)), u'\0');
    if (needed <= 0 || MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, units.data(), needed) != needed) {
        throw std::bad_alloc();  // only a lack of memory stops the conversion
    }
    return text_of_units(units);
}

std::string unicode_text_to_ansi(std::string_view text)
{
    const std::u16string units = units_of_text(text);
    if (units.empty()) {
        return {};
    }
    if (units.size() > static_cast<std::size_t>(INT_MAX)) {
        throw std::bad_alloc();
    }
    const int length = static_cast<int>(units.size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, units.data(), length, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(std::max(needed, 0)), '\0');
    if (needed <= 0 || WideCharToMultiByte(CP_ACP, 0, units.data(), length, ansi.data(), needed, nullptr,
                                           nullptr) != needed) {
        throw std::bad_alloc();
    }
    return ansi;
}

bool same_name(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ascii_lower(x) == ascii_lower(y);
           });
}

std::string_view trim_blanks(std::string_view text) noexcept
{
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view unquote(std::string_view value) noexcept
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

bool is_writable_section(std::string_view section) noexcept
{
    return !has_line_break(section);
}

bool is_writable_entry(std::string_view key, std::string_view value) noexcept
{
    if (has_line_break(key) || has_line_break(value) || key.find('=') != std::string_view::npos) {
        return false;
    }
    // "[a=b]" would open a section named "a=b".
    const std::string_view trimmed_key = trim_blanks(key);
    return trimmed_key.empty() || trimmed_key.front() != '[' ||
           (trimmed_key.find(']') == std::string_view::npos && value.find(']') == std::string_view::npos);
}

ProfileText::ProfileText(std::string file_bytes, Lookup lookup)
{
    const std::string_view start(file_bytes);
    if (start.starts_with(utf16le_bom) || start.starts_with(utf16be_bom)) {
        m_encoding = start.starts_with(utf16le_bom) ? Encoding::utf16le : Encoding::utf16be;
        m_bytes = text_of_units(units_of_file(start.substr(2), m_encoding == Encoding::utf16be));
        m_file = std::move(file_bytes);
    } else {
        m_bytes = std::move(file_bytes);
    }
    // Counting the lines first spares a large file the copies of a growing
    // vector, which cost more than the parse itself. An LF, or a CR not
    // followed by one, ends a line: the larger of the two counts is exact for
    // files of one kind of line end (CR LF, LF or CR), and both come from one
    // pass with no branch, as cheap as counting one of them.
    std::size_t line_feeds = 0;
    std::size_t returns = 0;
    for (const char c : m_bytes) {
        line_feeds += c == '\n' ? 1 : 0;
        returns += c == '\r' ? 1 : 0;
    }
    m_lines.reserve(std::max(line_feeds, returns) + 1);
    std::size_t begin = std::string_view(m_bytes).starts_with(utf8_bom) ? utf8_bom.size() : 0;
    // The next LF is looked for again only once a line has passed it: in a
    // file whose lines end with a CR alone, it may be far away or absent.
    std::size_t newline = 0;
    bool newline_known = false;
    while (begin < m_bytes.size()) {
        if (!newline_known || (newline != std::string::npos && newline < begin)) {
            newline = m_bytes.find('\n', begin);
            newline_known = true;
        }
        std::size_t end = newline == std::string::npos ? m_bytes.size() : newline;
        std::size_t next = newline == std::string::npos ? m_bytes.size() : newline + 1;
        // A CR ends the line too: with the LF after it, or alone.
        if (const void* cr = std::memchr(m_bytes.data() + begin, '\r', end - begin); cr != nullptr) {
            const auto at = static_cast<std::size_t>(static_cast<const char*>(cr) - m_bytes.data());
            if (at + 1 != end || newline == std::string::npos) {
                next = at + 1;
            }
            end = at;
        }
        parse_line(begin, end, next);
        begin = next;
    }
    if (!m_sections.empty()) {
        m_sections.back().end = m_lines.size();
    }
    if (lookup == Lookup::indexed) {
        build_index();
    }
}

std::size_t ProfileText::footprint() const noexcept
{
    return sizeof(*this) + m_file.capacity() + m_bytes.capacity() + m_lines.capacity() * sizeof(Line) +
           m_sections.capacity() * sizeof(Section) +
           (m_section_slots.capacity() + m_entry_slots.capacity()) * sizeof(std::uint32_t);
}

// Fills the tables. A name goes in only when no earlier one matches it, so
// that a lookup lands on what a scan from the top would find first.
void ProfileText::build_index()
{
    if (m_lines.size() >= std::numeric_limits<std::uint32_t>::max()) {
        return;  // beyond what a slot can hold: reads scan
    }
    m_section_slots.assign(table_size(m_sections.size()), 0);
    const std::size_t section_mask = m_section_slots.size() - 1;
    std::vector<bool> first_of_name(m_sections.size(), false);
    std::size_t entries = 0;
    for (std::size_t index = 0; index < m_sections.size(); ++index) {
        const std::string_view name = text(m_sections[index].name);
        std::size_t slot = name_hash(name) & section_mask;
        while (m_section_slots[slot] != 0 &&
               !same_name(text(m_sections[m_section_slots[slot] - 1].name), name)) {
            slot = (slot + 1) & section_mask;
        }
        if (m_section_slots[slot] == 0) {
            m_section_slots[slot] = static_cast<std::uint32_t>(index + 1);
            first_of_name[index] = true;
            entries += m_sections[index].end - m_sections[index].header - 1;
        }
    }
    m_entry_slots.assign(table_size(entries), 0);
    const std::size_t entry_mask = m_entry_slots.size() - 1;
    for (std::size_t index = 0; index < m_sections.size(); ++index) {
        if (!first_of_name[index]) {
            continue;  // never read: reads see the first section of a name
        }
        const Section& section = m_sections[index];
        for (std::size_t i = section.header + 1; i < section.end; ++i) {
            const Line& line = m_lines[i];
            if (line.kind != Kind::entry) {
                continue;
            }
            const std::string_view key = text(line.name);
            std::size_t slot = name_hash(key, index) & entry_mask;
            for (;; slot = (slot + 1) & entry_mask) {
                const std::uint32_t held = m_entry_slots[slot];
                if (held == 0) {
                    m_entry_slots[slot] = static_cast<std::uint32_t>(i + 1);
                    break;
                }
                // Lines of one section are a run, so "in this section" is a
                // range check.
                if (held - 1 > section.header && held - 1 < section.end &&
                    same_name(text(m_lines[held - 1].name), key)) {
                    break;  // an earlier entry of that key
                }
            }
        }
    }
}

// Classifies one line and, for a header, closes the previous section and
// opens the next.
void ProfileText::parse_line(std::size_t begin, std::size_t end, std::size_t next)
{
    Line line;
    line.begin = begin;
    line.end = end;
    line.next = next;
    const std::string_view content = trim_blanks(std::string_view(m_bytes).substr(begin, end - begin));
    if (opens_section(content)) {
        line.kind = Kind::section;
        line.name = span_of(trim_blanks(content.substr(1, content.rfind(']') - 1)));
        if (!m_sections.empty()) {
            m_sections.back().end = m_lines.size();
        }
        m_sections.push_back({line.name, m_lines.size(), m_lines.size() + 1});
    } else if (const std::size_t equals = content.find('='); equals != std::string_view::npos) {
        line.kind = Kind::entry;
        line.name = span_of(trim_blanks(content.substr(0, equals)));
        line.value = span_of(trim_blanks(content.substr(equals + 1)));
        line.equals = span_of(content).pos + equals;
    }
    m_lines.push_back(line);
}

ProfileText::Span ProfileText::span_of(std::string_view part) const noexcept
{
    return {static_cast<std::size_t>(part.data() - m_bytes.data()), part.size()};
}

const ProfileText::Section* ProfileText::first_section(std::string_view name) const
{
    const std::string_view wanted = trim_blanks(name);
    if (!m_section_slots.empty()) {
        const std::size_t mask = m_section_slots.size() - 1;
        for (std::size_t slot = name_hash(wanted) & mask;; slot = (slot + 1) & mask) {
            const std::uint32_t held = m_section_slots[slot];
            if (held == 0) {
                return nullptr;
            }
            if (same_name(text(m_sections[held - 1].name), wanted)) {
                return &m_sections[held - 1];
            }
        }
    }
    for (const Section& section : m_sections) {
        if (same_name(text(section.name), wanted)) {
            return &section;
        }
    }
    return nullptr;
}

bool ProfileText::is_listed_key(const Line& line) const
{
    const std::string_view key = text(line.name);
    return line.kind == Kind::entry && !key.empty() && key.front() != ';';
}

// The line break that new lines get: the file's first one, else CR LF.
std::string_view ProfileText::line_break() const noexcept
{
    const std::size_t first = m_bytes.find_first_of("\r\n");
    if (first == std::string::npos || m_bytes.compare(first, 2, "\r\n") == 0) {
        return "\r\n";
    }
    return m_bytes[first] == '\r' ? "\r" : "\n";
}

// The first entry of that key (trimmed) in a section: from the table of an
// indexed text, else by going through the section's lines.
const ProfileText::Line* ProfileText::first_entry(const Section& section, std::string_view key) const
{
    if (!m_entry_slots.empty()) {
        const std::size_t index = static_cast<std::size_t>(&section - m_sections.data());
        const std::size_t mask = m_entry_slots.size() - 1;
        for (std::size_t slot = name_hash(key, index) & mask;; slot = (slot + 1) & mask) {
            const std::uint32_t held = m_entry_slots[slot];
            if (held == 0) {
                return nullptr;
            }
            const Line& line = m_lines[held - 1];
            if (held - 1 > section.header && held - 1 < section.end && same_name(text(line.name), key)) {
                return &line;
            }
        }
    }
    for (std::size_t i = section.header + 1; i < section.end; ++i) {
        const Line& line = m_lines[i];
        if (line.kind == Kind::entry && same_name(text(line.name), key)) {
            return &line;
        }
    }
    return nullptr;
}

std::optional<std::string_view> ProfileText::find_value(std::string_view section, std::string_view key) const
{
    const Section* found = first_section(section);
    if (found == nullptr) {
        return std::nullopt;
    }
    if (const Line* line = first_entry(*found, trim_blanks(key))) {
        return text(line->value);
    }
    return std::nullopt;
}

bool ProfileText::has_section(std::string_view section) const
{
    return first_section(section) != nullptr;
}

std::vector<std::string_view> ProfileText::section_names() const
{
    std::vector<std::string_view> names;
    for (const Section& section : m_sections) {
        if (section.name.size != 0) {
            names.push_back(text(section.name));
        }
    }
    return names;
}

std::vector<std::string_view> ProfileText::key_names(std::string_view section) const
{
    std::vector<std::string_view> names;
    if (const Section* found = first_section(section)) {
        for (std::size_t i = found->header + 1; i < found->end; ++i) {
            if (is_listed_key(m_lines[i])) {
                names.push_back(text(m_lines[i].name));
            }
        }
    }
    return names;
}

std::optional<std::string> ProfileText::with_value(std::string_view section, std::string_view key,
                                                   std::string_view value) const
{
    const std::string_view key_name = trim_blanks(key);
    std::string new_line = std::string(key_name) + "=" + std::string(value);
    const Section* found = first_section(section);
    if (found == nullptr) {
        return encoded(appended_section(trim_blanks(section), new_line));
    }
    std::size_t last_key = found->header;
    for (std::size_t i = found->header + 1; i < found->end; ++i) {
        const Line& line = m_lines[i];
        if (line.kind == Kind::entry && same_name(text(line.name), key_name)) {
            std::string updated = replaced_value(line, value);
            return updated == m_bytes ? std::nullopt
                                      : std::optional<std::string>(encoded(std::move(updated)));
        }
        if (is_listed_key(line)) {
            last_key = i;
        }
    }
    return encoded(inserted_after(m_lines[last_key], new_line));
}

std::optional<std::string> ProfileText::without_key(std::string_view section, std::string_view key) const
{
    const Section* found = first_section(section);
    const Line* line = found == nullptr ? nullptr : first_entry(*found, trim_blanks(key));
    if (line == nullptr) {
        return std::nullopt;
    }
    return without({line->begin, line->next});
}

std::optional<std::string> ProfileText::without_section(std::string_view section) const
{
    const Section* found = first_section(section);
    if (found == nullptr) {
        return std::nullopt;
    }
    const std::size_t end = found->end < m_lines.size() ? m_lines[found->end].begin : m_bytes.size();
    return without({m_lines[found->header].begin, end});
}

// The bytes with the line's value replaced; the line keeps its indentation,
// the spelling of its key, the blanks around its "=" and its line break.
std::string ProfileText::replaced_value(const Line& line, std::string_view value) const
{
    const std::size_t value_begin = line.value.size != 0 ? line.value.pos : line.equals + 1;
    std::string out;
    out.reserve(m_bytes.size() + value.size());
    out.append(m_bytes, 0, value_begin);
    out.append(value);
    out.append(m_bytes, line.end);
    return out;
}

// The bytes with new_line placed right after the given line. A last line
// without a line break gets one first.
std::string ProfileText::inserted_after(const Line& line, std::string_view new_line) const
{
    const std::string_view lf = line_break();
    std::string out;
    out.reserve(m_bytes.size() + new_line.size() + 2 * lf.size());
    out.append(m_bytes, 0, line.next);
    if (line.next == line.end) {
        out.append(lf);
    }
    out.append(new_line);
    out.append(lf);
    out.append(m_bytes, line.next);
    return out;
}

// The bytes with a new section holding new_line at the end of the file.
std::string ProfileText::appended_section(std::string_view section, std::string_view new_line) const
{
    const std::string_view lf = line_break();
    std::string out;
    out.reserve(m_bytes.size() + section.size() + new_line.size() + 2 + 3 * lf.size());
    out.append(m_bytes);
    if (!m_lines.empty() && m_lines.back().next == m_lines.back().end) {
        out.append(lf);
    }
    out.append("[").append(section).append("]").append(lf);
    out.append(new_line).append(lf);
    return out;
}

// The file's bytes without the given run of the text.
std::optional<std::string> ProfileText::without(Cut cut) const
{
    std::string out;
    out.reserve(m_bytes.size() - (cut.end - cut.begin));
    out.append(m_bytes, 0, cut.begin);
    out.append(m_bytes, cut.end);
    return encoded(std::move(out));
}

// A new text as the file's bytes: itself for an ANSI file; for a Unicode
// file its UTF-16 after the byte-order mark, and the odd last byte the file
// had.
std::string ProfileText::encoded(std::string text) const
{
    if (m_encoding == Encoding::ansi) {
        return text;
    }
    const bool big_endian = m_encoding == Encoding::utf16be;
    const std::u16string units = units_of_text(text);
    std::string out(big_endian ? utf16be_bom : utf16le_bom);
    out.reserve(2 + 2 * units.size() + 1);
    append_file_units(out, units, big_endian);
    if (m_file.size() % 2 != 0) {
        out.push_back(m_file.back());
    }
    return out;
}

}  // namespace vh::profile
