// Conformance of the profile functions, in the style of Wine's
// dlls/kernel32/tests/profile.c: each case is a row, and every read goes into
// a buffer filled with a sentinel so that the row states exactly which bytes
// the call wrote and which it left alone.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"
#include "tests/support/utf16_file.h"

namespace {

using namespace std::string_view_literals;
using vh::test::read_file;
using vh::test::TempDir;
using vh::test::write_file;

constexpr char sentinel = '\xCC';
constexpr DWORD big = 64;
constexpr DWORD untouched = 0xDEADBEEF;

// A read's count, the last error it left, and its whole buffer: the size
// given to the call and four bytes more.
struct Read {
    DWORD count;
    DWORD error;
    std::string buffer;
};

Read read(const char* section, const char* key, const char* default_value, DWORD size, const char* file)
{
    std::string buffer(size + 4, sentinel);
    SetLastError(untouched);
    const DWORD count = GetPrivateProfileStringA(section, key, default_value, buffer.data(), size, file);
    return {count, GetLastError(), buffer};
}

// The buffer a read should leave: the bytes it wrote, then the sentinel.
std::string written(std::string_view bytes, DWORD size)
{
    std::string buffer(bytes);
    buffer.resize(size + 4, sentinel);
    return buffer;
}

struct ReadRow {
    const char* section;
    const char* key;
    const char* default_value;
    DWORD size;
    DWORD count;
    std::string_view bytes;  // what the call writes into the buffer
    DWORD error;
};

void check_reads(const char* file, const std::vector<ReadRow>& rows)
{
    int row_number = 0;
    for (const ReadRow& row : rows) {
        SCOPED_TRACE("row " + std::to_string(row_number++));
        const Read got = read(row.section, row.key, row.default_value, row.size, file);
        EXPECT_EQ(got.count, row.count);
        EXPECT_EQ(got.buffer, written(row.bytes, row.size));
        EXPECT_EQ(got.error, row.error);
    }
}

// One write and the whole file it must leave (nothing: no file at all).
struct WriteRow {
    const char* section;
    const char* key;
    const char* value;
    std::optional<std::string_view> file_after;
};

void check_writes(const std::string& file, std::initializer_list<WriteRow> rows)
{
    int row_number = 0;
    for (const WriteRow& row : rows) {
        SCOPED_TRACE("row " + std::to_string(row_number++));
        SetLastError(untouched);
        EXPECT_EQ(WritePrivateProfileStringA(row.section, row.key, row.value, file.c_str()), TRUE);
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        ASSERT_EQ(std::filesystem::exists(file), row.file_after.has_value());
        if (row.file_after) {
            EXPECT_EQ(read_file(file), *row.file_after);
        }
    }
}

const std::string sample =
    "; about this file\r\n"
    "orphan=before any section\r\n"
    "[Section1]\r\n"
    "name1=val1\r\n"
    "  Name2 \t=\t val2  \r\n"
    "quoted=\"q v\"\r\n"
    "single='s'\r\n"
    "mismatch=\"m'\r\n"
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
    "later=in a second section of that name\r\n"
    "[]\r\n"
    "=empty key\r\n";

// What reads of single values in the sample find.
const std::vector<ReadRow> sample_values = {
    {"Section1", "name1", "def", big, 4, "val1\0"sv, ERROR_SUCCESS},
    {"SECTION1", "NaMe1", "def", big, 4, "val1\0"sv, ERROR_SUCCESS},
    {" section1\t", " name2 ", "def", big, 4, "val2\0"sv, ERROR_SUCCESS},
    {"Section1", "quoted", "def", big, 3, "q v\0"sv, ERROR_SUCCESS},
    {"Section1", "single", "def", big, 1, "s\0"sv, ERROR_SUCCESS},
    {"Section1", "mismatch", "def", big, 3, "\"m'\0"sv, ERROR_SUCCESS},
    {"Section1", "eq", "def", big, 5, "a=b=c\0"sv, ERROR_SUCCESS},
    {"Section1", "empty", "def", big, 0, "\0"sv, ERROR_SUCCESS},
    {"Section1", "dup", "def", big, 5, "first\0"sv, ERROR_SUCCESS},
    {"section2", "X", "def", big, 1, "1\0"sv, ERROR_SUCCESS},
    {"", "", "def", big, 9, "empty key\0"sv, ERROR_SUCCESS},
    // Not found: a line without "=", a second section of the same name,
    // lines before the first section, a missing section.
    {"Section1", "no equals line", "def", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND},
    {"Section1", "later", "def", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND},
    {"", "orphan", "def", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND},
    {"nosuch", "name1", "def", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND},
    // The default loses trailing spaces only; null is "".
    {"Section1", "missing", "def  ", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND},
    {"Section1", "missing", "  d e \t ", big, 7, "  d e \t\0"sv, ERROR_FILE_NOT_FOUND},
    {"Section1", "missing", nullptr, big, 0, "\0"sv, ERROR_FILE_NOT_FOUND},
    // Sizes: exactly fitting, one short, 2, 1 and 0.
    {"Section1", "name1", "def", 5, 4, "val1\0"sv, ERROR_SUCCESS},
    {"Section1", "name1", "def", 4, 3, "val\0"sv, ERROR_MORE_DATA},
    {"Section1", "name1", "def", 2, 1, "v\0"sv, ERROR_MORE_DATA},
    {"Section1", "name1", "def", 1, 0, "\0"sv, ERROR_MORE_DATA},
    {"Section1", "name1", "def", 0, 0, ""sv, ERROR_MORE_DATA},
    {"Section1", "missing", "default", 4, 3, "def\0"sv, ERROR_MORE_DATA},
};

TEST(ProfileRead, FindsValuesAsWindowsDoes)
{
    TempDir dir;
    const std::string file = dir.file("sample.ini");
    write_file(file, sample);
    check_reads(file.c_str(), sample_values);
}

// What reads of the lists of sections and keys in the sample find.
constexpr std::string_view sample_sections = "Section1\0section2\0SECTION1\0\0"sv;
const std::vector<ReadRow> sample_lists = {
    // Every section, duplicates too; the key is ignored; "[]" would end
    // the list early and is left out.
    {nullptr, nullptr, "def", big, 27, sample_sections, ERROR_SUCCESS},
    {nullptr, "name1", "def", big, 27, sample_sections, ERROR_SUCCESS},
    // Keys of the first section of that name, without comments and
    // lines without "=", duplicates too.
    {"section1", nullptr, "def", big, 52, "name1\0Name2\0quoted\0single\0mismatch\0eq\0empty\0dup\0DUP\0\0"sv,
     ERROR_SUCCESS},
    {"section2", nullptr, "def", big, 2, "x\0\0"sv, ERROR_SUCCESS},
    {"nosuch", nullptr, "def", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND},  // no keys: the default
    // Sizes: with a byte to spare, exactly fitting (counts as cut), one
    // short, cut in a name, 2, 1 and 0.
    {nullptr, nullptr, "", 29, 27, sample_sections, ERROR_SUCCESS},
    {nullptr, nullptr, "", 28, 26, sample_sections, ERROR_MORE_DATA},
    {nullptr, nullptr, "", 27, 25, "Section1\0section2\0SECTION\0\0"sv, ERROR_MORE_DATA},
    {nullptr, nullptr, "", 16, 14, "Section1\0secti\0\0"sv, ERROR_MORE_DATA},
    {"section2", nullptr, "", 3, 1, "x\0\0"sv, ERROR_MORE_DATA},
    {nullptr, nullptr, "", 2, 0, "\0\0"sv, ERROR_MORE_DATA},
    {nullptr, nullptr, "", 1, 0, "\0"sv, ERROR_MORE_DATA},
    {nullptr, nullptr, "", 0, 0, ""sv, ERROR_MORE_DATA},
};

TEST(ProfileRead, ListsNamesAsWindowsDoes)
{
    TempDir dir;
    const std::string file = dir.file("sample.ini");
    write_file(file, sample);
    check_reads(file.c_str(), sample_lists);
}

TEST(ProfileRead, MissingFileReadsAsEmpty)
{
    TempDir dir;
    const std::initializer_list<ReadRow> rows = {
        {"s", "k", "def ", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND},
        {nullptr, nullptr, "def", big, 0, "\0"sv, ERROR_FILE_NOT_FOUND},
        {"s", nullptr, "def", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND},
    };
    check_reads(dir.file("missing.ini").c_str(), rows);
    check_reads(dir.file("no/such/dir.ini").c_str(),
                {{"s", "k", "def", big, 3, "def\0"sv, ERROR_PATH_NOT_FOUND}});
}

TEST(ProfileWrite, BuildsNewFileWithCrLf)
{
    TempDir dir;
    const std::initializer_list<WriteRow> rows = {
        {"App1", "key1", "string1", "[App1]\r\nkey1=string1\r\n"sv},
        {"App1", "key2", "string2", "[App1]\r\nkey1=string1\r\nkey2=string2\r\n"sv},
        {"App2", "key3", "string3", "[App1]\r\nkey1=string1\r\nkey2=string2\r\n[App2]\r\nkey3=string3\r\n"sv},
        {"app1", "KEY1", " new ", "[App1]\r\nkey1= new \r\nkey2=string2\r\n[App2]\r\nkey3=string3\r\n"sv},
        {"App1", "key3", "", "[App1]\r\nkey1= new \r\nkey2=string2\r\nkey3=\r\n[App2]\r\nkey3=string3\r\n"sv},
        {"APP1", "Key2", nullptr, "[App1]\r\nkey1= new \r\nkey3=\r\n[App2]\r\nkey3=string3\r\n"sv},
        {"App1", "key2", nullptr, "[App1]\r\nkey1= new \r\nkey3=\r\n[App2]\r\nkey3=string3\r\n"sv},
        {"App1", nullptr, "ignored", "[App2]\r\nkey3=string3\r\n"sv},
        {"App2", "key3", nullptr, "[App2]\r\n"sv},
        {"", "", "v", "[App2]\r\n[]\r\n=v\r\n"sv},
    };
    check_writes(dir.file("new.ini"), rows);
}

TEST(ProfileWrite, ChangesOnlyTheLinesConcerned)
{
    TempDir dir;
    const std::string lf = dir.file("lf.ini");
    write_file(lf, "; settings\n[one]\na=1\n; about two\n\n[two]\n  b = 2 \nno equals\n");
    const std::initializer_list<WriteRow> rows = {
        {"ONE", "c", "3", "; settings\n[one]\na=1\nc=3\n; about two\n\n[two]\n  b = 2 \nno equals\n"sv},
        {"two", "B", "20", "; settings\n[one]\na=1\nc=3\n; about two\n\n[two]\n  b = 20\nno equals\n"sv},
        {"two", "b", "20", "; settings\n[one]\na=1\nc=3\n; about two\n\n[two]\n  b = 20\nno equals\n"sv},
        {"three", "d", "4",
         "; settings\n[one]\na=1\nc=3\n; about two\n\n[two]\n  b = 20\nno equals\n[three]\nd=4\n"sv},
        {"one", "a", nullptr,
         "; settings\n[one]\nc=3\n; about two\n\n[two]\n  b = 20\nno equals\n[three]\nd=4\n"sv},
        {"two", nullptr, nullptr, "; settings\n[one]\nc=3\n; about two\n\n[three]\nd=4\n"sv},
    };
    check_writes(lf, rows);
}

// A byte-order mark is kept and is no part of the first line; a last line
// without a line break gets one when a line follows it.
TEST(ProfileWrite, KeepsByteOrderMarkAndEndsTheLastLine)
{
    TempDir dir;
    const std::string bom = dir.file("bom.ini");
    write_file(bom, "\xEF\xBB\xBF[s]\r\nk=v");
    check_writes(bom, {{"s", "n", "1", "\xEF\xBB\xBF[s]\r\nk=v\r\nn=1\r\n"sv}});
    check_reads(bom.c_str(), {{"S", "K", "", big, 1, "v\0"sv, ERROR_SUCCESS}});
}

// A write changes the entry that reads find, and a removal removes it: the
// first of its name, as on the platform. What a read finds next is the next
// copy, until the last is gone.
TEST(ProfileWrite, Duplicates)
{
    TempDir dir;
    const std::string dup = dir.file("dup.ini");
    write_file(dup, "[d]\r\nk=1\r\nk=2\r\n[D]\r\nk=3\r\n[e]\r\n");
    check_writes(dup, {{"d", "k", "9", "[d]\r\nk=9\r\nk=2\r\n[D]\r\nk=3\r\n[e]\r\n"sv},
                       {"d", "k", nullptr, "[d]\r\nk=2\r\n[D]\r\nk=3\r\n[e]\r\n"sv}});
    check_reads(dup.c_str(), {{"d", "k", "", big, 1, "2\0"sv, ERROR_SUCCESS}});
    check_writes(dup, {{"d", "k", nullptr, "[d]\r\n[D]\r\nk=3\r\n[e]\r\n"sv}});
    // The key of the second section of the name is not the one reads find.
    check_reads(dup.c_str(), {{"d", "k", "def", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND}});
    check_writes(dup,
                 {{"D", nullptr, nullptr, "[D]\r\nk=3\r\n[e]\r\n"sv}, {"D", nullptr, nullptr, "[e]\r\n"sv}});
}

TEST(ProfileWrite, RefusesWhatWouldNotReadBack)
{
    TempDir dir;
    const std::string file = dir.file("refuse.ini");
    const std::string before = "[s]\r\nk=v\r\n";
    write_file(file, before);
    const struct {
        const char* section;
        const char* key;
        const char* value;
        DWORD error;
    } rows[] = {
        {nullptr, "k", "v", ERROR_FILE_NOT_FOUND},          // no section
        {nullptr, nullptr, nullptr, ERROR_FILE_NOT_FOUND},  // (a cache flush on Windows)
        {"s", "a=b", "v", ERROR_INVALID_PARAMETER},         // would read back as key "a"
        {"s", "k", "two\r\n[lines]", ERROR_INVALID_PARAMETER},
        {"s\n", "k", "v", ERROR_INVALID_PARAMETER},
        {"s", "[x]", "v", ERROR_INVALID_PARAMETER},  // would open section "x"
        {"s", "[x", "v]", ERROR_INVALID_PARAMETER},  // would open section "x=v"
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key == nullptr ? "(null)" : row.key);
        SetLastError(untouched);
        EXPECT_EQ(WritePrivateProfileStringA(row.section, row.key, row.value, file.c_str()), FALSE);
        EXPECT_EQ(GetLastError(), row.error);
    }
    EXPECT_EQ(read_file(file), before);
}

// A UTF-16 file takes names and values through the ANSI code page; bytes
// that are no character of it (in UTF-8, the stand-in's default) would be
// stored as U+FFFD, so the change is refused and the file stays.
TEST(ProfileWrite, UnicodeFileRefusesBytesOutsideTheCodePage)
{
    if (GetACP() != CP_UTF8) {
        GTEST_SKIP() << "every byte is a character of Windows-1252";
    }
    TempDir dir;
    const std::string file = dir.file("unicode.ini");
    const std::string before = vh::test::utf16_file(u"[s]\r\nk=v\r\n");
    write_file(file, before);
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } rows[] = {{"s", "k", "\xFF"},
                {"s", "\xC3", "v"},
                {"\xFE", "k", "v"},
                {"s", "\xFF", nullptr},
                {"\xFF", nullptr, nullptr}};
    for (const auto& row : rows) {
        SetLastError(untouched);
        EXPECT_EQ(WritePrivateProfileStringA(row.section, row.key, row.value, file.c_str()), FALSE);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(read_file(file), before);
    check_writes(file, {{"s", "k", "caf\xC3\xA9", vh::test::utf16_file(u"[s]\r\nk=caf\u00E9\r\n")}});
}

TEST(ProfileWrite, MissingFilesAndDirectories)
{
    TempDir dir;
    const std::string missing = dir.file("missing.ini");
    // Removing from a missing file succeeds and creates nothing.
    check_writes(missing, {{"s", "k", nullptr, std::nullopt}, {"s", nullptr, nullptr, std::nullopt}});
    EXPECT_EQ(WritePrivateProfileStringA(nullptr, "k", "v", missing.c_str()), FALSE);
    EXPECT_FALSE(std::filesystem::exists(missing));

    // A missing directory is not created.
    const std::string nested = dir.file("no/such.ini");
    for (const char* value : {"v", static_cast<const char*>(nullptr)}) {
        SetLastError(untouched);
        EXPECT_EQ(WritePrivateProfileStringA("s", "k", value, nested.c_str()), FALSE);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("no")));

    // An empty name is the current directory itself.
    SetLastError(untouched);
    EXPECT_EQ(WritePrivateProfileStringA("s", "k", "v", ""), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    check_reads("", {{"s", "k", "def", big, 3, "def\0"sv, ERROR_ACCESS_DENIED}});
}

using ScopedEnv = vh::test::ScopedEnvironment;

TEST(ProfilePaths, BareNamesAreInTheCurrentDirectoryAndNullIsWinIni)
{
    TempDir dir;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    EXPECT_EQ(WritePrivateProfileStringA("s", "k", "here", "bare.ini"), TRUE);
    std::filesystem::current_path(previous);
    EXPECT_EQ(read_file(dir.path() / "bare.ini"), "[s]\r\nk=here\r\n");

    {
        const ScopedEnv windir("VORNHALL_WINDIR", dir.file("windows").c_str());
        EXPECT_EQ(WritePrivateProfileStringA("s", "k", "windir", nullptr), TRUE);
        EXPECT_EQ(read_file(dir.path() / "windows" / "win.ini"), "[s]\r\nk=windir\r\n");
        check_reads(nullptr, {{"s", "k", "", big, 6, "windir\0"sv, ERROR_SUCCESS}});
    }
    const ScopedEnv no_windir("VORNHALL_WINDIR", nullptr);
    const ScopedEnv data_home("XDG_DATA_HOME", dir.file("data").c_str());
    EXPECT_EQ(WritePrivateProfileStringA("s", "k", "xdg", nullptr), TRUE);
    EXPECT_EQ(read_file(dir.path() / "data" / "vornhall" / "windows" / "win.ini"), "[s]\r\nk=xdg\r\n");
}

TEST(ProfileBytes, NamesAndValuesAreBytes)
{
    TempDir dir;
    const std::string file = dir.file("bytes.ini");
    ASSERT_EQ(WritePrivateProfileStringA("\xFF\xFE", "k\x80", "\xC3(\xE2\x82", file.c_str()), TRUE);
    const std::initializer_list<ReadRow> rows = {
        {"\xFF\xFE", "K\x80", "", big, 4, "\xC3(\xE2\x82\0"sv, ERROR_SUCCESS},
        {nullptr, nullptr, "", big, 3, "\xFF\xFE\0\0"sv, ERROR_SUCCESS},
    };
    check_reads(file.c_str(), rows);
}

TEST(ProfileWrite, KeepsPermissionsAndSymbolicLinks)
{
    TempDir dir;
    const std::string real = dir.file("real.ini");
    const std::string link = dir.file("link.ini");
    write_file(real, "[s]\n");
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    std::filesystem::create_symlink("real.ini", link);

    ASSERT_EQ(WritePrivateProfileStringA("s", "k", "v", link.c_str()), TRUE);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(read_file(real), "[s]\nk=v\n");
    struct stat info {};
    ASSERT_EQ(stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// The names in a directory.
std::vector<std::string> entries(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(ProfileWrite, FailedWriteLeavesTheOldFile)
{
    TempDir dir;
    const std::string file = dir.file("full.ini");
    const std::string before = "[s]\r\nk=old\r\n";
    write_file(file, before);

    // A child process whose files may not grow past 64 bytes: the new
    // version cannot be written, as on a full disk.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{64, 64};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        const BOOL written_ok =
            WritePrivateProfileStringA("s", "k", std::string(200, 'x').c_str(), file.c_str());
        _exit(written_ok == FALSE && GetLastError() == ERROR_DISK_FULL ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(file), before);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"full.ini"});

    if (geteuid() != 0) {  // permissions do not bind the superuser
        ASSERT_EQ(chmod(file.c_str(), 0444), 0);
        SetLastError(untouched);
        EXPECT_EQ(WritePrivateProfileStringA("s", "k", "new", file.c_str()), FALSE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(read_file(file), before);
    }
}

// ---- Files read before ----------------------------------------------------------

// Runs body in a child process, which has no parsed files of its own; the
// test fails unless body returns true.
template <typename Body>
void in_other_process(const Body& body)
{
    ASSERT_TRUE(vh::test::in_child(body));
}

// Rewrites the file in place with bytes of the same size and puts its
// modification time back, so that only its change time tells.
void rewrite_in_place(const std::string& file, const std::string& bytes)
{
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    ASSERT_EQ(static_cast<std::size_t>(before.st_size), bytes.size());
    in_other_process([&] {
        const int fd = open(file.c_str(), O_WRONLY);
        const bool written = fd >= 0 && pwrite(fd, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size());
        const timespec times[2] = {before.st_atim, before.st_mtim};
        return close(fd) == 0 && written && utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
    });
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// Puts a new file in place of the old one, as writers do.
void replace_by_rename(const std::string& file, const std::string& bytes)
{
    in_other_process([&] {
        write_file(file + ".new", bytes);
        return std::rename((file + ".new").c_str(), file.c_str()) == 0;
    });
}

// Every kind of change to a file read before, which reads must see: in
// place (same inode, size and modification time), by rename, by this
// process's own write, removal, and a change of permissions.
void check_changes_are_seen(const TempDir& dir)
{
    const auto file = [&](const char* name) { return dir.file(name); };
    const auto reads = [](const std::string& path, std::string_view value) {
        const std::string expected = std::string(value) + '\0';
        check_reads(path.c_str(), {{"s", "k", "def", big, DWORD(value.size()), expected, ERROR_SUCCESS}});
    };
    reads(file("in-place.ini"), "old");
    reads(file("in-place.ini"), "old");
    rewrite_in_place(file("in-place.ini"), "[s]\r\nk=new\r\n");
    reads(file("in-place.ini"), "new");

    reads(file("renamed.ini"), "old");
    replace_by_rename(file("renamed.ini"), "[s]\r\nk=renamed\r\n");
    reads(file("renamed.ini"), "renamed");

    reads(file("written.ini"), "old");
    ASSERT_EQ(WritePrivateProfileStringA("s", "k", "mine", file("written.ini").c_str()), TRUE);
    reads(file("written.ini"), "mine");

    reads(file("removed.ini"), "old");
    ASSERT_EQ(std::remove(file("removed.ini").c_str()), 0);
    check_reads(file("removed.ini").c_str(), {{"s", "k", "def", big, 3, "def\0"sv, ERROR_FILE_NOT_FOUND},
                                              {nullptr, nullptr, "", big, 0, "\0"sv, ERROR_FILE_NOT_FOUND}});

    if (geteuid() != 0) {  // permissions do not bind the superuser
        reads(file("locked.ini"), "old");
        ASSERT_EQ(chmod(file("locked.ini").c_str(), 0), 0);
        check_reads(file("locked.ini").c_str(), {{"s", "k", "def", big, 3, "def\0"sv, ERROR_ACCESS_DENIED}});
    }
}

void write_change_files(const TempDir& dir)
{
    for (const char* name : {"in-place.ini", "renamed.ini", "written.ini", "removed.ini", "locked.ini"}) {
        write_file(dir.file(name), "[s]\r\nk=old\r\n");
    }
}

// A file changed within moments of its last change, when its times may
// not tell the versions apart.
TEST(ProfileCache, RecentFilesShowEveryChange)
{
    TempDir dir;
    write_change_files(dir);
    check_changes_are_seen(dir);
}

// Files whose times are well in the past are served from memory until
// they change; that must change nothing a read returns.
TEST(ProfileCache, SettledFilesShowEveryChange)
{
    TempDir dir;
    write_change_files(dir);
    const std::string file = dir.file("sample.ini");
    write_file(file, sample);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));

    for (int pass = 0; pass < 2; ++pass) {  // the first read keeps the file, the second is served
        SCOPED_TRACE("pass " + std::to_string(pass));
        check_reads(file.c_str(), sample_values);
        check_reads(file.c_str(), sample_lists);
    }
    check_changes_are_seen(dir);
}

// Many names, the same ones in other cases, and sections that come again:
// each read finds the first of its name, in more files than are kept.
TEST(ProfileCache, ManyNamesFindTheFirstOfEach)
{
    TempDir dir;
    std::string bytes;
    for (int pass = 0; pass < 2; ++pass) {
        for (int s = 0; s < 200; ++s) {
            bytes += (pass == 0 ? "[Sec" : "[sEC") + std::to_string(s) + "]\n";
            for (int k = 0; k < 20; ++k) {
                bytes += (pass == 0 ? "Key" : "later") + std::to_string(k) + "=" +
                         std::to_string(s * 100 + k) + "\n";
            }
            bytes += "KEY0=duplicate\n;note=kept\n";
        }
    }
    std::vector<std::string> files;
    for (int f = 0; f < 12; ++f) {
        files.push_back(dir.file("many" + std::to_string(f) + ".ini"));
        write_file(files.back(), bytes);
    }
    char buffer[32];
    for (int s = 0; s < 200; s += 7) {
        const std::string section = "SEC" + std::to_string(s);
        for (const std::string& file : files) {
            for (int k = 0; k < 20; k += 3) {
                const std::string key = "kEy" + std::to_string(k);
                GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer, sizeof buffer,
                                         file.c_str());
                ASSERT_EQ(std::string(buffer), std::to_string(s * 100 + k)) << section << " " << key;
            }
            GetPrivateProfileStringA(section.c_str(), "later1", "none", buffer, sizeof buffer, file.c_str());
            EXPECT_EQ(std::string(buffer), "none");
            GetPrivateProfileStringA(section.c_str(), ";NOTE", "", buffer, sizeof buffer, file.c_str());
            EXPECT_EQ(std::string(buffer), "kept");
        }
    }
}

// Readers in several threads while a writer changes the file: each sees
// whole versions, never an older one after a newer.
TEST(ProfileCache, ThreadsSeeVersionsInOrder)
{
    TempDir dir;
    const std::string file = dir.file("shared.ini");
    write_file(file, "[s]\r\nk=0\r\n");
    constexpr int versions = 40;
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    std::vector<int> failures(3, 0);
    for (int& failed : failures) {
        readers.emplace_back([&] {
            int seen = 0;
            while (!done.load()) {
                char value[16];
                GetPrivateProfileStringA("s", "k", "", value, sizeof value, file.c_str());
                const int now = std::atoi(value);
                failed += now < seen || now > versions ? 1 : 0;
                seen = now;
            }
        });
    }
    for (int version = 1; version <= versions; ++version) {
        ASSERT_EQ(WritePrivateProfileStringA("s", "k", std::to_string(version).c_str(), file.c_str()), TRUE);
    }
    done = true;
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(failures, std::vector<int>(3, 0));
    check_reads(file.c_str(), {{"s", "k", "", big, 2, "40\0"sv, ERROR_SUCCESS}});
}

}  // namespace
