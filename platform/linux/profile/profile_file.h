// The text of one profile (INI) file: parsed once, then queried or edited.
//
// A profile file is a sequence of lines, each ended by "\r\n", "\n" or a
// "\r" alone, as the platform reads them (the last one perhaps by the end
// of the file). Blanks (spaces, tabs and the
// other ASCII white-space bytes) around a line, a name or a value mean
// nothing. Within that:
//  - a line starting with "[" that holds a "]" opens a section, named by the
//    text between the "[" and the last "]";
//  - a line holding "=" inside a section is an entry: the key is the text
//    before the first "=", the value the text after it;
//  - an entry whose key starts with ";" is a comment: it is kept and can be
//    read by its whole key, but it is never listed;
//  - every other line (blank, without "=", before the first section) is
//    kept and means nothing.
// Names match without regard to ASCII case. When a name occurs twice, reads
// see the first: the first section of that name, the first entry of that
// key in it; and so do removals, as on the platform, which documents that
// only the first is removed (a caller that wants every copy gone removes
// until a read gives the default). A UTF-8 byte-order mark at the start of
// the file belongs to no line.
//
// A file that starts with a UTF-16 byte-order mark (FF FE, or FE FF for the
// big-endian order) is a Unicode file, which the platform reads and writes
// as UTF-16. Its text is kept as UTF-8 (a lone surrogate as the three bytes
// of its code point, so that nothing is lost), names and values given in
// the ANSI code page are converted to that text and answers back from it,
// and every version written is UTF-16 in the file's byte order, with its
// byte-order mark. A last odd byte stays the file's last byte.
//
// Otherwise the text is the file's bytes; nothing assumes a character
// encoding. An edit splices whole lines into or out of the text, so a
// rewritten file differs only in the lines the edit concerns: comments,
// blank lines, unknown lines, line breaks and the byte-order mark stay byte
// for byte.
//
// A ProfileText never changes after it is built, so a parsed file can be
// kept and shared (a cache keyed by the file's identity needs nothing more).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vh::profile {

// True when the two names are equal apart from the case of ASCII letters.
bool same_name(std::string_view a, std::string_view b) noexcept;

// The text without the blanks before and after it.
std::string_view trim_blanks(std::string_view text) noexcept;

// A value as a read returns it: one pair of matching quotes (" or ')
// around it removed.
std::string_view unquote(std::string_view value) noexcept;

// True when the header of a section of that name reads back as that name.
bool is_writable_section(std::string_view section) noexcept;

// True when the line "key=value" reads back as an entry with that key and
// value: no line break in either, no "=" in the key, and not a line that
// would open a section.
bool is_writable_entry(std::string_view key, std::string_view value) noexcept;

// Text in the ANSI code page as a Unicode file's text holds it, and back
// (see the top of the file); throw std::bad_alloc.
std::string ansi_to_unicode_text(std::string_view ansi);
std::string unicode_text_to_ansi(std::string_view text);

class ProfileText {
public:
    // How the file holds its text.
    enum class Encoding { ansi, utf16le, utf16be };

    // How reads find a section or an entry: by going through the lines,
    // which costs nothing to set up and suits a text parsed for one edit;
    // or through hash tables of the names, built with the text, which suits
    // a text kept for many reads. Both find the same section and entry.
    enum class Lookup { scan, indexed };

    ProfileText() = default;
    explicit ProfileText(std::string file_bytes, Lookup lookup = Lookup::scan);

    // The file's bytes, as they were read.
    const std::string& file_bytes() const noexcept { return m_encoding == Encoding::ansi ? m_bytes : m_file; }
    Encoding encoding() const noexcept { return m_encoding; }
    // True for a UTF-16 file: names, keys and values of requests are given
    // to it through ansi_to_unicode_text and come back through
    // unicode_text_to_ansi.
    bool is_unicode() const noexcept { return m_encoding != Encoding::ansi; }
    // About the memory the text holds, for the budget of a cache.
    std::size_t footprint() const noexcept;

    // The raw value (quotes still on) of the entry that a read of
    // section/key finds, or nothing.
    std::optional<std::string_view> find_value(std::string_view section, std::string_view key) const;
    // True when the file has a section of that name.
    bool has_section(std::string_view section) const;
    // The names of all sections in file order, duplicates included; a
    // section with an empty name is left out (it would end a list early).
    std::vector<std::string_view> section_names() const;
    // The keys of the first section of that name in file order, duplicates
    // included; comments and empty keys are left out.
    std::vector<std::string_view> key_names(std::string_view section) const;

    // Edits. Each returns the file's new bytes (in the file's encoding), or
    // nothing when the file would not change.
    //
    // with_value replaces the value of the entry a read finds, keeping the
    // line up to its value. A new entry goes after the last key of the first
    // section of that name (after its header when it has none); a new
    // section goes at the end of the file.
    std::optional<std::string> with_value(std::string_view section, std::string_view key,
                                          std::string_view value) const;
    // Removes the entry of that key that a read finds.
    std::optional<std::string> without_key(std::string_view section, std::string_view key) const;
    // Removes the first section of that name: its header and all its lines.
    std::optional<std::string> without_section(std::string_view section) const;

private:
    struct Span {
        std::size_t pos = 0;
        std::size_t size = 0;
    };
    enum class Kind { other, section, entry };
    struct Line {
        std::size_t begin = 0;  // first byte
        std::size_t end = 0;    // past the text, before the line break
        std::size_t next = 0;   // past the line break: the next line's begin
        Kind kind = Kind::other;
        Span name;               // a section's name or an entry's key
        Span value;              // an entry's value
        std::size_t equals = 0;  // an entry's "="
    };
    struct Section {
        Span name;
        std::size_t header = 0;  // index of the header line
        std::size_t end = 0;     // index past its last line
    };
    // A run of bytes [begin, end) that an edit removes.
    struct Cut {
        std::size_t begin;
        std::size_t end;
    };

    void parse_line(std::size_t begin, std::size_t end, std::size_t next);
    void build_index();
    const Line* first_entry(const Section& section, std::string_view key) const;
    std::string_view text(Span span) const noexcept { return {m_bytes.data() + span.pos, span.size}; }
    Span span_of(std::string_view part) const noexcept;
    const Section* first_section(std::string_view name) const;
    bool is_listed_key(const Line& line) const;
    std::string_view line_break() const noexcept;
    std::string replaced_value(const Line& line, std::string_view value) const;
    std::string inserted_after(const Line& line, std::string_view new_line) const;
    std::string appended_section(std::string_view section, std::string_view new_line) const;
    std::optional<std::string> without(Cut cut) const;
    std::string encoded(std::string text) const;

    Encoding m_encoding = Encoding::ansi;
    std::string m_file;   // a Unicode file's bytes (an ANSI file's are m_bytes)
    std::string m_bytes;  // the text parsed
    std::vector<Line> m_lines;
    std::vector<Section> m_sections;
    // The tables of an indexed text (empty otherwise): open addressing with
    // linear probing, each slot one more than an index, 0 when free. One
    // holds the first section of each name (an index into m_sections), the
    // other the first entry of each key (an index into m_lines) within such
    // a first section, hashed with the section's index.
    std::vector<std::uint32_t> m_section_slots;
    std::vector<std::uint32_t> m_entry_slots;
};

}  // namespace vh::profile
