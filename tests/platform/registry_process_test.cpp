// Several processes sharing one registry store.
//
// A parent case starts fresh copies of this program (exec, not a bare fork:
// a child must not inherit the parent's open store) that run only
// ChildProcess.Task, with the task named in the environment, against the
// parent's store file; then the parent checks what they left.
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

constexpr char task_variable[] = "VORNHALL_TEST_TASK";
constexpr char top[] = "Software\\Vornhall Processes";
constexpr int keys_per_writer = 40;

pid_t start_child(const std::string& task)
{
    setenv(task_variable, task.c_str(), 1);
    char program[] = "/proc/self/exe";
    char filter[] = "--gtest_filter=ChildProcess.Task";
    char brief[] = "--gtest_brief=1";
    char* argv[] = {program, filter, brief, nullptr};
    pid_t pid = -1;
    const int started = posix_spawn(&pid, program, nullptr, nullptr, argv, environ);
    unsetenv(task_variable);
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

std::string integrity(const std::string& file)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    std::string answer;
    if (sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        answer = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return answer;
}

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
        ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), ERROR_SUCCESS);
        RegCloseKey(key);
        return;
    }
    if (what == "remove") {
        ASSERT_EQ(RegDeleteValueA(HKEY_CURRENT_USER, nullptr), ERROR_SUCCESS);  // the root's unnamed value
        ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(top) + "\\Remembered").c_str()), ERROR_SUCCESS);
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
    void SetUp() override { setenv("VORNHALL_REGISTRY", m_file.c_str(), 1); }

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
    EXPECT_EQ(integrity(m_file), "ok");
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
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

// A writer that dies after its change reached the store but before it
// counted the change as finished leaves the count unsettled: every process
// must then read the store itself until the next change settles it.
TEST_F(RegistryProcessTest, AWriterThatDiedMidwayLeavesNothingStale)
{
    ASSERT_EQ(wait_for(start_child("set:1")), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(top) + "\\Remembered").c_str(), 0, KEY_ALL_ACCESS,
                            &key),
              ERROR_SUCCESS);
    EXPECT_EQ(number(key), 1u);

    // What the dead writer left: its change started, and in the store.
    const int counter = open((m_file + "-changes").c_str(), O_RDWR);
    ASSERT_GE(counter, 0);
    std::uint64_t started = 0;
    ASSERT_EQ(pread(counter, &started, sizeof started, 0), static_cast<ssize_t>(sizeof started));
    ++started;
    ASSERT_EQ(pwrite(counter, &started, sizeof started, 0), static_cast<ssize_t>(sizeof started));
    close(counter);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(m_file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "UPDATE vals SET data = x'07000000'", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    EXPECT_EQ(number(key), 7u);
    EXPECT_EQ(number(key), 7u);
    const DWORD eight = 8;
    ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&eight), 4), ERROR_SUCCESS);
    EXPECT_EQ(number(key), 8u);
    ASSERT_EQ(wait_for(start_child("set:9")), 0);
    EXPECT_EQ(number(key), 9u);
    RegCloseKey(key);
}

}  // namespace
