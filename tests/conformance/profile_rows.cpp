// Rows for GetPrivateProfileStringA and WritePrivateProfileStringA.
//
// Reads go into sentinel-filled buffers, so each row states the count and
// every byte the call wrote; writes state the call's result and the whole
// file it leaves. Every scenario uses a file of its own: a service may keep
// a parsed file and check it by its time stamp, so a file is never
// rewritten behind the service's back within a test.
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win32.h"
#include "tests/conformance/runner.h"
#include "tests/support/utf16_file.h"

namespace vh::conformance {

namespace {

using namespace std::string_view_literals;
using vh::test::utf16_file;

constexpr DWORD big = 64;

// What Wine does differently from the documented behaviour, per kind of row.
constexpr const char* wine_rewrites_file =
    "Wine writes the whole file anew from what it parsed (CR LF line ends, no blank lines, blanks around "
    "names and values trimmed); Windows changes only the lines a write concerns (Wine's own test that a "
    "write keeps the bytes before the first section is todo_wine)";
constexpr const char* wine_one_nul =
    "Wine ends a cut list with one NUL and leaves the buffer's last byte; the documentation: the last "
    "string is truncated and followed by two null characters";
constexpr const char* wine_quote_cut =
    "Wine drops the last character of a quoted value when the closing quote does not fit, so a value "
    "that fits comes back one short; the documentation: a string is cut only when it does not fit, and "
    "then the count is nSize - 1";
constexpr const char* wine_list_default =
    "Wine copies the default with its trailing blanks when a section has no keys to list; the "
    "documentation: trailing blanks of the default are stripped";
constexpr const char* wine_orphan_entries =
    "Wine takes the entries before a file's first section for the section named \"\"; Windows reads the "
    "\"[]\" section (Wine's own test of this is todo_wine)";
constexpr const char* wine_value_blanks =
    "Wine drops the blanks before a value when it writes it; the documentation: lpString is written to "
    "the file";

std::string describe(const char* text)
{
    return text == nullptr ? std::string("null") : "\"" + show(text) + "\"";
}

struct ReadRow {
    const char* section;
    const char* key;
    const char* default_value;
    DWORD size;
    DWORD count;
    std::string_view written;  // what the call puts at the start of the buffer
    const char* wine_difference = nullptr;
};

void check_reads(Runner& runner, const std::string& what, const std::filesystem::path& file,
                 std::initializer_list<ReadRow> rows)
{
    const std::string path = file.string();
    for (const ReadRow& row : rows) {
        Row check(runner,
                  what + ": read " + describe(row.section) + ", " + describe(row.key) + ", default " +
                      describe(row.default_value) + ", size " + std::to_string(row.size),
                  row.wine_difference);
        Buffer buffer(row.size);
        const DWORD count = GetPrivateProfileStringA(row.section, row.key, row.default_value, buffer.text(),
                                                     row.size, path.c_str());
        check.number("count", count, row.count);
        check.bytes("buffer", buffer.contents(), buffer.after(row.written));
    }
}

// One write and the whole file it must leave (nothing: no file at all).
struct WriteRow {
    const char* section;
    const char* key;
    const char* value;
    bool succeeds;
    std::optional<std::string_view> file_after;
    const char* wine_difference = nullptr;
};

void check_writes(Runner& runner, const std::string& what, const std::filesystem::path& file,
                  std::initializer_list<WriteRow> rows)
{
    const std::string path = file.string();
    for (const WriteRow& row : rows) {
        Row check(
            runner,
            what + ": write " + describe(row.section) + ", " + describe(row.key) + ", " + describe(row.value),
            row.wine_difference);
        const BOOL result = WritePrivateProfileStringA(row.section, row.key, row.value, path.c_str());
        check.number("result is non-zero", result != 0, row.succeeds);
        check.number("file exists", std::filesystem::exists(file), row.file_after.has_value());
        if (row.file_after) {
            check.bytes("file", read_file(file), *row.file_after);
        }
    }
}

constexpr std::string_view sample =
    "[Section1]\r\n"
    "name1=val1\r\n"
    "  Name2 \t=\t val2  \r\n"
    "quoted=\"q v\"\r\n"
    "single='s'\r\n"
    "mismatch=\"m'\r\n"
    "lone=\"\r\n"
    "eq=a=b=c\r\n"
    "empty=\r\n"
    "; comment=hidden\r\n"
    "no equals line\r\n"
    "dup=first\r\n"
    "DUP=second\r\n"
    "\r\n"
    "[ section2 ]\r\n"
    "x=1\r\n"
    "[SECTION1]\r\n"
    "later=in a second section of that name\r\n";

void read_values(Runner& runner, const std::filesystem::path& directory)
{
    const std::filesystem::path file = directory / "values.ini";
    write_file(file, sample);
    check_reads(runner, "values", file,
                {
                    {"Section1", "name1", "def", big, 4, "val1\0"sv},
                    // Names match without regard to case, and blanks around
                    // them, in the file and in the request, mean nothing.
                    {"SECTION1", "NaMe1", "def", big, 4, "val1\0"sv},
                    {" section1\t", " name2 ", "def", big, 4, "val2\0"sv},
                    {"section2", "X", "def", big, 1, "1\0"sv},
                    // One pair of matching quotes goes; others stay.
                    {"Section1", "quoted", "def", big, 3, "q v\0"sv},
                    {"Section1", "single", "def", big, 1, "s\0"sv},
                    {"Section1", "mismatch", "def", big, 3, "\"m'\0"sv},
                    {"Section1", "lone", "def", big, 1, "\"\0"sv},
                    // Everything after the first "=" is the value.
                    {"Section1", "eq", "def", big, 5, "a=b=c\0"sv},
                    {"Section1", "empty", "def", big, 0, "\0"sv},
                    // Duplicate keys: the first wins; so does the first
                    // section of a name.
                    {"Section1", "dup", "def", big, 5, "first\0"sv},
                    {"Section1", "later", "def", big, 3, "def\0"sv},
                    // A line without "=" is no entry; a comment is read by
                    // nobody who does not ask for its whole name.
                    {"Section1", "no equals line", "def", big, 3, "def\0"sv},
                    {"Section1", "comment", "def", big, 3, "def\0"sv},
                    {"nosuch", "name1", "def", big, 3, "def\0"sv},
                    // The default loses its trailing spaces only; null is "".
                    {"Section1", "missing", "def  ", big, 3, "def\0"sv},
                    {"Section1", "missing", "  d e \t ", big, 7, "  d e \t\0"sv},
                    {"Section1", "missing", "", big, 0, "\0"sv},
                    {"Section1", "missing", nullptr, big, 0, "\0"sv},
                    // Sizes: exactly fitting, one short, 2, 1 and 0.
                    {"Section1", "name1", "def", 5, 4, "val1\0"sv},
                    {"Section1", "name1", "def", 4, 3, "val\0"sv},
                    {"Section1", "name1", "def", 2, 1, "v\0"sv},
                    {"Section1", "name1", "def", 1, 0, "\0"sv},
                    {"Section1", "name1", "def", 0, 0, ""sv},
                    // The default is cut like a value.
                    {"Section1", "missing", "default", 5, 4, "defa\0"sv},
                    {"Section1", "missing", "default", 1, 0, "\0"sv},
                    // A quoted value fits without its quotes.
                    {"Section1", "quoted", "def", 4, 3, "q v\0"sv, wine_quote_cut},
                    {"Section1", "quoted", "def", 3, 2, "q \0"sv},
                });
}

void read_lists(Runner& runner, const std::filesystem::path& directory)
{
    const std::filesystem::path file = directory / "lists.ini";
    write_file(file, sample);
    constexpr std::string_view sections = "Section1\0section2\0SECTION1\0\0"sv;  // 27 and the final NUL
    constexpr std::string_view keys =
        "name1\0Name2\0quoted\0single\0mismatch\0lone\0eq\0empty\0dup\0DUP\0\0"sv;
    check_reads(runner, "lists", file,
                {
                    // Every section, duplicates included; the key and the
                    // default play no part.
                    {nullptr, nullptr, "def", big, 27, sections},
                    {nullptr, "name1", "def", big, 27, sections},
                    // The keys of the first section of that name, without
                    // comments and lines without "=", duplicates included.
                    {"section1", nullptr, "def", big, 57, keys},
                    {"SECTION2", nullptr, "def", big, 2, "x\0\0"sv},
                    // No keys to list: the default instead.
                    {"nosuch", nullptr, "def ", big, 3, "def\0"sv, wine_list_default},
                    {"nosuch", nullptr, "def", big, 3, "def\0"sv},
                    {"nosuch", nullptr, "", big, 0, "\0"sv},
                    // A list fits only with a byte to spare; cut, it ends in
                    // two NULs and counts size - 2.
                    {nullptr, nullptr, "", 29, 27, sections},
                    {nullptr, nullptr, "", 28, 26, sections, wine_one_nul},
                    {nullptr, nullptr, "", 27, 25, "Section1\0section2\0SECTION\0\0"sv, wine_one_nul},
                    {nullptr, nullptr, "", 16, 14, "Section1\0secti\0\0"sv, wine_one_nul},
                    {nullptr, nullptr, "", 10, 8, "Section1\0\0"sv, wine_one_nul},
                    {nullptr, nullptr, "", 2, 0, "\0\0"sv, wine_one_nul},
                    {nullptr, nullptr, "", 1, 0, "\0"sv},
                    {nullptr, nullptr, "", 0, 0, ""sv},
                    {"section1", nullptr, "", 10, 8, "name1\0Na\0\0"sv, wine_one_nul},
                    {"section2", nullptr, "", 4, 2, "x\0\0"sv},
                    {"section2", nullptr, "", 3, 1, "x\0\0"sv, wine_one_nul},
                    {"section2", nullptr, "", 2, 0, "\0\0"sv, wine_one_nul},
                });
}

void read_missing_files(Runner& runner, const std::filesystem::path& directory)
{
    check_reads(runner, "missing file", directory / "missing.ini",
                {
                    {"s", "k", "def ", big, 3, "def\0"sv},
                    {"s", "k", nullptr, big, 0, "\0"sv},
                    {nullptr, nullptr, "", big, 0, "\0"sv},
                    {nullptr, nullptr, "def", big, 0, "\0"sv},
                    {"s", nullptr, "", big, 0, "\0"sv},
                    {"s", nullptr, "def", big, 3, "def\0"sv},
                });
    check_reads(runner, "missing directory", directory / "no" / "such.ini",
                {
                    {"s", "k", "def", big, 3, "def\0"sv},
                });
}

void write_new_file(Runner& runner, const std::filesystem::path& directory)
{
    const std::filesystem::path file = directory / "new.ini";
    check_writes(
        runner, "new file", file,
        {
            // Removing from a missing file succeeds and creates nothing.
            {"App1", "key1", nullptr, true, std::nullopt},
            {"App1", nullptr, nullptr, true, std::nullopt},
            // The first write creates the file, with CR LF line ends.
            {"App1", "key1", "string1", true, "[App1]\r\nkey1=string1\r\n"sv},
            // A new key goes after the section's last key.
            {"App1", "key2", "string2", true, "[App1]\r\nkey1=string1\r\nkey2=string2\r\n"sv},
            // A new section goes at the end.
            {"App2", "key3", "string3", true,
             "[App1]\r\nkey1=string1\r\nkey2=string2\r\n[App2]\r\nkey3=string3\r\n"sv},
            // A value is replaced in place; the key keeps its spelling.
            {"app1", "KEY1", "new", true,
             "[App1]\r\nkey1=new\r\nkey2=string2\r\n[App2]\r\nkey3=string3\r\n"sv},
            {"App1", "key3", "", true,
             "[App1]\r\nkey1=new\r\nkey2=string2\r\nkey3=\r\n[App2]\r\nkey3=string3\r\n"sv},
            {"App1", "key4", "a=b", true,
             "[App1]\r\nkey1=new\r\nkey2=string2\r\nkey3=\r\nkey4=a=b\r\n[App2]\r\nkey3=string3\r\n"sv},
        });
    check_reads(runner, "new file", file,
                {
                    {"App1", "key4", "def", big, 3, "a=b\0"sv},
                    {"App1", "key3", "def", big, 0, "\0"sv},
                    {"App1", nullptr, "", big, 20, "key1\0key2\0key3\0key4\0\0"sv},
                });
    check_writes(runner, "new file", file,
                 {
                     // A null value removes the entry; removing it again changes nothing.
                     {"APP1", "Key2", nullptr, true,
                      "[App1]\r\nkey1=new\r\nkey3=\r\nkey4=a=b\r\n[App2]\r\nkey3=string3\r\n"sv},
                     {"App1", "key2", nullptr, true,
                      "[App1]\r\nkey1=new\r\nkey3=\r\nkey4=a=b\r\n[App2]\r\nkey3=string3\r\n"sv},
                     // A null key removes the section, whatever the value.
                     {"App1", nullptr, "ignored", true, "[App2]\r\nkey3=string3\r\n"sv},
                     {"nosuch", nullptr, nullptr, true, "[App2]\r\nkey3=string3\r\n"sv},
                     // The last entry goes, its section stays.
                     {"App2", "key3", nullptr, true, "[App2]\r\n"sv},
                 });

    // A value is written as given, spaces and all, and reads back without them.
    const std::filesystem::path spaced = directory / "spaced.ini";
    check_writes(runner, "spaced value", spaced,
                 {
                     {"s", "k", "  v w  ", true, "[s]\r\nk=  v w  \r\n"sv, wine_value_blanks},
                 });
    check_reads(runner, "spaced value", spaced,
                {
                    {"s", "k", "def", big, 3, "v w\0"sv},
                });
}

void write_existing_files(Runner& runner, const std::filesystem::path& directory)
{
    // Comments, blank lines and unknown lines stay where they are.
    const std::filesystem::path crlf = directory / "comments.ini";
    write_file(crlf, "; top\r\n[a]\r\n; note\r\nk=1\r\n\r\n[b]\r\nm=2\r\n");
    check_writes(runner, "comments", crlf,
                 {
                     {"a", "n", "3", true, "; top\r\n[a]\r\n; note\r\nk=1\r\nn=3\r\n\r\n[b]\r\nm=2\r\n"sv,
                      wine_rewrites_file},
                     {"a", "k", "10", true, "; top\r\n[a]\r\n; note\r\nk=10\r\nn=3\r\n\r\n[b]\r\nm=2\r\n"sv,
                      wine_rewrites_file},
                     {"c", "o", "4", true,
                      "; top\r\n[a]\r\n; note\r\nk=10\r\nn=3\r\n\r\n[b]\r\nm=2\r\n[c]\r\no=4\r\n"sv,
                      wine_rewrites_file},
                     {"a", nullptr, nullptr, true, "; top\r\n[b]\r\nm=2\r\n[c]\r\no=4\r\n"sv},
                 });

    // A file with LF line ends keeps them, and the blanks of untouched lines.
    const std::filesystem::path lf = directory / "lf.ini";
    write_file(lf, "[one]\na=1\n\n[two]\n  b = 2 \nno equals\n");
    check_writes(
        runner, "LF file", lf,
        {
            {"ONE", "c", "3", true, "[one]\na=1\nc=3\n\n[two]\n  b = 2 \nno equals\n"sv, wine_rewrites_file},
            {"two", "B", "20", true, "[one]\na=1\nc=3\n\n[two]\n  b = 20\nno equals\n"sv, wine_rewrites_file},
            {"two", nullptr, nullptr, true, "[one]\na=1\nc=3\n\n"sv, wine_rewrites_file},
        });

    // A last line without a line end gets one before a new line follows.
    const std::filesystem::path unended = directory / "unended.ini";
    write_file(unended, "[s]\r\nk=v");
    check_writes(runner, "unended file", unended,
                 {
                     {"s", "n", "1", true, "[s]\r\nk=v\r\nn=1\r\n"sv},
                 });

    // Duplicates: a write changes the entry that reads find.
    const std::filesystem::path dup = directory / "dup.ini";
    write_file(dup, "[d]\r\nk=1\r\nk=2\r\n[D]\r\nk=3\r\n[e]\r\n");
    check_writes(runner, "duplicates", dup,
                 {
                     {"d", "k", "9", true, "[d]\r\nk=9\r\nk=2\r\n[D]\r\nk=3\r\n[e]\r\n"sv},
                 });
    check_reads(runner, "duplicates", dup,
                {
                    {"D", "K", "def", big, 1, "9\0"sv},
                    {nullptr, nullptr, "", big, 6, "d\0D\0e\0\0"sv},
                    {"d", nullptr, "", big, 4, "k\0k\0\0"sv},
                    {"e", nullptr, "def", big, 3, "def\0"sv},  // a section without keys
                });
}

// ---- Unicode files ---------------------------------------------------------------
//
// The documentation of WritePrivateProfileString: "If the file was created
// using Unicode characters, the function writes Unicode characters to the
// file"; a file that starts with a UTF-16 byte-order mark is such a file,
// read and written as UTF-16, names and values converted from and to the
// ANSI code page.

// "\u00E9" in the ANSI code page.
std::string e_acute()
{
    return GetACP() == CP_UTF8 ? "\xC3\xA9" : "\xE9";
}

void unicode_files(Runner& runner, const std::filesystem::path& directory)
{
    const std::filesystem::path file = directory / "unicode.ini";
    write_file(file, utf16_file(u"[Sect]\r\nkey=valu\u00E9\r\nname=plain\r\n"));
    const std::string value = "valu" + e_acute();
    const std::string value_cut = "valu" + e_acute().substr(0, 1);
    check_reads(runner, "UTF-16 file", file,
                {
                    {nullptr, nullptr, "", big, 5, "Sect\0\0"sv},
                    {"sect", nullptr, "", big, 9, "key\0name\0\0"sv},
                    {"Sect", "KEY", "def", big, static_cast<DWORD>(value.size()), value + '\0'},
                    {"Sect", "name", "def", big, 5, "plain\0"sv},
                    // Cut buffers: a value, and a list (two NULs after it).
                    {"Sect", "name", "def", 4, 3, "pla\0"sv},
                    {"Sect", "key", "def", 6, 5, value_cut + '\0'},
                    {nullptr, nullptr, "", 4, 2, "Se\0\0"sv, wine_one_nul},
                    {"Sect", "missing", "def ", big, 3, "def\0"sv},
                });
    const std::string caf = "caf" + e_acute();
    const std::string replaced = utf16_file(u"[Sect]\r\nkey=valu\u00E9\r\nname=new\r\n");
    const std::string added = utf16_file(u"[Sect]\r\nkey=valu\u00E9\r\nname=new\r\nadded=caf\u00E9\r\n");
    const std::string section =
        utf16_file(u"[Sect]\r\nkey=valu\u00E9\r\nname=new\r\nadded=caf\u00E9\r\n[Caf\u00E9]\r\nk=v\r\n");
    const std::string removed =
        utf16_file(u"[Sect]\r\nname=new\r\nadded=caf\u00E9\r\n[Caf\u00E9]\r\nk=v\r\n");
    const std::string section_removed = utf16_file(u"[Sect]\r\nname=new\r\nadded=caf\u00E9\r\n");
    const std::string section_name = "Caf" + e_acute();
    check_writes(runner, "UTF-16 file", file,
                 {
                     {"Sect", "name", "new", true, replaced},
                     {"Sect", "added", caf.c_str(), true, added},
                     {section_name.c_str(), "k", "v", true, section},
                     {"Sect", "key", nullptr, true, removed},
                     {section_name.c_str(), nullptr, nullptr, true, section_removed},
                 });
    check_reads(runner, "UTF-16 file", file,
                {
                    {"SECT", "added", "def", big, static_cast<DWORD>(caf.size()), caf + '\0'},
                });

    // A file that is only a byte-order mark grows in UTF-16, never in single bytes.
    const std::filesystem::path grows = directory / "grows.ini";
    write_file(grows, utf16_file(u""));
    const std::string one = utf16_file(u"[g]\r\na=1\r\n");
    const std::string two = utf16_file(u"[g]\r\na=1\r\nb=caf\u00E9\r\n");
    const std::string three = utf16_file(u"[g]\r\na=1\r\nb=caf\u00E9\r\n[h]\r\nc=3\r\n");
    const std::string four = utf16_file(u"[g]\r\na=one\r\nb=caf\u00E9\r\n[h]\r\nc=3\r\n");
    check_writes(runner, "growing UTF-16 file", grows,
                 {
                     {"g", "a", "1", true, one},
                     {"g", "b", caf.c_str(), true, two},
                     {"h", "c", "3", true, three},
                     {"g", "a", "one", true, four},
                 });
    check_reads(runner, "growing UTF-16 file", grows,
                {
                    {nullptr, nullptr, "", big, 4, "g\0h\0\0"sv},
                    {"g", "b", "def", big, static_cast<DWORD>(caf.size()), caf + '\0'},
                });

    // The big-endian order stays big-endian.
    const std::filesystem::path big_endian = directory / "big-endian.ini";
    write_file(big_endian, utf16_file(u"[be]\r\nk=v\r\n", true));
    check_reads(runner, "big-endian UTF-16 file", big_endian,
                {
                    {"be", "k", "def", big, 1, "v\0"sv},
                });
    const std::string big_added = utf16_file(u"[be]\r\nk=v\r\nn=w\r\n", true);
    check_writes(runner, "big-endian UTF-16 file", big_endian,
                 {
                     {"be", "n", "w", true, big_added},
                 });
}

// ---- Removals and line breaks --------------------------------------------------------

void removals(Runner& runner, const std::filesystem::path& directory)
{
    // A removal takes the first entry or section of its name, as the
    // platform documents; a read then finds the next one.
    const std::filesystem::path file = directory / "removals.ini";
    write_file(file, "[d]\r\nk=1\r\nk=2\r\n[D]\r\nk=3\r\n[e]\r\n");
    check_writes(runner, "repeated names", file,
                 {
                     {"d", "k", nullptr, true, "[d]\r\nk=2\r\n[D]\r\nk=3\r\n[e]\r\n"sv},
                 });
    check_reads(runner, "repeated names", file,
                {
                    {"d", "k", "def", big, 1, "2\0"sv},
                });
    check_writes(runner, "repeated names", file,
                 {
                     {"D", nullptr, nullptr, true, "[D]\r\nk=3\r\n[e]\r\n"sv},
                 });
    check_reads(runner, "repeated names", file,
                {
                    {"d", "k", "def", big, 1, "3\0"sv},
                    {nullptr, nullptr, "", big, 4, "D\0e\0\0"sv},
                });
    check_writes(runner, "repeated names", file,
                 {
                     {"d", "k", nullptr, true, "[D]\r\n[e]\r\n"sv},
                     {"d", "k", nullptr, true, "[D]\r\n[e]\r\n"sv},
                 });
}

void line_breaks(Runner& runner, const std::filesystem::path& directory)
{
    // A CR alone ends a line: Wine's test of a file with CR line breaks
    // ("CR only") passes on Windows.
    const std::filesystem::path file = directory / "cr.ini";
    write_file(file, "[s]\rk=v\rn=w\r[t]\ru=1\r");
    check_reads(runner, "CR line breaks", file,
                {
                    {nullptr, nullptr, "", big, 4, "s\0t\0\0"sv},
                    {"s", nullptr, "", big, 4, "k\0n\0\0"sv},
                    {"s", "n", "def", big, 1, "w\0"sv},
                    {"t", "u", "def", big, 1, "1\0"sv},
                });
    check_writes(runner, "CR line breaks", file,
                 {
                     {"s", "k", "v2", true, "[s]\rk=v2\rn=w\r[t]\ru=1\r"sv, wine_rewrites_file},
                     {"t", "x", "y", true, "[s]\rk=v2\rn=w\r[t]\ru=1\rx=y\r"sv, wine_rewrites_file},
                 });
}

// ---- What the documentation leaves open ----------------------------------------------

void open_points(Runner& runner, const std::filesystem::path& directory)
{
    // An entry whose key is empty ("=value") is read by the empty key name
    // (Wine's test reads "=val_no_key" so, and passes on Windows).
    const std::filesystem::path empty_key = directory / "empty-key.ini";
    write_file(empty_key, "[s]\r\n=v\r\nk=1\r\n");
    check_reads(runner, "empty key name", empty_key,
                {
                    {"s", "", "def", big, 1, "v\0"sv},
                });
    {
        // Listed, it would end the list at its first byte. Wine's tests do
        // not list such a key; the stand-in leaves it out.
        Row check(
            runner, "empty key name: the key list leaves it out",
            StandInChoice{"the stand-in leaves an empty key name out of a section's key list (Wine's tests "
                          "are silent on listing one); Wine lists it first, which ends the list at once "
                          "(count 0)"});
        Buffer buffer(big);
        check.number(
            "count",
            GetPrivateProfileStringA("s", nullptr, "", buffer.text(), big, empty_key.string().c_str()), 2);
        check.bytes("buffer", buffer.contents(), buffer.after("k\0\0"sv));
    }

    // Entries before the first section belong to no section; the section
    // named "" is "[]" (Wine's test reads "val_e_section" so, passing on
    // Windows while it is todo_wine on Wine).
    const std::filesystem::path orphans = directory / "orphans.ini";
    write_file(orphans, "\r\nkey=val_no_section\r\n[]\r\nkey=val_e_section\r\n[s]\r\n=val_no_key\r\n[t]\r\n");
    check_reads(runner, "entries before the first section", orphans,
                {
                    {"", "key", "def", big, 13, "val_e_section\0"sv, wine_orphan_entries},
                });

    // A UTF-8 byte-order mark belongs to no line; the bytes after it are
    // taken as they are, in whatever the ANSI code page is (Wine's tests are
    // silent on such files; Wine decodes them as UTF-8).
    const std::filesystem::path utf8 = directory / "utf8.ini";
    write_file(utf8, "\xEF\xBB\xBF[s]\r\nk=caf\xC3\xA9\r\n");
    check_reads(runner, "UTF-8 byte-order mark", utf8,
                {
                    {nullptr, nullptr, "", big, 2, "s\0\0"sv},
                });
    {
        Row check(runner, "UTF-8 byte-order mark: the value's bytes as the file has them",
                  StandInChoice{
                      "the stand-in takes the bytes after a UTF-8 byte-order mark as they are; Wine decodes "
                      "them as UTF-8 into the ANSI code page (Wine's tests are silent)"});
        Buffer buffer(big);
        check.number("count",
                     GetPrivateProfileStringA("s", "k", "", buffer.text(), big, utf8.string().c_str()), 5);
        check.bytes("buffer", buffer.contents(), buffer.after("caf\xC3\xA9\0"sv));
    }
}

void write_failures(Runner& runner, const std::filesystem::path& directory)
{
    // A missing directory is not created, and the write fails.
    const std::filesystem::path nested = directory / "no" / "such.ini";
    check_writes(runner, "missing directory", nested,
                 {
                     {"s", "k", "v", false, std::nullopt},
                 });
    Row check(runner, "missing directory: the directory is not created");
    check.number("directory exists", std::filesystem::exists(directory / "no"), false);
}

}  // namespace

void run_profile_rows(Runner& runner, const std::filesystem::path& directory)
{
    runner.begin_group("profile");
    read_values(runner, directory);
    read_lists(runner, directory);
    read_missing_files(runner, directory);
    write_new_file(runner, directory);
    write_existing_files(runner, directory);
    unicode_files(runner, directory);
    removals(runner, directory);
    line_breaks(runner, directory);
    open_points(runner, directory);
    write_failures(runner, directory);
}

}  // namespace vh::conformance
