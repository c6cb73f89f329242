// iniHandler through its table of operations, on real files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "automation/interfaces.h"
#include "ini/ini_handler.h"
#include "ini/ini_interface.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

namespace vh {
namespace {

using test::read_file;
using test::write_file;

class IniHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::set_environment("VORNHALL_WINDIR", windir.path().string().c_str());
        ini = make_ini_handler();
    }

    Bstr path(const std::string& name) const { return Bstr(from_utf8(dir.file(name))); }

    HRESULT bind(const Bstr& file) { return ini->put_FileName(file.get()); }

    Bstr file_name()
    {
        Bstr name;
        EXPECT_EQ(ini->get_FileName(name.put()), S_OK);
        return name;
    }

    Bstr get(const Bstr& section, const Bstr& key, const Bstr& fallback = Bstr())
    {
        Bstr value;
        EXPECT_EQ(ini->GetValue(section.get(), key.get(), fallback.get(), value.put()), S_OK);
        return value;
    }

    VARIANT_BOOL write(const Bstr& section, const Bstr& key, const Bstr& value)
    {
        VARIANT_BOOL stored = 1;
        EXPECT_EQ(ini->WriteValue(section.get(), key.get(), value.get(), &stored), S_OK);
        return stored;
    }

    std::vector<std::u16string> names(HRESULT listing)
    {
        EXPECT_EQ(listing, S_OK);
        std::vector<std::u16string> result;
        if (!collection) {
            return result;
        }
        LONG count = 0;
        EXPECT_EQ(collection->Count(&count), S_OK);
        for (LONG i = 1; i <= count; ++i) {
            Variant index = Variant::from_int32(i);
            Variant item;
            EXPECT_EQ(collection->Item(&index.get(), item.put()), S_OK);
            EXPECT_EQ(item.kind(), VT_BSTR);
            result.emplace_back(item.to_string().view());
        }
        return result;
    }

    std::vector<std::u16string> sections() { return names(ini->GetAllSections(collection.put())); }
    std::vector<std::u16string> keys(const Bstr& section)
    {
        return names(ini->GetAllKeys(section.get(), collection.put()));
    }

    test::TempDir dir;
    test::TempDir windir;
    ComPtr<_iniHandler> ini;
    ComPtr<_Collection> collection;
};

TEST_F(IniHandlerTest, BindingCreatesAnEmptyFileOrLeavesAnExistingOneUnchanged)
{
    EXPECT_EQ(file_name().view(), u"");
    EXPECT_TRUE(file_name().is_null());

    ASSERT_EQ(bind(path("new.ini")), S_OK);
    struct stat info {};
    ASSERT_EQ(stat(dir.file("new.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(file_name().view(), path("new.ini").view());

    write_file(dir.file("old.ini"), "[a]\nk=v\n");
    ASSERT_EQ(bind(path("old.ini")), S_OK);
    EXPECT_EQ(read_file(dir.file("old.ini")), "[a]\nk=v\n");
}

TEST_F(IniHandlerTest, FailedBindingKeepsThePreviousPath)
{
    EXPECT_EQ(bind(path("missing/dir/a.ini")), error_status(err::path_not_found));
    EXPECT_TRUE(file_name().is_null());
    ASSERT_EQ(bind(path("a.ini")), S_OK);
    // A directory is no profile file, and binding never empties one.
    std::filesystem::create_directory(dir.path() / "folder");
    EXPECT_EQ(bind(path("folder")), error_status(err::path_file_access));
    EXPECT_EQ(bind(Bstr(concat(path("b.ini").view(), Text(u"\0x", 2)).view())),
              error_status(err::bad_file_name));
    EXPECT_FALSE(std::filesystem::exists(dir.file("b.ini")));
    EXPECT_EQ(file_name().view(), path("a.ini").view());
}

TEST_F(IniHandlerTest, ValuesComeBackTrimmedOfSpacesOnlyAndCutAt254)
{
    ASSERT_EQ(bind(path("a.ini")), S_OK);
    EXPECT_EQ(write(Bstr(u"s"), Bstr(u"k"), Bstr(u"  padded value  ")), VARIANT_TRUE);
    EXPECT_EQ(get(Bstr(u"s"), Bstr(u"k")).view(), u"padded value");

    const std::u16string long_value(300, u'x');
    EXPECT_EQ(write(Bstr(u"s"), Bstr(u"long"), Bstr(long_value)), VARIANT_TRUE);
    EXPECT_EQ(get(Bstr(u"s"), Bstr(u"long")).view(), long_value.substr(0, 254));

    // A missing entry gives the default, cut and trimmed like a value: its
    // tabs stay, and an omitted default is the empty string.
    EXPECT_EQ(get(Bstr(u"s"), Bstr(u"none"), Bstr(u" \tdefault\t ")).view(), u"\tdefault\t");
    EXPECT_EQ(get(Bstr(u"s"), Bstr(u"none")).view(), u"");
    EXPECT_EQ(get(Bstr(u"nosection"), Bstr(u"k"), Bstr(u"d")).view(), u"d");
}

TEST_F(IniHandlerTest, NullAndEmptyNamesAreDifferentRequests)
{
    ASSERT_EQ(bind(path("a.ini")), S_OK);
    write_file(dir.file("a.ini"), "[A]\r\nx=1\r\n[B]\r\ny=2\r\n");
    // A null section asks for the section list; an empty one for the
    // section named "".
    EXPECT_EQ(get(Bstr(), Bstr(u"")).view(), Text(u"A\0B\0", 4));
    EXPECT_EQ(get(Bstr(u""), Bstr(u"x"), Bstr(u"none")).view(), u"none");
    // A null key is the key list of the section.
    EXPECT_EQ(get(Bstr(u"A"), Bstr()).view(), Text(u"x\0", 2));
    // A null key of WriteValue removes the section; a null value the entry.
    EXPECT_EQ(write(Bstr(u"B"), Bstr(u"y"), Bstr()), VARIANT_TRUE);
    EXPECT_EQ(keys(Bstr(u"B")), std::vector<std::u16string>{});
    EXPECT_EQ(write(Bstr(u"A"), Bstr(), Bstr(u"")), VARIANT_TRUE);
    EXPECT_EQ(sections(), std::vector<std::u16string>{u"B"});
}

TEST_F(IniHandlerTest, UnboundObjectUsesTheSystemProfile)
{
    EXPECT_EQ(write(Bstr(u"s"), Bstr(u"k"), Bstr(u"v")), VARIANT_TRUE);
    EXPECT_NE(read_file(windir.path() / "win.ini").find("k=v"), std::string::npos);
    EXPECT_EQ(get(Bstr(u"s"), Bstr(u"k")).view(), u"v");
}

TEST_F(IniHandlerTest, WritesThatWouldChangeAnotherEntryAreRefused)
{
    ASSERT_EQ(bind(path("a.ini")), S_OK);
    write_file(dir.file("a.ini"), "[s]\r\nk=keep\r\n");
    const Bstr cut_key(Text(u"k\0x", 3));
    EXPECT_EQ(write(Bstr(u"s"), cut_key, Bstr(u"lost")), VARIANT_FALSE);
    EXPECT_EQ(write(Bstr(u"s"), Bstr(u"k"), Bstr(Text(u"a\0b", 3))), VARIANT_FALSE);
    EXPECT_EQ(write(Bstr(u"s"), Bstr(u"k"), Bstr(u"line\r\n[evil]\r\nx=1")), VARIANT_FALSE);
    EXPECT_EQ(write(Bstr(u"s"), Bstr(u"new\nkey"), Bstr(u"v")), VARIANT_FALSE);
    VARIANT_BOOL removed = 1;
    ASSERT_EQ(ini->DeleteKey(Bstr(u"s").get(), cut_key.get(), &removed), S_OK);
    EXPECT_EQ(removed, VARIANT_FALSE);
    ASSERT_EQ(ini->DeleteSection(Bstr(Text(u"s\0t", 3)).get(), &removed), S_OK);
    EXPECT_EQ(removed, VARIANT_FALSE);
    EXPECT_EQ(read_file(dir.file("a.ini")), "[s]\r\nk=keep\r\n");
}

TEST_F(IniHandlerTest, DeletionsReportWhatTheServiceReports)
{
    ASSERT_EQ(bind(path("a.ini")), S_OK);
    write(Bstr(u"s"), Bstr(u"a"), Bstr(u"1"));
    write(Bstr(u"s"), Bstr(u"b"), Bstr(u"2"));
    VARIANT_BOOL removed = 0;
    ASSERT_EQ(ini->DeleteKey(Bstr(u"s").get(), Bstr(u"a").get(), &removed), S_OK);
    EXPECT_EQ(removed, VARIANT_TRUE);
    EXPECT_EQ(keys(Bstr(u"s")), std::vector<std::u16string>{u"b"});
    ASSERT_EQ(ini->DeleteSection(Bstr(u"s").get(), &removed), S_OK);
    EXPECT_EQ(removed, VARIANT_TRUE);
    EXPECT_TRUE(sections().empty());
}

TEST_F(IniHandlerTest, ListingsKeepTheFileOrderAndDuplicates)
{
    ASSERT_EQ(bind(path("a.ini")), S_OK);
    write_file(dir.file("a.ini"), "[A]\r\n[B]\r\nk=1\r\nk=2\r\nj=3\r\n[A]\r\n[C]\r\n");
    EXPECT_EQ(sections(), (std::vector<std::u16string>{u"A", u"B", u"A", u"C"}));
    EXPECT_EQ(keys(Bstr(u"B")), (std::vector<std::u16string>{u"k", u"k", u"j"}));
    EXPECT_TRUE(keys(Bstr(u"missing")).empty());
    // A null section lists the sections, as GetAllSections does.
    EXPECT_EQ(keys(Bstr()), sections());

    ASSERT_EQ(bind(path("none.ini")), S_OK);
    std::filesystem::remove(dir.file("none.ini"));
    EXPECT_TRUE(sections().empty());
}

TEST_F(IniHandlerTest, ListingThatDoesNotFitEndsWithItsLastNameCut)
{
    ASSERT_EQ(bind(path("a.ini")), S_OK);
    // 30 sections of 12 characters take 13 bytes each with their NULs;
    // 253 fit: 19 whole names (247 bytes) and 6 bytes of the 20th.
    std::string content;
    for (int i = 0; i < 30; ++i) {
        content += "[section-" + std::to_string(1000 + i) + "]\r\n";
    }
    write_file(dir.file("a.ini"), content);
    const auto listed = sections();
    ASSERT_EQ(listed.size(), 20u);
    EXPECT_EQ(listed[18], u"section-1018");
    EXPECT_EQ(listed[19], u"sectio");
    // The same reply through GetValue counts 253 bytes.
    EXPECT_EQ(get(Bstr(), Bstr(u"")).size(), 253u);
}

TEST_F(IniHandlerTest, FileNameComesBackAsTheServiceReceivedIt)
{
    // The ANSI code page here is UTF-8: a lone surrogate cannot be
    // represented and comes back as the replacement character.
    const Bstr odd(concat(path("a").view(), Text(u"\xD800.ini", 5)).view());
    ASSERT_EQ(bind(odd), S_OK);
    EXPECT_EQ(file_name().view(), odd.view());
    get(Bstr(u"s"), Bstr(u"k"));
    EXPECT_EQ(file_name().view(), concat(path("a").view(), u"\uFFFD.ini").view());
}

TEST_F(IniHandlerTest, ObjectsAreIndependent)
{
    ASSERT_EQ(bind(path("first.ini")), S_OK);
    auto other = make_ini_handler();
    ASSERT_EQ(other->put_FileName(path("second.ini").get()), S_OK);
    EXPECT_EQ(write(Bstr(u"s"), Bstr(u"k"), Bstr(u"one")), VARIANT_TRUE);
    VARIANT_BOOL stored = 0;
    ASSERT_EQ(other->WriteValue(Bstr(u"s").get(), Bstr(u"k").get(), Bstr(u"two").get(), &stored), S_OK);
    EXPECT_EQ(get(Bstr(u"s"), Bstr(u"k")).view(), u"one");
    EXPECT_EQ(file_name().view(), path("first.ini").view());
    EXPECT_NE(read_file(dir.file("second.ini")).find("k=two"), std::string::npos);
}

TEST_F(IniHandlerTest, FourProcessesWritingOneFileLoseNoEntry)
{
    ASSERT_EQ(bind(path("shared.ini")), S_OK);
    const Bstr file = file_name();
    std::vector<pid_t> children;
    for (int p = 0; p < 4; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto writer = make_ini_handler();
            int failures = writer->put_FileName(file.get()) == S_OK ? 0 : 1;
            for (int i = 0; i < 250; ++i) {
                const Bstr key(from_utf8("p" + std::to_string(p) + "k" + std::to_string(i)));
                VARIANT_BOOL stored = 0;
                writer->WriteValue(Bstr(u"shared").get(), key.get(), decimal(i).get(), &stored);
                failures += stored == VARIANT_TRUE ? 0 : 1;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string content = read_file(dir.file("shared.ini"));
    int found = 0;
    for (int p = 0; p < 4; ++p) {
        for (int i = 0; i < 250; ++i) {
            const std::string line =
                "p" + std::to_string(p) + "k" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
            found += content.find(line) != std::string::npos ? 1 : 0;
        }
    }
    EXPECT_EQ(found, 1000);
}

}  // namespace
}  // namespace vh
