// Several processes sharing one registry store.
//
// A parent case starts fresh copies of this program (exec, not a bare fork:
// a child must not inherit the parent's open store) that run only
// ChildProcess.Task, with the task named in the environment, against the
// parent's store file; then the parent checks what they left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/environment.h"
#include "tests/support/store_check.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char task_variable[] = "VORNHALL_TEST_TASK";
constexpr char top[] = "Software\\Vornhall Processes";
constexpr int keys_per_writer = 40;

// Starts a child for `task`; it reaches the store by `store` when given
// (another name of the same file), else as the parent does.
pid_t start_child(const std::string& task, const std::string& store = {})
{
    const std::string parents_store = std::getenv("VORNHALL_REGISTRY");
    vh::test::set_environment(task_variable, task.c_str());
    if (!store.empty()) {
        vh::test::set_environment("VORNHALL_REGISTRY", store.c_str());
    }
    char program[] = "/proc/self/exe";
    char filter[] = "--gtest_filter=ChildProcess.Task";
    char brief[] = "--gtest_brief=1";
    char* argv[] = {program, filter, brief, nullptr};
    pid_t pid = -1;
    const int started = posix_spawn(&pid, program, nullptr, nullptr, argv, environ);
    vh::test::unset_environment(task_variable);
    vh::test::set_environment("VORNHALL_REGISTRY", parents_store.c_str());
    return started == 0 ? pid : -1;
}

// The child's exit status (0 when its case passed), -1 when it did not exit.
int wait_for(pid_t pid)
{
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

LSTATUS create(const std::string& path, HKEY* key)
{
    return RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key,
                           nullptr);
}

DWORD count_subkeys(HKEY key)
{
    DWORD count = 0;
    char name[64];
    DWORD length = sizeof(name);
    while (RegEnumKeyExA(key, count, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        ++count;
        length = sizeof(name);
    }
    return count;
}

DWORD count_values(HKEY key)
{
    DWORD count = 0;
    char name[64];
    DWORD length = sizeof(name);
    while (RegEnumValueA(key, count, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        ++count;
        length = sizeof(name);
    }
    return count;
}

using vh::test::store_integrity;

// What a child does: "writer:N" creates its own keys and values and adds to
// one value list that all writers share; "add:NAME" creates one key.
TEST(ChildProcess, Task)
{
    const char* task = std::getenv(task_variable);
    if (task == nullptr) {
        GTEST_SKIP() << "run by the other cases only";
    }
    const std::string what(task);
    if (what.rfind("set:", 0) == 0) {
        HKEY key = nullptr;
        ASSERT_EQ(create(std::string(top) + "\\Remembered", &key), ERROR_SUCCESS);
        const DWORD number = static_cast<DWORD>(std::stoul(what.substr(4)));
        ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        return;
    }
    if (what.rfind("grow:", 0) == 0) {
        // The value v becomes a REG_DWORD of the given number of bytes.
        HKEY key = nullptr;
        ASSERT_EQ(create(std::string(top) + "\\Remembered", &key), ERROR_SUCCESS);
        const std::string bytes(std::stoul(what.substr(5)), '\x5A');
        ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        return;
    }
    if (what == "refused") {
        // Reaching the store by a second name (a hard link) is refused.
        HKEY key = nullptr;
        EXPECT_EQ(create(std::string(top) + "\\Remembered", &key), static_cast<LSTATUS>(ERROR_CANTOPEN));
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key),
                  static_cast<LSTATUS>(ERROR_CANTOPEN));
        return;
    }
    if (what == "remove") {
        ASSERT_EQ(RegDeleteValueA(HKEY_CURRENT_USER, nullptr), ERROR_SUCCESS);  // the root's unnamed value
        ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(top) + "\\Remembered").c_str()),
                  ERROR_SUCCESS);
        return;
    }
    if (what.rfind("add:", 0) == 0) {
        HKEY key = nullptr;
        ASSERT_EQ(create(std::string(top) + "\\Listing\\" + what.substr(4), &key), ERROR_SUCCESS);
        RegCloseKey(key);
        return;
    }
    ASSERT_EQ(what.rfind("writer:", 0), 0u);
    const std::string me = "P" + what.substr(7);
    HKEY shared = nullptr;
    ASSERT_EQ(create(std::string(top) + "\\Shared", &shared), ERROR_SUCCESS);
    for (int i = 0; i < keys_per_writer; ++i) {
        const std::string name = me + "K" + std::to_string(i);
        HKEY key = nullptr;
        ASSERT_EQ(create(std::string(top) + "\\" + me + "\\" + name, &key), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, "Index", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                                 static_cast<DWORD>(name.size() + 1)),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(shared, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4),
                  ERROR_SUCCESS);
    }
    RegCloseKey(shared);
}

class RegistryProcessTest : public testing::Test {
protected:
    void SetUp() override { vh::test::set_environment("VORNHALL_REGISTRY", m_file.c_str()); }

    static DWORD number(HKEY key)
    {
        DWORD value = 0;
        DWORD size = sizeof value;
        EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
                  ERROR_SUCCESS);
        return value;
    }

    vh::test::TempDir m_dir;
    std::string m_file = m_dir.file("registry.db");
};

TEST_F(RegistryProcessTest, FourWritersAtOnceLoseNothing)
{
    std::vector<pid_t> children;
    for (int i = 0; i < 4; ++i) {
        children.push_back(start_child("writer:" + std::to_string(i)));
    }
    for (const pid_t child : children) {
        EXPECT_EQ(wait_for(child), 0);
    }
    for (int i = 0; i < 4; ++i) {
        HKEY mine = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(top) + "\\P" + std::to_string(i)).c_str(), 0,
                                KEY_READ, &mine),
                  ERROR_SUCCESS);
        EXPECT_EQ(count_subkeys(mine), static_cast<DWORD>(keys_per_writer));
        for (int k = 0; k < keys_per_writer; ++k) {
            HKEY key = nullptr;
            const std::string name = "P" + std::to_string(i) + "K" + std::to_string(k);
            ASSERT_EQ(RegOpenKeyExA(mine, name.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
            EXPECT_EQ(count_values(key), 2u) << name;
            RegCloseKey(key);
        }
        RegCloseKey(mine);
    }
    HKEY shared = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(top) + "\\Shared").c_str(), 0, KEY_READ, &shared),
              ERROR_SUCCESS);
    EXPECT_EQ(count_values(shared), static_cast<DWORD>(4 * keys_per_writer));
    RegCloseKey(shared);
    EXPECT_EQ(store_integrity(m_file), "ok");
}

TEST_F(RegistryProcessTest, AListingSeesAnotherProcessBetweenSteps)
{
    HKEY listing = nullptr;
    ASSERT_EQ(create(std::string(top) + "\\Listing", &listing), ERROR_SUCCESS);
    HKEY key = nullptr;
    for (const char* name : {"A", "C"}) {
        ASSERT_EQ(RegCreateKeyExA(listing, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    char name[8];
    DWORD length = sizeof(name);
    ASSERT_EQ(RegEnumKeyExA(listing, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "A");
    ASSERT_EQ(wait_for(start_child("add:B")), 0);
    length = sizeof(name);
    ASSERT_EQ(RegEnumKeyExA(listing, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "B");
    RegCloseKey(listing);
}

// A process answers reads from what it has read before while no process has
// changed the store: every change by another one must still be seen.
TEST_F(RegistryProcessTest, ReadsSeeEveryChangeByAnotherProcess)
{
    ASSERT_EQ(wait_for(start_child("set:1")), 0);
    ASSERT_EQ(RegSetValueExA(HKEY_CURRENT_USER, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_SUCCESS);
    HKEY key = nullptr;
    const std::string path = std::string(top) + "\\Remembered";
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(number(key), 1u);
    EXPECT_EQ(number(key), 1u);
    ASSERT_EQ(wait_for(start_child("set:2")), 0);
    EXPECT_EQ(number(key), 2u);

    ASSERT_EQ(wait_for(start_child("remove")), 0);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    HKEY again = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &again), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, nullptr, nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

// A program that is not this one, changing the store with SQLite directly,
// is seen at once too: what tells a process that its memory is out of date
// is SQLite's own record of commits.
TEST_F(RegistryProcessTest, AChangeByAnotherSqliteProgramIsSeenAtOnce)
{
    ASSERT_EQ(wait_for(start_child("set:1")), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(top) + "\\Remembered").c_str(), 0, KEY_ALL_ACCESS,
                            &key),
              ERROR_SUCCESS);
    EXPECT_EQ(number(key), 1u);
    EXPECT_EQ(number(key), 1u);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(m_file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "UPDATE vals SET data = x'07000000'", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(number(key), 7u);
    sqlite3_close(db);

    const DWORD eight = 8;
    ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&eight), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(number(key), 8u);
    ASSERT_EQ(wait_for(start_child("set:9")), 0);
    EXPECT_EQ(number(key), 9u);
    RegCloseKey(key);
}

// Another process reaching the same file through a symbolic link: its
// changes are seen, and a value that grew meanwhile is never copied past
// the buffer a caller gave for the size it had.
TEST_F(RegistryProcessTest, ChangesThroughASymbolicLinkAreSeenAndNeverOverrunABuffer)
{
    const std::string link = m_dir.file("link.db");
    ASSERT_EQ(wait_for(start_child("set:1")), 0);
    ASSERT_EQ(symlink(m_file.c_str(), link.c_str()), 0);
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(top) + "\\Remembered").c_str(), 0, KEY_READ, &key),
        ERROR_SUCCESS);
    EXPECT_EQ(number(key), 1u);
    ASSERT_EQ(wait_for(start_child("set:2", link)), 0);
    EXPECT_EQ(number(key), 2u);

    // Listed at 4 bytes; then another process makes it 100,000.
    char name[8];
    DWORD length = sizeof name;
    DWORD size = 0;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(wait_for(start_child("grow:100000", link)), 0);
    std::vector<BYTE> buffer(4 + 4096, 0xA5);
    DWORD type = 0;
    size = 4;
    length = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 100000u);
    size = 5000;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 100000u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xA5), static_cast<std::ptrdiff_t>(buffer.size()));
    RegCloseKey(key);
}

// A second name made by a hard link would give SQLite two logs for one file:
// opening the store by either name is refused while it has two, and a
// process that opened it before writes nothing until it has one again.
TEST_F(RegistryProcessTest, AStoreWithASecondNameIsRefused)
{
    ASSERT_EQ(wait_for(start_child("set:1")), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(top) + "\\Remembered").c_str(), 0, KEY_ALL_ACCESS,
                            &key),
              ERROR_SUCCESS);
    EXPECT_EQ(number(key), 1u);
    const std::string second = m_dir.file("second.db");
    ASSERT_EQ(link(m_file.c_str(), second.c_str()), 0);
    EXPECT_EQ(wait_for(start_child("refused", second)), 0);
    EXPECT_EQ(wait_for(start_child("refused")), 0);
    const DWORD two = 2;
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), 4),
              static_cast<LSTATUS>(ERROR_CANTOPEN));

    ASSERT_EQ(unlink(second.c_str()), 0);
    ASSERT_EQ(wait_for(start_child("set:3")), 0);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(top) + "\\Remembered").c_str(), 0, KEY_ALL_ACCESS,
                            &key),
              ERROR_SUCCESS);
    EXPECT_EQ(number(key), 3u);
    RegCloseKey(key);
}

// The first release counted changes in a file beside the store; nothing
// depends on such a file now, whatever happens to it.
TEST_F(RegistryProcessTest, AFileBesideTheStoreCannotHideChangesOrEndAProcess)
{
    ASSERT_EQ(wait_for(start_child("set:1")), 0);
    const std::string counter = m_file + "-changes";
    vh::test::write_file(counter, std::string(4096, '\0'));
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(top) + "\\Remembered").c_str(), 0, KEY_READ, &key),
        ERROR_SUCCESS);
    EXPECT_EQ(number(key), 1u);
    ASSERT_EQ(truncate(counter.c_str(), 0), 0);
    ASSERT_EQ(wait_for(start_child("set:2")), 0);
    EXPECT_EQ(number(key), 2u);
    ASSERT_EQ(unlink(counter.c_str()), 0);
    ASSERT_EQ(mkdir(counter.c_str(), 0), 0);  // cannot be opened by anyone
    ASSERT_EQ(wait_for(start_child("set:3")), 0);
    EXPECT_EQ(number(key), 3u);
    RegCloseKey(key);
    rmdir(counter.c_str());
}

// Processes that meet a store file nobody has made yet, all at the same
// moment: one makes it a store while the others wait for it, and every one
// of them opens it (none may take the half-made file for a foreign one).
TEST_F(RegistryProcessTest, ProcessesMeetingANewStoreAtOnceAllOpenIt)
{
    constexpr int rounds = 20;
    constexpr int processes = 8;
    for (int round = 0; round < rounds; ++round) {
        const std::string file = m_dir.file("new" + std::to_string(round) + ".db");
        vh::test::set_environment("VORNHALL_REGISTRY", file.c_str());
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < processes; ++i) {
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(gate[1]);
                char c = 0;
                (void)read(gate[0], &c, 1);  // returns when the parent closes the gate
                HKEY key = nullptr;
                const LSTATUS status = create(std::string(top) + "\\P" + std::to_string(i), &key);
                _exit(status == ERROR_SUCCESS ? 0 : 1);
            }
            children.push_back(child);
        }
        close(gate[0]);
        close(gate[1]);
        for (const pid_t child : children) {
            EXPECT_EQ(wait_for(child), 0) << "round " << round;
        }
        EXPECT_EQ(store_integrity(file), "ok");
    }
}

// After fork() the child must not use the parent's SQLite connection: its
// first call opens a connection of its own, with nothing remembered, and
// the handles it inherited go on naming the same keys.
TEST_F(RegistryProcessTest, AForkedChildOpensItsOwnConnectionAndKeepsItsHandles)
{
    ASSERT_EQ(wait_for(start_child("set:1")), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(top) + "\\Remembered").c_str(), 0, KEY_ALL_ACCESS,
                            &key),
              ERROR_SUCCESS);
    EXPECT_EQ(number(key), 1u);
    // The descriptors a process holds on the store file itself.
    const auto descriptors = [this] {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (std::filesystem::read_symlink(entry.path(), error) == m_file) {
                ++count;
            }
        }
        return count;
    };
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = descriptors() == 0 ? 0 : 1;
        DWORD value = 0;
        DWORD size = sizeof value;
        failures +=
            RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) == 0 &&
                    value == 1
                ? 0
                : 2;
        failures += descriptors() == 1 ? 0 : 4;
        const DWORD five = 5;
        failures +=
            RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&five), 4) == 0 ? 0 : 8;
        _exit(failures);
    }
    EXPECT_EQ(wait_for(child), 0);
    EXPECT_EQ(number(key), 5u);
    RegCloseKey(key);
}

}  // namespace
