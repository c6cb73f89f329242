// Reading and writing .reg text with the codec alone: no registry is involved.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cli/reg_text.h"
#include "platform/win32.h"
#include "tests/cli/malformed_reg_files.h"

namespace {

using namespace std::string_literals;

// The type and bytes a parsed text sets a value to, or {REG_NONE, "missing"}.
std::pair<DWORD, std::string> value_of(const std::vector<vh::RegSection>& sections, HKEY root,
                                       const std::string& path, const std::string& name)
{
    for (const vh::RegSection& section : sections) {
        if (section.root != root || section.path != path || section.remove) {
            continue;
        }
        for (const vh::RegValueChange& change : section.values) {
            if (change.name == name && !change.remove) {
                return {change.type, change.data};
            }
        }
    }
    return {REG_NONE, "missing"};
}

TEST(RegText, MalformedFilesNameTheLine)
{
    for (const vh::test::MalformedRegFile& row : vh::test::malformed_reg_files()) {
        try {
            vh::parse_reg_text(row.text);
            ADD_FAILURE() << "accepted: " << row.text;
        } catch (const vh::RegFileError& error) {
            EXPECT_EQ(error.line(), row.line) << error.what();
            EXPECT_EQ(error.status(), ERROR_SUCCESS) << error.what();
            const std::string message = error.what();
            EXPECT_EQ(message.rfind("line " + std::to_string(row.line) + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(row.fragment), std::string::npos) << message;
        }
    }
}

TEST(RegText, FilesInThePlatformEditorsFormsAreRead)
{
    // An ANSI file of the older format, with LF line ends, comments, blank
    // lines, spaces around "=", upper-case digits and a wrapped hex list.
    const std::vector<vh::RegSection> ansi = vh::parse_reg_text(
        "REGEDIT4\n\n; Settings of the demo application\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Demo App]\n"
        "\"Version\" = \"1.2\"\n"
        "@=\"Demo\"\n"
        "\"Flags\"=dword:0000FF01 ; two flags\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Demo App\\Paths]\n"
        "\"Install\"=\"C:\\\\Program Files\\\\Demo\"\n"
        "\"Search\"=hex(7):43,3a,5c,00,44,3a,5c,00,00\n"
        "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10,11,12,13,14,\\\n"
        "  15,16\n");
    const std::string app = "SOFTWARE\\Demo App";
    EXPECT_EQ(value_of(ansi, HKEY_LOCAL_MACHINE, app, "Version"), std::make_pair(REG_SZ, "1.2\0"s));
    EXPECT_EQ(value_of(ansi, HKEY_LOCAL_MACHINE, app, ""), std::make_pair(REG_SZ, "Demo\0"s));
    EXPECT_EQ(value_of(ansi, HKEY_LOCAL_MACHINE, app, "Flags"), std::make_pair(REG_DWORD, "\x01\xFF\0\0"s));
    EXPECT_EQ(value_of(ansi, HKEY_LOCAL_MACHINE, app + "\\Paths", "Install"),
              std::make_pair(REG_SZ, "C:\\Program Files\\Demo\0"s));
    EXPECT_EQ(value_of(ansi, HKEY_LOCAL_MACHINE, app + "\\Paths", "Search"),
              std::make_pair(REG_MULTI_SZ, "C:\\\0D:\\\0\0"s));
    std::string blob;
    for (char c = 0; c <= 0x16; ++c) {
        blob += c;
    }
    EXPECT_EQ(value_of(ansi, HKEY_LOCAL_MACHINE, app + "\\Paths", "Blob"), std::make_pair(REG_BINARY, blob));

    // The current format, as UTF-16LE (what the editor writes) and as UTF-8
    // with a byte-order mark; hex(2) data is kept as the bytes written.
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Grüße]\r\n"
        "\"Näme\"=\"Wert ☃\"\r\n"
        "\"Path\"=hex(2):25,00,50,00,00,00\r\n"
        "\"Count\"=dword:00000010\r\n"
        "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n\r\n";
    for (const std::string& file : {vh::test::utf16le_file(text), "\xEF\xBB\xBF" + text}) {
        const std::vector<vh::RegSection> sections = vh::parse_reg_text(file);
        EXPECT_EQ(value_of(sections, HKEY_CURRENT_USER, "Software\\Grüße", "Näme"),
                  std::make_pair(REG_SZ, "Wert ☃\0"s));
        EXPECT_EQ(value_of(sections, HKEY_CURRENT_USER, "Software\\Grüße", "Path"),
                  std::make_pair(REG_EXPAND_SZ, "%\0P\0\0\0"s));
        EXPECT_EQ(value_of(sections, HKEY_CURRENT_USER, "Software\\Grüße", "Count"),
                  std::make_pair(REG_DWORD, "\x10\0\0\0"s));
        EXPECT_EQ(value_of(sections, HKEY_CURRENT_USER, "Software\\Grüße", "Big"),
                  std::make_pair(REG_QWORD, "\1\0\0\0\0\0\0\0"s));
    }
}

TEST(RegText, WrittenSectionsReadBackAsTheSameValues)
{
    const std::vector<vh::RegValue> values{
        {"", REG_SZ, "default\0"s},
        {"quote \" and \\", REG_SZ, "C:\\x\0"s},
        {"empty", REG_SZ, ""s},
        {"inner zero", REG_SZ, "a\0b\0"s},
        {"dword", REG_DWORD, "\x2A\0\0\0"s},
        {"dword3", REG_DWORD, "\1\2\3"s},
        {"bin", REG_BINARY, std::string(100, '\x7F')},
        {"odd type", 0x12345678, "x"s},
    };
    std::string text = vh::reg_text_header();
    vh::append_reg_section(text, HKEY_CURRENT_USER, "Software\\Demo", values);
    vh::append_reg_section(text, HKEY_USERS, "", {});
    const std::vector<vh::RegSection> sections = vh::parse_reg_text(text);
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[0].key_text, "HKEY_CURRENT_USER\\Software\\Demo");
    ASSERT_EQ(sections[0].values.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(sections[0].values[i].name, values[i].name);
        EXPECT_EQ(sections[0].values[i].type, values[i].type) << values[i].name;
        EXPECT_EQ(sections[0].values[i].data, values[i].data) << values[i].name;
    }
    EXPECT_EQ(sections[1].root, HKEY_USERS);
    EXPECT_EQ(sections[1].path, "");

    std::string refused;
    EXPECT_THROW(vh::append_reg_section(refused, HKEY_CURRENT_USER, "a\nb", {}), vh::RegFileError);
}

}  // namespace
