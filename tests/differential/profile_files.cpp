// A dozen small profile files made for the run, each read in full (section
// list, key lists, values, into roomy buffers and buffers that cut the
// answer), then written to (a value replaced, a key added, a section added,
// a key and a section removed), the whole file and every read again after
// each write. The file of odd lines is only read: Wine takes its lines
// before the first section for a section of its own, and a write there
// would carry that into every later read (a known difference, README).
//
// The files cover what profile files on real machines hold: CR LF, LF and
// CR line breaks, a last line without one, blanks and tabs around names and
// values, quotes, comments, lines without "=", entries before any section,
// a header without "]", empty key and section names, repeated keys and
// sections, Windows-1252 letters in both cases, long values, an empty file,
// a UTF-8 byte-order mark, and UTF-16 in both byte orders, one of them only
// a byte-order mark that grows with each write.
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/differential/transcript.h"
#include "tests/support/temp_dir.h"
#include "tests/support/utf16_file.h"

namespace vh::differential {

namespace {

using namespace std::string_literals;
using vh::test::utf16_file;

constexpr char sentinel = '\xCC';
using Text = std::optional<std::string>;

struct Request {
    Text section;
    Text key;
    Text value;
};

struct ProfileCase {
    const char* name;
    std::string content;
    std::vector<std::string> sections;                         // whose keys are listed
    std::vector<std::pair<std::string, std::string>> entries;  // whose values are read
    std::vector<Request> writes;
};

std::vector<ProfileCase> cases()
{
    const std::string long_x(300, 'x');
    const std::string long_y(260, 'y');
    return {
        {"plain.ini",
         "[Main]\r\nName=Value\r\n  Spaced Key \t=\t spaced value  \r\nquoted=\"q "
         "v\"\r\nsingle='s'\r\neq=a=b\r\n"
         "empty=\r\n; comment=hidden\r\n[Other]\r\nx=1\r\n",
         {"Main", "other", "missing"},
         {{"Main", "name"},
          {"main", "spaced key"},
          {"Main", "quoted"},
          {"Main", "single"},
          {"Main", "eq"},
          {"Main", "empty"},
          {"Main", "; comment"},
          {"Other", "X"},
          {"Other", "missing"}},
         {{"Main", "Name", "new"},
          {"Main", "added", " val ue "},
          {"Fresh", "k", "caf\xE9"},
          {"Main", "eq", {}},
          {"Other", {}, {}}}},
        {"lf.ini",
         "; top\n[a]\nk=1\n\n[b]\n  k = 2 \nno equals\nlast=no line break",
         {"a", "b"},
         {{"a", "k"}, {"b", "k"}, {"b", "last"}, {"b", "no equals"}},
         {{"b", "last", "changed"}, {"a", "k2", "2"}, {"c", "k", "3"}, {"b", "k", {}}, {"a", {}, {}}}},
        {"cr.ini",
         "[s]\rk=v\rn=w\r[t]\ru=1\r",
         {"s", "t"},
         {{"s", "k"}, {"s", "n"}, {"t", "u"}},
         {{"s", "k", "v2"}, {"t", "added", "a"}, {"s", "n", {}}}},
        {"utf16le.ini",
         utf16_file(u"[Sect]\r\nkey=valu\u00E9\r\n\u0100name=long "
                    u"\u0101\r\nquoted=\"\u20AC\"\r\n[Zwei]\r\nk=\u20AC\r\n",
                    false),
         {"Sect", "SECT", "Zwei"},
         {{"Sect", "key"}, {"Sect", "Aname"}, {"Sect", "quoted"}, {"Zwei", "k"}, {"Zwei", "missing"}},
         {{"Sect", "key", "new \xE9"},
          {"Sect", "added", "\x80 euro"},
          {"Neu", "k", "v"},
          {"Sect", "quoted", {}},
          {"Zwei", {}, {}}}},
        {"utf16be.ini",
         utf16_file(u"[be]\r\nk=v\r\nwide=\u00FC\u00DF\r\n", true),
         {"be"},
         {{"be", "k"}, {"be", "wide"}},
         {{"be", "k", "w"}, {"be", "n", "\xFC"}, {"other", "x", "y"}, {"be", "wide", {}}}},
        {"utf8bom.ini",
         "\xEF\xBB\xBF[Gr\xC3\xBC\xC3\x9F\x65]\r\nkey=caf\xC3\xA9\r\n[plain]\r\nk=v\r\n",
         {"plain", "Gr\xFC\xDF\x65", "Gr\xC3\xBC\xC3\x9F\x65"},
         {{"plain", "k"}, {"Gr\xFC\xDF\x65", "key"}, {"Gr\xC3\xBC\xC3\x9F\x65", "key"}},
         {{"plain", "k", "w"}}},
        {"duplicates.ini",
         "[d]\r\nk=1\r\nk=2\r\n[D]\r\nk=3\r\n[e]\r\nx=y\r\n[d]\r\nk=4\r\nlast=1\r\n",
         {"d", "e"},
         {{"d", "k"}, {"D", "last"}, {"e", "x"}},
         {{"d", "k", "9"}, {"d", "k", {}}, {"d", "k", {}}, {"D", {}, {}}, {"d", "k", {}}, {"d", {}, {}}}},
        {"odd.ini",
         "orphan=before\r\n[no close\r\n[ok]\r\nno equals\r\n=empty key\r\n;semi=comment\r\n[]\r\nin=empty "
         "section\r\n"
         "[ tab\t]\r\nt=1\r\n[x]y]\r\nz=1\r\n",
         {"ok", "", "tab", "x]y", "no close"},
         {{"ok", ""},
          {"ok", "no equals"},
          {"ok", ";semi"},
          {"", "in"},
          {"tab", "t"},
          {"x]y", "z"},
          {"", "orphan"}},
         {}},
        {"letters.ini",
         "[Caf\xE9]\r\n\xC9t\xE9=summer\r\nname=\xA0nbsp\xA0\r\n",
         {"Caf\xE9", "CAF\xC9"},
         {{"Caf\xE9", "\xC9t\xE9"}, {"CAF\xC9", "\xC9T\xC9"}, {"caf\xE9", "name"}},
         {{"CAF\xC9", "\xE9T\xE9", "winter"}, {"caf\xE9", "n\xE9w", "1"}}},
        {"long.ini",
         "[L]\r\nlong=" + long_x + "\r\nquoted=\"" + long_y + "\"\r\n",
         {"L"},
         {{"L", "long"}, {"L", "quoted"}},
         {{"L", "long", std::string(400, 'z')}, {"L", "quoted", {}}}},
        {"empty.ini", "", {"s"}, {{"s", "k"}}, {{"s", "k", "v"}, {"s", "k2", "v2"}, {"s", "k", {}}}},
        {"grows.ini",
         utf16_file(u"", false),
         {"g", "h"},
         {{"g", "a"}, {"g", "b"}, {"h", "c"}},
         {{"g", "a", "1"}, {"g", "b", "\xE9\xE8"}, {"h", "c", "3"}, {"g", "a", "one"}, {"g", "b", {}}}},
    };
}

std::string shown(const Text& text)
{
    return text ? *text : "<null>";
}

const char* pointer(const Text& text)
{
    return text ? text->c_str() : nullptr;
}

using vh::test::read_file;
using vh::test::write_file;

class ProfileRun {
public:
    ProfileRun(std::FILE* out, const std::string& directory) : m_out(out), m_directory(directory) {}

    long run()
    {
        for (const ProfileCase& c : cases()) {
            const std::string path = m_directory + "/" + c.name;
            write_file(path, c.content);
            Line("profile").bytes("file", c.name).bytes("bytes", hex(c.content)).write(m_out);
            survey(c, path, true);
            for (const Request& request : c.writes) {
                const BOOL result = WritePrivateProfileStringA(pointer(request.section), pointer(request.key),
                                                               pointer(request.value), path.c_str());
                ++m_calls;
                Line("WritePrivateProfileStringA")
                    .bytes("file", c.name)
                    .bytes("section", shown(request.section))
                    .bytes("key", shown(request.key))
                    .bytes("value", shown(request.value))
                    .number("result", result != 0)
                    .bytes("bytes", hex(read_file(path)))
                    .write(m_out);
                survey(c, path, false);
            }
        }
        return m_calls;
    }

private:
    void read(const char* file, const Text& section, const Text& key, const Text& fallback, DWORD size,
              const std::string& path)
    {
        std::string buffer(size + 4, sentinel);
        const DWORD count = GetPrivateProfileStringA(pointer(section), pointer(key), pointer(fallback),
                                                     buffer.data(), size, path.c_str());
        ++m_calls;
        Line("GetPrivateProfileStringA")
            .bytes("file", file)
            .bytes("section", shown(section))
            .bytes("key", shown(key))
            .bytes("default", shown(fallback))
            .number("size", size)
            .number("count", count)
            .bytes("buffer", buffer)
            .write(m_out);
    }

    // Every read of the file's case; the first time also into buffers that
    // cut the answers.
    void survey(const ProfileCase& c, const std::string& path, bool first)
    {
        read(c.name, {}, {}, "def", 512, path);
        if (first) {
            for (const DWORD size : {0u, 1u, 2u, 5u, 10u}) {
                read(c.name, {}, {}, "", size, path);
            }
        }
        std::vector<std::string> sections = c.sections;
        for (const Request& request : c.writes) {
            if (request.section && request.key && request.value) {
                sections.push_back(*request.section);
            }
        }
        for (const std::string& section : sections) {
            read(c.name, section, {}, "def ", 512, path);
            if (first) {
                read(c.name, section, {}, "", 4, path);
            }
        }
        std::vector<std::pair<std::string, std::string>> entries = c.entries;
        for (const Request& request : c.writes) {
            if (request.section && request.key) {
                entries.emplace_back(*request.section, *request.key);
            }
        }
        for (const auto& [section, key] : entries) {
            read(c.name, section, key, "def  ", 512, path);
            if (first) {
                read(c.name, section, key, "default", 3, path);
            }
        }
    }

    std::FILE* m_out;
    std::string m_directory;
    long m_calls = 0;
};

}  // namespace

long run_profile_files(std::FILE* out, const std::string& directory)
{
    return ProfileRun(out, directory).run();
}

}  // namespace vh::differential
