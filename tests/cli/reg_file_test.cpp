// Export and import of .reg text against the registry service.
//
// Each test has its own store in its own directory; switching
// VORNHALL_REGISTRY to another file gives an empty registry, so a tree
// exported from one store can be imported into a fresh one and the two
// compared byte for byte with vh::test::dump().
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/reg_file.h"
#include "platform/key_handle.h"
#include "platform/win32.h"
#include "tests/cli/malformed_reg_files.h"
#include "tests/support/environment.h"
#include "tests/support/registry_dump.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

constexpr char header[] = "Windows Registry Editor Version 5.00\r\n\r\n";

// Sets one value below HKEY_CURRENT_USER, creating its key.
void set(const std::string& path, const std::string& name, DWORD type, std::string_view bytes)
{
    vh::KeyHandle key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.slot(), nullptr),
              ERROR_SUCCESS)
        << path;
    ASSERT_EQ(RegSetValueExA(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS)
        << name;
}

// The type and bytes of a value, or {REG_NONE, "missing"} when it cannot be read.
std::pair<DWORD, std::string> query(HKEY root, const std::string& path, const std::string& name)
{
    vh::KeyHandle key;
    DWORD type = REG_NONE;
    std::string data(4096, '\0');
    DWORD size = static_cast<DWORD>(data.size());
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.slot()) != ERROR_SUCCESS ||
        RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS) {
        return {REG_NONE, "missing"};
    }
    return {type, data.substr(0, size)};
}

bool key_exists(const std::string& path)
{
    vh::KeyHandle key;
    return RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.slot()) == ERROR_SUCCESS;
}

// The forms each kind of value takes in the export of the test below.
void expect_export_forms(const std::string& text)
{
    EXPECT_EQ(text.rfind(header + "[HKEY_CURRENT_USER\\Software\\Demo]\r\n@=\"default\"\r\n"s, 0), 0u);
    for (const char* line : {
             "\"text\"=\"hello world\"\r\n",
             "\"empty\"=hex(1):\r\n",
             "\"just zero\"=\"\"\r\n",
             "\"inner zero\"=hex(1):61,00,62,00\r\n",
             "\"unterminated\"=hex(1):61,62,63\r\n",
             "\"line break\"=hex(1):61,0d,0a,62,00\r\n",
             "\"quote \\\" and \\\\ back\"=\"C:\\\\dir\\\\\\\"x\\\"\"\r\n",
             "\"grüße ☃\"=\"naïve\"\r\n",
             "\"@\"=\"a name, not the unnamed value\"\r\n",
             "\"expand\"=hex(2):25,50,41,54,48,25,00\r\n",
             "\"bin0\"=hex:\r\n",
             "\"bin1\"=hex:7f\r\n",
             "\"dword\"=dword:0000002a\r\n",
             "\"dword3\"=hex(4):01,02,03\r\n",
             "\"qword\"=hex(b):01,02,03,04,05,06,07,08\r\n",
             "\"none\"=hex(0):\r\n",
             "\"odd type\"=hex(12345678):78\r\n",
             "\r\n[HKEY_CURRENT_USER\\Software\\Demo\\odd [key] name ]\r\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    // CRLF everywhere; long hex wrapped within 80 columns, continuations indented.
    std::size_t wrapped = 0;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        ASSERT_GT(end, start) << "a bare LF at " << start;
        const std::string_view line(text.data() + start, end - start - 1);
        EXPECT_EQ(text[end - 1], '\r');
        if (!line.empty() && line.back() == '\\') {
            EXPECT_LE(line.size(), 80u) << line;
            ++wrapped;
            EXPECT_EQ(text.compare(end + 1, 2, "  "), 0);
        }
    }
    EXPECT_EQ(wrapped, 12u);  // 300 bytes: 22 on the first line, 25 on each of the next 11, 3 on the last
}

class RegFile : public ::testing::Test {
protected:
    void SetUp() override { use_store("first.db"); }
    // Every handle an export or import opened is closed again, on success and on failure.
    void TearDown() override { EXPECT_EQ(VhRegOpenHandleCount(), 0u); }
    // Points the registry service at the store `name` in this test's directory.
    void use_store(const std::string& name)
    {
        vh::test::set_environment("VORNHALL_REGISTRY", dir.file(name).c_str());
    }

    vh::test::TempDir dir;
};

TEST_F(RegFile, EveryValueSurvivesExportAndImportByteForByte)
{
    const std::string base = "Software\\Demo";
    std::string ramp;
    for (int i = 0; i < 300; ++i) {
        ramp += static_cast<char>(i * 7);
    }
    set(base, "", REG_SZ, "default\0"s);
    set(base, "text", REG_SZ, "hello world\0"s);
    set(base, "empty", REG_SZ, ""s);
    set(base, "just zero", REG_SZ, "\0"s);
    set(base, "inner zero", REG_SZ, "a\0b\0"s);
    // No zero after the bytes: one there would be taken for a lost terminator.
    set(base, "unterminated", REG_SZ, "abcX"sv.substr(0, 3));
    set(base, "two zeros", REG_SZ, "abc\0\0"s);
    set(base, "line break", REG_SZ, "a\r\nb\0"s);
    set(base, "not text", REG_SZ, "\xFF\xFE\0"s);
    set(base, "quote \" and \\ back", REG_SZ, "C:\\dir\\\"x\"\0"s);
    set(base, "grüße ☃", REG_SZ, "naïve\0"s);
    set(base, "@", REG_SZ, "a name, not the unnamed value\0"s);
    set(base, "expand", REG_EXPAND_SZ, "%PATH%\0"s);
    set(base, "multi", REG_MULTI_SZ, "a\0bc\0\0"s);
    set(base, "bin0", REG_BINARY, ""s);
    set(base, "bin1", REG_BINARY, "\x7F"s);
    set(base, "bin300", REG_BINARY, ramp);
    set(base, "dword", REG_DWORD, "\x2A\0\0\0"s);
    set(base, "dword3", REG_DWORD, "\1\2\3"s);
    set(base, "qword", REG_QWORD, "\1\2\3\4\5\6\7\x08"s);
    set(base, "none", REG_NONE, ""s);
    set(base, "odd type", 0x12345678, "x"s);
    std::string deep = base;
    for (int i = 0; i < 12; ++i) {
        deep += "\\level " + std::to_string(i);
        set(deep, "depth", REG_DWORD, std::string(4, static_cast<char>(i)));
    }
    for (int i = 0; i < 40; ++i) {
        set(base + "\\wide\\child " + std::to_string(i), "", REG_SZ, std::to_string(i) + '\0');
    }
    set(base + "\\odd [key] name ", "v", REG_BINARY, "\1"s);
    set(base + "\\Schlüssel", "", REG_SZ, "\0"s);
    const std::string before = vh::test::dump(HKEY_CURRENT_USER, "Software");

    std::vector<std::size_t> exported;
    const std::string text =
        vh::export_tree(HKEY_CURRENT_USER, base, [&](std::size_t keys) { exported.push_back(keys); });
    use_store("second.db");
    std::vector<std::size_t> imported;
    const vh::ImportResult result =
        vh::import_text(text, [&](std::size_t keys) { imported.push_back(keys); });

    EXPECT_EQ(vh::test::dump(HKEY_CURRENT_USER, "Software"), before);
    EXPECT_EQ(vh::export_tree(HKEY_CURRENT_USER, base), text);
    const std::size_t key_count = 1 + 12 + 1 + 40 + 2;
    EXPECT_EQ(result.keys, key_count);
    for (const std::vector<std::size_t>& counts : {exported, imported}) {
        ASSERT_EQ(counts.size(), key_count);
        for (std::size_t i = 0; i < counts.size(); ++i) {
            EXPECT_EQ(counts[i], i + 1);
        }
    }

    expect_export_forms(text);
}

TEST_F(RegFile, TreesAsDeepAsThePlatformAllowsGoBothWays)
{
    // 512 levels below the root, the most the platform holds; the walk and
    // the parser keep lists, not stack frames, of what is still to do.
    const std::string path = "Software\\" + vh::test::deep_path(511);
    set(path, "leaf", REG_DWORD, "\1\0\0\0"s);
    const std::string before = vh::test::dump(HKEY_CURRENT_USER, "Software");
    const std::string text = vh::export_tree(HKEY_CURRENT_USER, "Software");
    use_store("second.db");
    EXPECT_EQ(vh::import_text(text).keys, 512u);
    EXPECT_EQ(vh::test::dump(HKEY_CURRENT_USER, "Software"), before);
    vh::import_text(header + "[-HKEY_CURRENT_USER\\Software]\r\n"s);
    EXPECT_FALSE(key_exists("Software"));
}

TEST_F(RegFile, ExportRefusesWhatItCannotWriteFaithfully)
{
    const auto failure = [](const std::string& path) {
        try {
            vh::export_tree(HKEY_CURRENT_USER, path);
        } catch (const vh::RegFileError& error) {
            return std::make_pair(error.status(), std::string(error.what()));
        }
        return std::make_pair(LSTATUS{ERROR_SUCCESS}, std::string("no error"));
    };
    auto [status, message] = failure("Software\\Missing");
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    EXPECT_NE(message.find("HKEY_CURRENT_USER\\Software\\Missing"), std::string::npos) << message;

    set("Software\\Locked\\Inner", "v", REG_DWORD, "\1\0\0\0"s);
    ASSERT_EQ(VhRegSetKeyAccess(HKEY_CURRENT_USER, "Software\\Locked\\Inner", VH_KEY_DENY_READ),
              ERROR_SUCCESS);
    std::tie(status, message) = failure("Software\\Locked");
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);  // not a file that silently lacks the key
    EXPECT_NE(message.find("Locked\\Inner"), std::string::npos) << message;

    set("Software\\Broken", "two\nlines", REG_DWORD, "\1\0\0\0"s);
    std::tie(status, message) = failure("Software\\Broken");
    EXPECT_EQ(status, ERROR_INVALID_NAME);
}

TEST_F(RegFile, AMalformedFileChangesNothing)
{
    // The whole text is parsed before anything is applied.
    int store = 0;
    for (const vh::test::MalformedRegFile& row : vh::test::malformed_reg_files()) {
        use_store("row " + std::to_string(++store) + ".db");
        try {
            vh::import_text(row.text);
            ADD_FAILURE() << "accepted: " << row.text;
        } catch (const vh::RegFileError& error) {
            EXPECT_EQ(error.line(), row.line) << error.what();
            EXPECT_EQ(error.status(), ERROR_SUCCESS) << error.what();
        }
        EXPECT_FALSE(key_exists("Software\\New")) << row.text;
    }
}

TEST_F(RegFile, RemovalLinesRemoveTreesAndValuesAndToleratePriorAbsence)
{
    set("Software\\Old\\a\\deep", "v", REG_DWORD, "\1\0\0\0"s);
    set("Software\\Old\\b", "v", REG_DWORD, "\1\0\0\0"s);
    set("Software\\Keep", "", REG_SZ, "unnamed\0"s);
    set("Software\\Keep", "x", REG_SZ, "x\0"s);
    set("Software\\Keep", "y", REG_SZ, "y\0"s);
    const vh::ImportResult result = vh::import_text(header +
                                                    "[-HKEY_CURRENT_USER\\Software\\Old]\r\n"
                                                    "[-HKEY_CURRENT_USER\\Software\\Never\\There]\r\n\r\n"
                                                    "[HKEY_CURRENT_USER\\Software\\Keep]\r\n"
                                                    "\"x\"=-\r\n"
                                                    "@ = -\r\n"
                                                    "\"missing\"=-\r\n"s);
    EXPECT_FALSE(key_exists("Software\\Old"));
    EXPECT_EQ(vh::test::dump(HKEY_CURRENT_USER, "Software\\Keep"),
              "Software\\Keep\nSoftware\\Keep | y | 1 | 79 00\n");
    EXPECT_EQ(result.removed_keys, 1u);
    EXPECT_EQ(result.removed_values, 2u);
    EXPECT_EQ(result.keys, 1u);
    EXPECT_EQ(result.values, 0u);
}

TEST_F(RegFile, ARefusalStopsTheImportAndNamesKeyAndStatus)
{
    set("Software\\Locked", "v", REG_DWORD, "\1\0\0\0"s);
    ASSERT_EQ(VhRegSetKeyAccess(HKEY_CURRENT_USER, "Software\\Locked", VH_KEY_DENY_WRITE), ERROR_SUCCESS);
    try {
        vh::import_text(header +
                        "[HKEY_CURRENT_USER\\Software\\First]\r\n\"a\"=dword:1\r\n\r\n"
                        "[HKEY_CURRENT_USER\\Software\\Locked\\Child]\r\n\"b\"=dword:2\r\n\r\n"
                        "[HKEY_CURRENT_USER\\Software\\After]\r\n"s);
        ADD_FAILURE() << "a key below a key that refuses writing was created";
    } catch (const vh::RegFileError& error) {
        const std::string message = error.what();
        EXPECT_EQ(error.status(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(error.line(), 6u);
        EXPECT_NE(message.find("HKEY_CURRENT_USER\\Software\\Locked\\Child"), std::string::npos) << message;
        EXPECT_NE(message.find("status 5"), std::string::npos) << message;
    }
    EXPECT_EQ(query(HKEY_CURRENT_USER, "Software\\First", "a"), std::make_pair(REG_DWORD, "\1\0\0\0"s));
    EXPECT_FALSE(key_exists("Software\\After"));
}

}  // namespace
