// What a profile write does to the file beyond its text: which files it may
// write whatever their folder allows, what a rewrite keeps (owner, group,
// permissions, extended attributes and ACLs, hard links, symbolic links), in
// which order it writes and flushes, and what readers see meanwhile.
//
// The permission cases make files of other users, so they run as root, with
// the writer in a child process as the unprivileged user (CI runs as root).
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using vh::test::as_unprivileged_user;
using vh::test::read_file;
using vh::test::TempDir;
using vh::test::unprivileged_uid;
using vh::test::write_file;

constexpr gid_t staff = 4242;  // a group the unprivileged writer may be given
constexpr uid_t owner = 4243;  // a user who owns files and never writes them

// A write that says why it failed, from a child process too.
bool write_entry(const char* section, const char* key, const char* value, const std::string& file)
{
    if (WritePrivateProfileStringA(section, key, value, file.c_str()) != FALSE) {
        return true;
    }
    std::fprintf(stderr, "writing [%s] %s in %s failed: error %u\n", section,
                 key == nullptr ? "(section)" : key, file.c_str(), static_cast<unsigned>(GetLastError()));
    return false;
}

struct stat status_of(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

// A file with these bytes, owner, group and permissions.
void make_file(const std::string& path, const std::string& bytes, uid_t uid, gid_t gid, mode_t mode)
{
    write_file(path, bytes);
    ASSERT_EQ(chown(path.c_str(), uid, gid), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

void make_folder(const std::string& path, mode_t mode, gid_t gid = 0)
{
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    ASSERT_EQ(chown(path.c_str(), 0, gid), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);  // after chown, which would drop a set-group bit
}

// The file is still the same inode with the same owner, group and mode.
void expect_same_file(const std::string& path, const struct stat& before)
{
    const struct stat after = status_of(path);
    EXPECT_EQ(after.st_ino, before.st_ino) << path;
    EXPECT_EQ(after.st_uid, before.st_uid) << path;
    EXPECT_EQ(after.st_gid, before.st_gid) << path;
    EXPECT_EQ(after.st_mode, before.st_mode) << path;
}

// A temporary directory others may enter, as /etc and /srv are.
class SharedDir : public TempDir {
public:
    SharedDir() { chmod(path().c_str(), 0755); }
};

#define REQUIRE_ROOT()                                                                       \
    if (!vh::test::running_as_root()) {                                                      \
        GTEST_SKIP() << "makes files of other users and writes as another user: needs root"; \
    }

TEST(ProfileFiles, FilesTheUserMayWriteAreWrittenWhateverTheFolderAllows)
{
    REQUIRE_ROOT();
    SharedDir dir;
    // A folder only root may write, holding a file its group may write (as
    // in /etc), and a sticky folder anyone may write, holding root's file
    // that anyone may write: the writer can neither make a new file beside
    // the first nor rename over the second.
    make_folder(dir.file("closed"), 0755);
    make_folder(dir.file("sticky"), 01777);
    const std::string closed = dir.file("closed/shared.ini");
    const std::string sticky = dir.file("sticky/open.ini");
    make_file(closed, "[s]\r\nk=old\r\nother=1\r\n", 0, staff, 0664);
    make_file(sticky, "[s]\r\nk=old\r\n", 0, 0, 0666);
    const struct stat closed_before = status_of(closed);
    const struct stat sticky_before = status_of(sticky);

    ASSERT_TRUE(as_unprivileged_user({staff}, [&] {
        return write_entry("s", "k", "a longer value than before", closed) &&
               write_entry("s", "other", nullptr, closed) && write_entry("s", "k", "new", sticky) &&
               write_entry("t", "added", "1", sticky) && write_entry("t", nullptr, nullptr, sticky);
    }));
    EXPECT_EQ(read_file(closed), "[s]\r\nk=a longer value than before\r\n");
    EXPECT_EQ(read_file(sticky), "[s]\r\nk=new\r\n");
    expect_same_file(closed, closed_before);
    expect_same_file(sticky, sticky_before);
    // Nothing was left beside them.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("closed")), {}), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("sticky")), {}), 1);
}

TEST(ProfileFiles, RewritesKeepOwnerGroupAndPermissions)
{
    REQUIRE_ROOT();
    SharedDir dir;
    make_folder(dir.file("open"), 0777);
    make_folder(dir.file("setgid"), 02777, staff + 2);
    // A writer in the file's group who may not give files away: the group
    // stays, the owner becomes the writer.
    const std::string grouped = dir.file("open/grouped.ini");
    // The same in a folder whose group new files take.
    const std::string inherited = dir.file("setgid/grouped.ini");
    // A writer outside the file's group, writing it as anyone may: a new file
    // could keep neither owner nor group, so the file is rewritten in place.
    const std::string foreign = dir.file("open/foreign.ini");
    // Root keeps everything.
    const std::string owned = dir.file("open/owned.ini");
    make_file(grouped, "[s]\r\n", 0, staff, 0664);
    make_file(inherited, "[s]\r\n", 0, staff, 0664);
    make_file(foreign, "[s]\r\n", 0, staff, 0666);
    make_file(owned, "[s]\r\n", owner, staff, 0640);
    const struct stat foreign_before = status_of(foreign);
    const struct stat owned_before = status_of(owned);

    ASSERT_TRUE(as_unprivileged_user({staff}, [&] {
        return write_entry("s", "k", "v", grouped) && write_entry("s", "k", "v", inherited);
    }));
    ASSERT_TRUE(as_unprivileged_user({}, [&] { return write_entry("s", "k", "v", foreign); }));
    ASSERT_TRUE(write_entry("s", "k", "v", owned));

    for (const std::string& file : {grouped, inherited}) {
        const struct stat after = status_of(file);
        EXPECT_EQ(after.st_uid, unprivileged_uid) << file;
        EXPECT_EQ(after.st_gid, staff) << file;
        EXPECT_EQ(after.st_mode & 07777, 0664u) << file;
    }
    expect_same_file(foreign, foreign_before);
    const struct stat owned_after = status_of(owned);
    EXPECT_EQ(owned_after.st_uid, owner);
    EXPECT_EQ(owned_after.st_gid, staff);
    EXPECT_EQ(owned_after.st_mode, owned_before.st_mode);
    for (const std::string& file : {grouped, inherited, foreign, owned}) {
        EXPECT_EQ(read_file(file), "[s]\r\nk=v\r\n") << file;
    }
}

// A POSIX access ACL as the kernel stores it in system.posix_acl_access:
// the owner rw, the user `owner` rw, the group r, mask rw, others r.
std::string access_acl()
{
    struct Entry {
        std::uint16_t tag;
        std::uint16_t permissions;
        std::uint32_t id;
    };
    constexpr std::uint32_t none = 0xFFFFFFFF;
    const Entry entries[] = {
        {0x01, 6, none}, {0x02, 6, owner}, {0x04, 4, none}, {0x10, 6, none}, {0x20, 4, none}};
    std::string bytes("\x02\x00\x00\x00", 4);  // version 2, little-endian like the fields
    for (const Entry& entry : entries) {
        bytes.append(reinterpret_cast<const char*>(&entry), sizeof entry);
    }
    return bytes;
}

std::string attribute(const std::string& path, const char* name)
{
    std::string value(256, '\0');
    const ssize_t size = getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return size < 0 ? "(none)" : value;
}

TEST(ProfileFiles, RewritesKeepExtendedAttributesAndAcls)
{
    TempDir dir;
    const std::string file = dir.file("labelled.ini");
    write_file(file, "[s]\r\n");
    if (setxattr(file.c_str(), "user.vornhall.note", "kept", 4, 0) != 0 ||
        setxattr(file.c_str(), "system.posix_acl_access", access_acl().data(), access_acl().size(), 0) != 0) {
        GTEST_SKIP() << "the temporary folder's file system has no extended attributes or ACLs (errno "
                     << errno << ")";
    }
    // A default ACL of the folder, which a new file there would inherit.
    const std::string plain = dir.file("plain.ini");
    write_file(plain, "[s]\r\n");
    ASSERT_EQ(
        setxattr(dir.path().c_str(), "system.posix_acl_default", access_acl().data(), access_acl().size(), 0),
        0);
    const mode_t mode = status_of(file).st_mode;

    ASSERT_TRUE(write_entry("s", "k", "v", file));
    ASSERT_TRUE(write_entry("s", "k", "v", plain));
    EXPECT_EQ(attribute(file, "user.vornhall.note"), "kept");
    EXPECT_EQ(attribute(file, "system.posix_acl_access"), access_acl());
    EXPECT_EQ(status_of(file).st_mode, mode);
    EXPECT_EQ(attribute(plain, "system.posix_acl_access"), "(none)");
    EXPECT_EQ(read_file(file), "[s]\r\nk=v\r\n");
}

TEST(ProfileFiles, HardLinksStayOneFile)
{
    TempDir dir;
    const std::string file = dir.file("settings.ini");
    const std::string other = dir.file("other-name.ini");
    write_file(file, "[s]\r\nk=old\r\ngone=1\r\n");
    ASSERT_EQ(link(file.c_str(), other.c_str()), 0);
    const struct stat before = status_of(file);

    ASSERT_TRUE(write_entry("s", "k", "a longer value", file));
    EXPECT_EQ(read_file(other), "[s]\r\nk=a longer value\r\ngone=1\r\n");
    ASSERT_TRUE(write_entry("s", "gone", nullptr, other));
    ASSERT_TRUE(write_entry("s", "k", "v", other));
    EXPECT_EQ(read_file(file), "[s]\r\nk=v\r\n");
    expect_same_file(other, before);
    EXPECT_EQ(status_of(file).st_nlink, 2u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(ProfileFiles, FailedRewriteInPlaceLeavesTheOldFile)
{
    TempDir dir;
    const std::string file = dir.file("full.ini");
    const std::string before = "[s]\r\nk=old\r\n";
    write_file(file, before);
    ASSERT_EQ(link(file.c_str(), dir.file("link.ini").c_str()), 0);
    // A child whose files may not grow past 64 bytes, as on a full disk.
    EXPECT_TRUE(vh::test::in_child([&] {
        const rlimit limit{64, 64};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        const BOOL written =
            WritePrivateProfileStringA("s", "k", std::string(200, 'x').c_str(), file.c_str());
        return written == FALSE && GetLastError() == ERROR_DISK_FULL;
    }));
    EXPECT_EQ(read_file(file), before);
    EXPECT_EQ(read_file(dir.file("link.ini")), before);
}

TEST(ProfileFiles, SymbolicLinksAreFollowedAsOpenFollowsThem)
{
    TempDir dir;
    // A link to a missing file: the write makes the file it names, as
    // open() does, and the link stays.
    const std::string link = dir.file("link.ini");
    std::filesystem::create_directory(dir.file("real"));
    std::filesystem::create_symlink("real/target.ini", link);
    ASSERT_TRUE(write_entry("s", "k", "v", link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(read_file(dir.file("real/target.ini")), "[s]\r\nk=v\r\n");

    // Later writes replace the file where it is, beside it, never the link.
    ASSERT_TRUE(write_entry("s", "k", "w", link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(read_file(dir.file("real/target.ini")), "[s]\r\nk=w\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("real")), {}), 1);
}

TEST(ProfileFiles, LinksOfOtherUsersInStickyFoldersAreRefusedByTheKernel)
{
    REQUIRE_ROOT();
    if (read_file("/proc/sys/fs/protected_symlinks").rfind('1', 0) != 0) {
        GTEST_SKIP() << "the kernel does not protect symbolic links here (fs.protected_symlinks is 0)";
    }
    SharedDir dir;
    make_folder(dir.file("sticky"), 01777);
    const std::string target = dir.file("victim.ini");
    write_file(target, "[s]\r\nk=old\r\n");
    // Another user's link in a sticky folder anyone may write: following it
    // is what the kernel refuses.
    const std::string link = dir.file("sticky/planted.ini");
    std::filesystem::create_symlink(target, link);
    ASSERT_EQ(lchown(link.c_str(), unprivileged_uid, vh::test::unprivileged_gid), 0);

    SetLastError(0);
    EXPECT_EQ(WritePrivateProfileStringA("s", "k", "new", link.c_str()), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read_file(target), "[s]\r\nk=old\r\n");
}

// The record of file operations of one write.
std::string traced_write(const char* section, const char* key, const char* value, const std::string& file,
                         DWORD flags)
{
    VhFaultTrace(VH_TRACE_FILES | flags);
    EXPECT_TRUE(write_entry(section, key, value, file));
    std::string record(VhFaultTraced(nullptr, 0) + 1, '\0');
    record.resize(VhFaultTraced(record.data(), static_cast<DWORD>(record.size())));
    VhFaultTrace(0);
    return record;
}

TEST(ProfileFiles, FlushesComeInThePromisedOrder)
{
    TempDir dir;
    const std::string file = dir.file("a.ini");
    write_file(file, "[s]\r\nk=old\r\n");
    // On a file system that may record a rename before the renamed file's
    // data: the new file's data is flushed before the rename, so a power cut
    // leaves the old version or the new one. The folder is not flushed.
    EXPECT_EQ(traced_write("s", "k", "new", file, VH_TRACE_UNORDERED),
              "create .a.ini.vhtmp\nwrite .a.ini.vhtmp\nsync .a.ini.vhtmp\nrename .a.ini.vhtmp a.ini\n");
    // Where the file system orders them itself, the flush is its own.
    const std::string here = traced_write("s", "k", "newer", file, 0);
    EXPECT_TRUE(here == "create .a.ini.vhtmp\nwrite .a.ini.vhtmp\nrename .a.ini.vhtmp a.ini\n" ||
                here ==
                    "create .a.ini.vhtmp\nwrite .a.ini.vhtmp\nsync .a.ini.vhtmp\nrename .a.ini.vhtmp a.ini\n")
        << here;

    // In place: space first for a longer file, the bytes from the first
    // change on, then the flush; a shorter one is cut after the write.
    ASSERT_EQ(link(file.c_str(), dir.file("b.ini").c_str()), 0);
    EXPECT_EQ(traced_write("s", "k", "longest", file, 0), "reserve a.ini\nwrite a.ini\nsync a.ini\n");
    EXPECT_EQ(traced_write("s", "k", nullptr, file, 0), "write a.ini\ntruncate a.ini\nsync a.ini\n");
    EXPECT_EQ(read_file(dir.file("b.ini")), "[s]\r\n");
}

// Readers in several threads while a writer rewrites a file in place with
// values of changing lengths: each read finds the entry whole.
TEST(ProfileFiles, ReadersSeeWholeVersionsOfAFileRewrittenInPlace)
{
    TempDir dir;
    const std::string file = dir.file("shared.ini");
    write_file(file, "[s]\r\nk=0:\r\nlast=end\r\n");
    ASSERT_EQ(link(file.c_str(), dir.file("other.ini").c_str()), 0);
    constexpr int versions = 60;
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    std::vector<int> failures(2, 0);
    for (int& failed : failures) {
        readers.emplace_back([&] {
            while (!done.load()) {
                char value[512];
                char last[16];
                GetPrivateProfileStringA("s", "k", "", value, sizeof value, file.c_str());
                GetPrivateProfileStringA("s", "last", "", last, sizeof last, file.c_str());
                const std::string text = value;
                const std::size_t colon = text.find(':');
                const bool whole = colon != std::string::npos &&
                                   text.substr(colon + 1) == std::string(std::atoi(value) % 7 * 40, 'x');
                failed += whole && std::string(last) == "end" ? 0 : 1;
            }
        });
    }
    for (int version = 1; version <= versions; ++version) {
        const std::string value = std::to_string(version) + ":" + std::string(version % 7 * 40, 'x');
        ASSERT_TRUE(write_entry("s", "k", value.c_str(), file));
    }
    done = true;
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(failures, std::vector<int>(2, 0));
}

}  // namespace
