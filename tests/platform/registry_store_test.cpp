// The registry stand-in's store file: which file is used, what happens when
// it cannot be used or is not a store, who may read it, and stores made by
// earlier releases.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "tests/platform/registry_test_support.h"
#include "tests/support/environment.h"
#include "tests/support/store_check.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace vh::test;

// The store file: which one is used, and what happens when it cannot be used.
class RegistryStoreTest : public testing::Test {
protected:
    void TearDown() override
    {
        if (m_home) {
            vh::test::set_environment("HOME", m_home->c_str());
        }
        vh::test::unset_environment("XDG_DATA_HOME");
    }
    // Runs SQL on a store file directly.
    static void run_sql(const std::string& file, const char* sql)
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    static std::string pragma(const std::string& file, const char* sql)
    {
        sqlite3* db = nullptr;
        sqlite3_stmt* stmt = nullptr;
        std::string answer;
        if (sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
            sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            answer = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return answer;
    }

    vh::test::TempDir m_dir;
    std::optional<std::string> m_home =
        std::getenv("HOME") ? std::optional<std::string>(std::getenv("HOME")) : std::nullopt;
};

TEST_F(RegistryStoreTest, ChangesPersistAndStoresSwitchWithTheEnvironment)
{
    const std::string first = m_dir.file("first.db");
    use_store(first);
    const HKEY key = create(HKEY_CURRENT_USER, "Kept");
    set_text(key, "V", "first");

    use_store(m_dir.file("second.db"));
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_READ, &other), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text_of(key, "V"), "<status 6>");  // a handle into the previous store

    use_store(first);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_READ, &other), ERROR_SUCCESS);
    EXPECT_EQ(text_of(other, "V"), "first");
    RegCloseKey(other);
    EXPECT_EQ(pragma(first, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(vh::test::store_integrity(first), "ok");
}

TEST_F(RegistryStoreTest, DefaultPlaceFollowsXdgDataHomeThenHome)
{
    vh::test::unset_environment("VORNHALL_REGISTRY");
    vh::test::set_environment("XDG_DATA_HOME", m_dir.file("data").c_str());
    RegCloseKey(create(HKEY_CURRENT_USER, "X"));
    EXPECT_TRUE(std::filesystem::exists(m_dir.path() / "data" / "vornhall" / "registry.db"));

    vh::test::unset_environment("XDG_DATA_HOME");
    vh::test::set_environment("HOME", m_dir.file("home").c_str());
    RegCloseKey(create(HKEY_CURRENT_USER, "X"));
    EXPECT_TRUE(
        std::filesystem::exists(m_dir.path() / "home" / ".local" / "share" / "vornhall" / "registry.db"));
}

TEST_F(RegistryStoreTest, AStoreThatCannotBeUsedFailsEveryCall)
{
    const std::string newer = m_dir.file("newer.db");
    run_sql(newer, "CREATE TABLE future(x); PRAGMA user_version = 99;");
    const std::string garbage = m_dir.file("garbage.db");
    vh::test::write_file(garbage, std::string(4096, 'x'));

    struct Row {
        std::string file;
        LSTATUS status;
    };
    const Row rows[] = {
        {newer, ERROR_BADDB},  // written by a newer release: refused, never misread
        {garbage, ERROR_BADDB},
        {m_dir.file("no/such/folder/registry.db"), ERROR_CANTOPEN},
        {m_dir.path().string(), ERROR_CANTOPEN},  // a folder
    };
    for (const Row& row : rows) {
        use_store(row.file);
        SCOPED_TRACE(row.file);
        HKEY key = nullptr;
        DWORD size = 0;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), row.status);
        EXPECT_EQ(
            RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            row.status);
        EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "V", nullptr, nullptr, nullptr, &size), row.status);
        EXPECT_EQ(
            RegSetValueExA(HKEY_CURRENT_USER, "V", 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
            row.status);
    }
    EXPECT_EQ(pragma(newer, "PRAGMA user_version"), "99");
}

// The store is its user's alone, as the current user's hive is, whatever
// the umask: the folder it is made in 0700, the file and the log and shared
// memory SQLite keeps beside it 0600. A store others could read (as the first
// release left them) is made private when opened; one its owner shared for
// writing keeps its mode, and SQLite gives its side files the same; one
// its owner made read-only stays so.
TEST_F(RegistryStoreTest, TheStoreIsPrivateToItsUserWhateverTheUmask)
{
    vh::test::unset_environment("VORNHALL_REGISTRY");
    const auto mode_of = [](const std::filesystem::path& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
    };
    const mode_t before = umask(0);
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        umask(mask);
        const std::filesystem::path data = m_dir.path() / ("data" + std::to_string(mask));
        vh::test::set_environment("XDG_DATA_HOME", data.c_str());
        const HKEY key = create(HKEY_CURRENT_USER, "Private");
        set_text(key, "V", "secret");
        RegCloseKey(key);
        SCOPED_TRACE(mask);
        EXPECT_EQ(mode_of(data / "vornhall"), 0700);
        for (const char* file : {"registry.db", "registry.db-wal", "registry.db-shm"}) {
            EXPECT_EQ(mode_of(data / "vornhall" / file), 0600) << file;
        }
    }
    umask(before);

    // As the first release made them: opened, they become private.
    const std::filesystem::path old = m_dir.path() / "old" / "vornhall";
    std::filesystem::create_directories(old);
    vh::test::set_environment("XDG_DATA_HOME", (m_dir.path() / "old").c_str());
    RegCloseKey(create(HKEY_CURRENT_USER, "Made"));
    use_store(m_dir.file("elsewhere.db"));  // closes the old one
    RegCloseKey(create(HKEY_CURRENT_USER, "Other"));
    ASSERT_EQ(chmod(old.c_str(), 0755), 0);
    ASSERT_EQ(chmod((old / "registry.db").c_str(), 0644), 0);
    vh::test::unset_environment("VORNHALL_REGISTRY");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Made", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(mode_of(old), 0700);
    EXPECT_EQ(mode_of(old / "registry.db"), 0600);

    // Shared for writing on purpose: kept, side files alike.
    const std::string shared = m_dir.file("shared.db");
    vh::test::write_file(shared, "");
    ASSERT_EQ(chmod(shared.c_str(), 0660), 0);
    use_store(shared);
    RegCloseKey(create(HKEY_CURRENT_USER, "Team"));
    EXPECT_EQ(mode_of(shared), 0660);
    EXPECT_EQ(mode_of(shared + "-shm"), 0660);

    // Made read-only by its owner: permissions are only ever taken away.
    const std::string read_only = m_dir.file("read-only.db");
    use_store(read_only);
    RegCloseKey(create(HKEY_CURRENT_USER, "Kept"));
    use_store(m_dir.file("elsewhere.db"));
    ASSERT_EQ(chmod(read_only.c_str(), 0444), 0);
    use_store(read_only);
    RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_READ, &key);
    RegCloseKey(key);
    EXPECT_EQ(mode_of(read_only) & 0222, 0);
}

// Only an empty file, a store, or a store of the first release is used;
// any other file, another program's database above all, is refused with
// ERROR_BADDB before anything in it changes, and no file is left beside it.
TEST_F(RegistryStoreTest, AFileThatIsNotAStoreIsRefusedAndLeftAsItWas)
{
    const std::string rollback = m_dir.file("notes.sqlite");
    run_sql(rollback, "CREATE TABLE notes(text); INSERT INTO notes VALUES ('keep me');");
    const std::string wal = m_dir.file("history.sqlite");
    run_sql(wal, "PRAGMA journal_mode = WAL; CREATE TABLE visits(url); INSERT INTO visits VALUES ('x');");
    const std::string marked = m_dir.file("marked.sqlite");
    run_sql(marked, "PRAGMA application_id = 1234; CREATE TABLE t(x);");
    // Our identifier, but not our tables: still not a store, still in rollback mode afterwards.
    const std::string lookalike = m_dir.file("lookalike.sqlite");
    run_sql(lookalike, "PRAGMA application_id = 1449677415; CREATE TABLE t(x);");
    const std::string text = m_dir.file("settings.ini");
    vh::test::write_file(text, "[Section]\nkey=value\n");
    const std::string short_file = m_dir.file("short.db");
    vh::test::write_file(short_file, "x");
    // Another program's database whose latest changes are still in its log.
    const std::string hot = m_dir.file("hot.sqlite");
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(hot.c_str(), &db), SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        EXPECT_EQ(sqlite3_exec(db, "PRAGMA journal_mode = WAL; CREATE TABLE t(x); INSERT INTO t VALUES (1);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_TRUE(std::filesystem::exists(hot + "-wal"));
    for (const std::string& file : {rollback, wal, marked, lookalike, text, short_file, hot}) {
        SCOPED_TRACE(file);
        std::vector<std::string> before;
        std::vector<std::filesystem::perms> modes;
        for (const char* side : {"", "-wal", "-shm", "-journal", "-changes"}) {
            before.push_back(std::filesystem::exists(file + side) ? vh::test::read_file(file + side)
                                                                  : "<none>");
            modes.push_back(std::filesystem::status(file + side).permissions());
        }
        use_store(file);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_BADDB);
        EXPECT_EQ(
            RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_BADDB);
        use_store(m_dir.file("elsewhere.db"));  // lets go of the file
        RegCloseKey(create(HKEY_CURRENT_USER, "Other"));
        // (The shared memory holds no data: any reader of a database rebuilds it.)
        std::size_t i = 0;
        for (const std::string side : {"", "-wal", "-shm", "-journal", "-changes"}) {
            const std::string now =
                std::filesystem::exists(file + side) ? vh::test::read_file(file + side) : "<none>";
            EXPECT_TRUE(side == "-shm" ? (now == "<none>") == (before[i] == "<none>") : now == before[i])
                << "bytes of " << file << side;
            EXPECT_EQ(std::filesystem::status(file + side).permissions(), modes[i])
                << "mode of " << file << side;
            ++i;
        }
    }
    EXPECT_EQ(pragma(lookalike, "PRAGMA journal_mode"), "delete");
    EXPECT_EQ(pragma(wal, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(pragma(rollback, "PRAGMA journal_mode"), "delete");
    EXPECT_EQ(pragma(rollback, "SELECT group_concat(name) FROM sqlite_master"), "notes");

    // An empty file becomes a store.
    const std::string empty = m_dir.file("empty.db");
    vh::test::write_file(empty, "");
    use_store(empty);
    RegCloseKey(create(HKEY_CURRENT_USER, "Made"));
    EXPECT_EQ(pragma(empty, "PRAGMA application_id"), "1449677415");
}

// A store file removed and made anew may get the inode number of the old
// one: handles opened on the old store must not reach the new store's keys.
TEST_F(RegistryStoreTest, HandlesOfAStoreMadeAnewAreStale)
{
    const std::string file = m_dir.file("again.db");
    use_store(file);
    const HKEY old = create(HKEY_CURRENT_USER, "App");
    for (const char* side : {"", "-wal", "-shm"}) {
        std::filesystem::remove(file + side);
    }
    const HKEY made = create(HKEY_CURRENT_USER, "Bank");
    EXPECT_EQ(RegSetValueExA(old, "v", 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
              ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(made, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(old);
    RegCloseKey(made);
}

// A log or shared memory beside the store that someone else could have put
// there (another user's, writable by others, a link) is never used: the
// store is refused and nothing is written into it.
TEST_F(RegistryStoreTest, SideFilesSomeoneElseCouldHavePlacedAreRefused)
{
    const std::string file = m_dir.file("planted.db");
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked);
        vh::test::write_file(file, "");
        const std::string log = file + "-wal";
        if (linked) {
            ASSERT_EQ(symlink(m_dir.file("elsewhere").c_str(), log.c_str()), 0);
        } else {
            vh::test::write_file(log, "");
            if (geteuid() != 0) {
                GTEST_SKIP() << "giving a file to another user needs root";
            }
            ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
            ASSERT_EQ(chmod(log.c_str(), 0666), 0);
        }
        use_store(file);
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Secret", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_CANTOPEN);
        use_store(m_dir.file("elsewhere.db"));
        EXPECT_EQ(vh::test::read_file(file), "");
        std::filesystem::remove(log);
    }
}

// A store as the first release made it, less its version: the schema, the
// four roots, and a key "Old" holding the text value "V" = "kept".
constexpr const char* first_release_store = R"sql(
    PRAGMA journal_mode = WAL;
    CREATE TABLE keys (id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER REFERENCES keys(id),
        name BLOB NOT NULL, folded BLOB NOT NULL, class BLOB, denied INTEGER NOT NULL DEFAULT 0,
        version INTEGER NOT NULL DEFAULT 0, written INTEGER NOT NULL DEFAULT 0);
    CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded);
    CREATE TABLE vals (key INTEGER NOT NULL REFERENCES keys(id), folded BLOB NOT NULL, name BLOB NOT NULL,
        seq INTEGER NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (key, folded))
        WITHOUT ROWID;
    CREATE UNIQUE INDEX vals_in_order ON vals(key, seq);
    INSERT INTO keys(id, parent, name, folded) VALUES
        (1, NULL, CAST('HKEY_CLASSES_ROOT' AS BLOB), x''), (2, NULL, CAST('HKEY_CURRENT_USER' AS BLOB), x''),
        (3, NULL, CAST('HKEY_LOCAL_MACHINE' AS BLOB), x''), (4, NULL, CAST('HKEY_USERS' AS BLOB), x'');
    INSERT INTO keys(id, parent, name, folded) VALUES (5, 2, x'4f006c006400', x'004f004c0044');
    INSERT INTO vals VALUES (5, x'0056', x'5600', 1, 1, CAST('kept' || char(0) AS BLOB));
)sql";

// A store of the first release (its schema, version 1, no application
// identifier) is taken over as it is, with every key and value, and marked.
TEST_F(RegistryStoreTest, AStoreOfTheFirstReleaseIsTakenOver)
{
    const std::string file = m_dir.file("first.db");
    run_sql(file, (std::string(first_release_store) + "PRAGMA user_version = 1;").c_str());
    vh::test::write_file(file + "-changes", std::string(4096, '\0'));
    // Left as a process of the first release leaves it: a log beside it, all readable by others.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        EXPECT_EQ(sqlite3_exec(db, "UPDATE keys SET written = 1 WHERE id = 5", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    for (const char* side : {"", "-wal", "-shm"}) {
        chmod((file + side).c_str(), 0644);
    }
    // Reached through a symbolic link: the files beside the store itself are the ones that count.
    const std::string link = m_dir.file("link.db");
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    use_store(link);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "old", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(text_of(key, "v"), "kept");
    RegCloseKey(key);
    EXPECT_EQ(pragma(file, "PRAGMA user_version"), "2");
    EXPECT_EQ(pragma(file, "PRAGMA application_id"), "1449677415");
    EXPECT_FALSE(std::filesystem::exists(file + "-changes"));
    for (const char* side : {"", "-wal", "-shm"}) {
        EXPECT_EQ(std::filesystem::status(file + side).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << side;
    }
}

// A store of schema version 2 as the release before volatile keys made it:
// opened, it gets their columns and keeps every key and value, and a
// process of that release, which does not know the columns, can still use it.
TEST_F(RegistryStoreTest, AVersionTwoStoreMadeBeforeVolatileKeysGetsTheirColumns)
{
    const std::string file = m_dir.file("second.db");
    run_sql(file, (std::string(first_release_store) +
                   "PRAGMA application_id = 1449677415; CREATE TABLE store (serial INTEGER NOT NULL);"
                   "INSERT INTO store VALUES (7); PRAGMA user_version = 2;")
                      .c_str());
    use_store(file);
    HKEY old = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "old", 0, KEY_READ, &old), ERROR_SUCCESS);
    EXPECT_EQ(text_of(old, "v"), "kept");
    RegCloseKey(old);
    HKEY session = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Session", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &session, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(session);
    EXPECT_EQ(pragma(file, "PRAGMA user_version"), "2");
    EXPECT_EQ(pragma(file, "SELECT count(*) FROM keys WHERE boot IS NOT NULL"), "1");
    EXPECT_EQ(pragma(file, "SELECT serial FROM store"), "7");
    // What that release's statements do still works.
    run_sql(file,
            "INSERT INTO keys(parent, name, folded, class, written) VALUES (2, x'4e00', x'004e', NULL, 1);");
    EXPECT_EQ(vh::test::store_integrity(file), "ok");
}

// A volatile key made in an earlier start of the system is gone, with
// everything below it, when a store is opened in this one; lasting keys
// stay, and a handle to the gone key reports it removed.
TEST_F(RegistryStoreTest, VolatileKeysEndWithTheStartOfTheSystem)
{
    const std::string file = m_dir.file("volatile.db");
    use_store(file);
    const HKEY parent = create(HKEY_CURRENT_USER, "App");
    HKEY session = nullptr;
    ASSERT_EQ(RegCreateKeyExA(parent, "Session\\Inner", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &session, nullptr),
              ERROR_SUCCESS);
    set_text(session, "V", "this start");
    RegCloseKey(create(parent, "Kept"));
    EXPECT_EQ(subkey_names(parent), (std::vector<std::string>{"Kept", "Session"}));

    // The store opened anew, as a process started now opens it (the second
    // registry state of this process); this process's handles stay.
    const auto open_anew = [&] {
        ASSERT_EQ(VhRegSelectState(1), ERROR_SUCCESS);
        for (const std::string& place : {m_dir.file("elsewhere.db"), file}) {
            use_store(place);
            HKEY root = nullptr;
            EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &root), ERROR_SUCCESS);
            RegCloseKey(root);
        }
        ASSERT_EQ(VhRegSelectState(0), ERROR_SUCCESS);
    };
    // In the same start of the system, nothing changes.
    open_anew();
    EXPECT_EQ(text_of(session, "V"), "this start");

    // As if the system had started again since the keys were made.
    run_sql(file,
            "UPDATE keys SET boot = CAST('an earlier start' AS BLOB) WHERE boot IS NOT NULL;"
            "UPDATE store SET volatile_boot = CAST('an earlier start' AS BLOB);");
    open_anew();
    EXPECT_EQ(subkey_names(parent), (std::vector<std::string>{"Kept"}));
    EXPECT_EQ(text_of(session, "V"), "<status 1018>");
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExA(parent, "Session", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(pragma(file, "SELECT count(*) FROM keys WHERE boot IS NOT NULL"), "0");
    EXPECT_EQ(pragma(file, "SELECT count(*) FROM vals"), "0");
    EXPECT_EQ(pragma(file, "SELECT volatile_boot IS NULL FROM store"), "1");
    EXPECT_EQ(vh::test::store_integrity(file), "ok");
    RegCloseKey(session);
    RegCloseKey(parent);
}

}  // namespace
