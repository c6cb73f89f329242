// Opening the registry store: claiming the file, deciding what it is, and
// making or taking over the schema.
//
// The file must have one name: SQLite finds its log and shared memory by the
// name it opened (resolving symbolic links), so processes reaching one file
// by two names (hard links) would write two logs. Such a file is refused on
// open, and a write first checks that the path still names the open file,
// by that name alone.
//
// The file is opened in WAL mode, so readers never wait for a writer, with
// normal synchronisation: a committed change is in the log before the call
// returns and survives the crash of any process; the log reaches the disk
// at checkpoints, as the system registry flushes lazily too. What the file
// is, is checked before SQLite is let to change it: an empty file becomes a
// store; a store carries its own application identifier in the database
// header (written before the file is switched to WAL mode, so it is in the
// file itself at once) and its schema version in user_version; a store of the
// first release (no identifier, schema version 1, the same tables) is taken
// over and marked; anything else is refused untouched, and a store from a
// newer release is refused rather than misread.
//
// Volatile keys end with the start of the system they were made in. The
// kernel gives each start an identity of its own; a key made volatile keeps
// it, and the `store` table keeps the identity volatile keys were last made
// under. Opening a store whose mark names another start removes every key
// made volatile before it, with all below it, in one transaction: no process
// of an earlier start can still hold a handle. The two columns came after
// schema version 2 was first released: a version-2 store without them gets
// them when it is opened (a process of that release, which knows nothing of
// them, goes on working: the keys it makes last).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/linux/descriptor.h"
#include "platform/linux/registry/registry_store_detail.h"

namespace vh::registry {

namespace {

// The schema of this release, and that of the first (the same tables, no
// application identifier).
constexpr std::int64_t schema_version = 2;
constexpr std::int64_t first_schema_version = 1;
// In the database header, as SQLite lays it out: "SQLite format 3\0", the
// file format versions (2 for WAL mode), user_version and application_id
// (big-endian).
constexpr std::string_view sqlite_magic{"SQLite format 3\0", 16};
constexpr std::size_t write_version_at = 18;
constexpr std::size_t application_id_at = 68;
constexpr std::uint8_t wal_format = 2;
constexpr std::int64_t application_id = 0x56685267;  // "VhRg"
constexpr int busy_timeout_ms = 10000;

constexpr const char* schema_sql = R"sql(
    CREATE TABLE keys (
        id      INTEGER PRIMARY KEY AUTOINCREMENT,
        parent  INTEGER REFERENCES keys(id),
        name    BLOB NOT NULL,
        folded  BLOB NOT NULL,
        class   BLOB,
        denied  INTEGER NOT NULL DEFAULT 0,
        version INTEGER NOT NULL DEFAULT 0,
        written INTEGER NOT NULL DEFAULT 0,
        boot    BLOB
    );
    CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded);
    CREATE TABLE vals (
        key    INTEGER NOT NULL REFERENCES keys(id),
        folded BLOB NOT NULL,
        name   BLOB NOT NULL,
        seq    INTEGER NOT NULL,
        type   INTEGER NOT NULL,
        data   BLOB NOT NULL,
        PRIMARY KEY (key, folded)
    ) WITHOUT ROWID;
    CREATE UNIQUE INDEX vals_in_order ON vals(key, seq);
    CREATE TABLE store (serial INTEGER NOT NULL, volatile_boot BLOB);
    INSERT INTO store(serial) VALUES (random());
    INSERT INTO keys(id, parent, name, folded) VALUES
        (1, NULL, CAST('HKEY_CLASSES_ROOT' AS BLOB), x''),
        (2, NULL, CAST('HKEY_CURRENT_USER' AS BLOB), x''),
        (3, NULL, CAST('HKEY_LOCAL_MACHINE' AS BLOB), x''),
        (4, NULL, CAST('HKEY_USERS' AS BLOB), x'');
    PRAGMA user_version = 2;
)sql";

// What a store's schema holds (sqlite_sequence comes with AUTOINCREMENT),
// and what a store of the first release held: the same but for the table
// with the store's serial number.
constexpr const char* schema_check_sql = R"sql(
    SELECT count(*) = 6 AND (SELECT count(*) FROM sqlite_master) = 6 FROM sqlite_master WHERE
        (type = 'table' AND name IN ('keys', 'vals', 'sqlite_sequence', 'store')) OR
        (type = 'index' AND name IN ('keys_by_name', 'vals_in_order'))
)sql";
constexpr const char* first_schema_check_sql = R"sql(
    SELECT count(*) = 5 AND (SELECT count(*) FROM sqlite_master) = 5 FROM sqlite_master WHERE
        (type = 'table' AND name IN ('keys', 'vals', 'sqlite_sequence')) OR
        (type = 'index' AND name IN ('keys_by_name', 'vals_in_order'))
)sql";
constexpr const char* take_over_sql = R"sql(
    CREATE TABLE store (serial INTEGER NOT NULL);
    INSERT INTO store VALUES (random());
    PRAGMA user_version = 2;
)sql";
// The columns of volatile keys, which a version-2 store made before them
// lacks (see the top of the file).
constexpr const char* volatile_columns_sql = R"sql(
    SELECT (SELECT count(*) FROM pragma_table_info('keys') WHERE name = 'boot') +
           (SELECT count(*) FROM pragma_table_info('store') WHERE name = 'volatile_boot')
)sql";
// The keys made volatile in another start of the system, and everything
// below them (a process of the release before volatile keys could have put
// a lasting key there); each statement of the removal starts with it.
constexpr std::string_view earlier_boots_sql =
    "WITH RECURSIVE gone(id) AS (SELECT id FROM keys WHERE boot IS NOT NULL AND boot <> ?1 "
    "UNION SELECT keys.id FROM keys JOIN gone ON keys.parent = gone.id) ";
constexpr const char* removal_sql[] = {
    // The keys that stay, whose subkeys go, show the change in their listings.
    ("UPDATE keys SET version = version + 1, written = ?2 WHERE id IN "
     "(SELECT parent FROM keys WHERE id IN gone) AND id NOT IN gone"),
    "DELETE FROM vals WHERE key IN gone",
    "DELETE FROM keys WHERE id IN gone",
};
constexpr const char* mark_boot_sql =
    "UPDATE store SET volatile_boot = CASE WHEN EXISTS (SELECT 1 FROM keys WHERE boot = ?1) THEN ?1 END";

FileIdentity identity_of(const struct stat& info)
{
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// A side file SQLite keeps beside the store (its log, its shared memory)
// can be trusted when it is missing, or a regular file with one name that
// others cannot write, belonging to this user, to the store's owner, or to
// the store's group when the store is shared with it for writing. Anything
// else may have been put there by someone else (a folder open to others)
// to read what is logged or to steer what is read.
bool trusted_side_file(const std::string& path, const struct stat& store)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT;
    }
    const bool owner_ok = info.st_uid == ::geteuid() || info.st_uid == store.st_uid ||
                          (info.st_gid == store.st_gid && (store.st_mode & S_IWGRP) != 0);
    return S_ISREG(info.st_mode) && info.st_nlink == 1 && owner_ok &&
           ((info.st_mode & S_IWOTH) == 0 || info.st_uid == ::geteuid());
}

// The permissions a file of a store of this user's may keep once it is known
// to be a store: its owner's, and its group's when the store was shared for
// writing with its group on purpose; never anything for others. Only taken
// away: a store its owner made read-only stays read-only.
mode_t private_mode(mode_t store_mode, mode_t file_mode)
{
    const mode_t allowed = (store_mode & S_IWGRP) != 0 ? 0660 : 0600;
    return file_mode & allowed;
}

// Creates the store file, private whatever the umask, when it is missing,
// and checks what the path names: a regular file with one name, and side
// files of SQLite's beside it that can be trusted. SQLite gives its log and
// shared memory the file's mode when it creates them.
FileClaim claim_file(const std::string& path)
{
    struct stat info {};
    Descriptor created(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
    if (created) {
        // No connection of this process can have a file open that did not
        // exist, so closing this descriptor drops no lock of SQLite's.
        const bool ok = ::fchmod(created.get(), 0600) == 0 && ::fstat(created.get(), &info) == 0;
        created.reset();
        if (!ok) {
            throw Win32Failure(ERROR_CANTOPEN);
        }
    } else if (errno != EEXIST || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
               info.st_nlink != 1 || ((info.st_mode & S_IWOTH) != 0 && info.st_uid != ::geteuid())) {
        throw Win32Failure(ERROR_CANTOPEN);
    }
    // SQLite names its side files after the file's own path, links resolved.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        throw Win32Failure(ERROR_CANTOPEN);
    }
    FileClaim claim{identity_of(info), static_cast<std::int64_t>(info.st_size), resolved, false};
    std::free(resolved);
    for (const char* suffix : {"-wal", "-shm"}) {
        if (!trusted_side_file(claim.real_path + suffix, info)) {
            throw Win32Failure(ERROR_CANTOPEN);
        }
    }
    struct stat log {};
    claim.had_log = ::lstat((claim.real_path + "-wal").c_str(), &log) == 0;
    return claim;
}

// Once the file is known to be a store: this user's store and its side
// files get its private mode (the first release left them readable by
// others); another user's are left as their owner set them.
void settle_modes(const std::string& real_path)
{
    struct stat store {};
    if (::stat(real_path.c_str(), &store) != 0 || store.st_uid != ::geteuid()) {
        return;
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string path = real_path + suffix;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
            continue;
        }
        const mode_t mode = private_mode(store.st_mode, info.st_mode & 07777);
        if ((info.st_mode & 07777) != mode) {
            ::chmod(path.c_str(), mode);
        }
    }
}

std::int64_t big_endian(const std::array<std::uint8_t, 100>& bytes, std::size_t at)
{
    return (std::int64_t{bytes[at]} << 24) | (std::int64_t{bytes[at + 1]} << 16) |
           (std::int64_t{bytes[at + 2]} << 8) | std::int64_t{bytes[at + 3]};
}

std::string mark_sql()
{
    return "PRAGMA application_id = " + std::to_string(application_id);
}

// The first column of the first row of one statement.
std::int64_t integer_of(Connection& db, const char* sql)
{
    Statement statement(db, sql);
    Run run = statement.run();
    return run.next() ? run.integer(0) : 0;
}

std::string text_of(Connection& db, const char* sql)
{
    Statement statement(db, sql);
    Run run = statement.run();
    if (!run.next()) {
        return {};
    }
    const ByteView bytes = run.blob(0);
    return std::string(static_cast<const char*>(bytes.data), bytes.size);
}

// Runs `work` in a transaction begun by `begin`, committed when it returns
// and rolled back when it throws.
template <class Work>
void in_transaction(Connection& db, const char* begin, Work&& work)
{
    db.execute(begin);
    try {
        work();
        db.execute("COMMIT");
    } catch (...) {
        try {
            db.execute("ROLLBACK");
        } catch (const Win32Failure&) {
            // The failure being reported matters more than this one.
        }
        throw;
    }
}

// Switches the file to WAL mode; false when it stays in another mode. The
// switch needs the file to itself for a moment, and SQLite does not wait
// where waiting could deadlock (another process holds the write lock and
// waits for this one's read lock to go): it fails at once as busy. This
// process then holds no lock, and tries again until the busy timeout.
bool switch_to_wal(Connection& db)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busy_timeout_ms);
    for (;;) {
        try {
            return text_of(db, "PRAGMA journal_mode = WAL") == "wal";
        } catch (const Win32Failure&) {
            if (!db.was_busy() || std::chrono::steady_clock::now() >= deadline) {
                throw;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A write transaction: the write lock is taken at once.
template <class Work>
void in_write_transaction(Connection& db, Work&& work)
{
    in_transaction(db, "BEGIN IMMEDIATE", std::forward<Work>(work));
}

}  // namespace

const std::string& boot_identity()
{
    static const std::string identity = [] {
        // 36 characters: hexadecimal digits in five groups joined by "-".
        constexpr std::size_t length = 36;
        std::string text;
        Descriptor file(::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
        if (!file) {
            return text;
        }
        char buffer[length + 1] = {};
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        file.reset();
        if (got < static_cast<ssize_t>(length)) {
            return text;
        }
        for (std::size_t i = 0; i < length; ++i) {
            const char c = buffer[i];
            const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) {
                return text;
            }
        }
        text.assign(buffer, length);
        return text;
    }();
    return identity;
}

Store::Store(const std::string& path) : m_path(path), m_claim(claim_file(path)), m_db(path, busy_timeout_ms)
{
    try {
        if (!still_at_path()) {  // replaced between the check and the open
            throw Win32Failure(ERROR_CANTOPEN);
        }
        // Until the file is known to be a store, closing it must not copy
        // another program's log into its database.
        m_db.checkpoint_on_close(!m_claim.had_log);
        identify();
        m_db.checkpoint_on_close(true);
        settle_modes(m_claim.real_path);
        add_volatile_columns();
        remove_earlier_boots();
        m_serial = integer_of(m_db, "SELECT serial FROM store");
        m_sql = std::make_unique<Statements>(m_db);
    } catch (const Win32Failure& failure) {
        // Anything but a foreign file or a lack of memory is a store that
        // cannot be opened here (read-only place, locked past the timeout...).
        if (failure.status() == ERROR_BADDB || failure.status() == ERROR_NOT_ENOUGH_MEMORY) {
            throw;
        }
        throw Win32Failure(ERROR_CANTOPEN);
    }
}

bool Store::still_at_path() const
{
    struct stat info {};
    return ::stat(m_path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
           identity_of(info) == m_claim.identity;
}

// Decides from the file's first bytes, before SQLite reads or changes
// anything, whether SQLite may go on: an empty file, a file marked as a
// store, or a database in WAL mode (which may be a store of the first
// release; open_store() looks inside). Any other file is refused as it is.
void Store::identify()
{
    // A file that was empty when it was met becomes a store; another process
    // may be making it one at this moment, so what it holds now is looked
    // at under SQLite's locks, not read from the file unlocked.
    if (m_claim.size == 0) {
        make_store();
        return;
    }
    const FileStart start = m_db.file_start();
    const std::string_view magic(reinterpret_cast<const char*>(start.bytes.data()), sqlite_magic.size());
    if (start.size < static_cast<std::int64_t>(start.bytes.size()) || magic != sqlite_magic) {
        throw Win32Failure(ERROR_BADDB);
    }
    const bool marked = big_endian(start.bytes, application_id_at) == application_id;
    if (!marked && start.bytes[write_version_at] != wal_format) {
        throw Win32Failure(ERROR_BADDB);
    }
    open_store();
}

// An empty file: marked as a store while it is still in rollback mode, so
// that the mark is in the file itself, not only in a log.
void Store::make_store()
{
    in_write_transaction(m_db, [&] {
        // Still empty: no other process has made it something meanwhile.
        if (integer_of(m_db, "SELECT count(*) FROM sqlite_master") == 0 &&
            integer_of(m_db, "PRAGMA application_id") == 0 && integer_of(m_db, "PRAGMA user_version") == 0) {
            m_db.execute(mark_sql().c_str());
        }
    });
    open_store();
}

void Store::open_store()
{
    // What the file holds is checked before anything in it changes, in one
    // read transaction: another process may be making the file a store at
    // this moment, and the checks must all see the same state of it.
    std::int64_t version = 0;
    bool known = false;
    in_transaction(m_db, "BEGIN", [&] {
        const std::int64_t id = integer_of(m_db, "PRAGMA application_id");
        version = integer_of(m_db, "PRAGMA user_version");
        known =
            id == application_id
                ? (version == schema_version && integer_of(m_db, schema_check_sql) == 1) ||
                      (version == 0 && integer_of(m_db, "SELECT count(*) FROM sqlite_master") == 0)
                : id == 0 && version == first_schema_version && integer_of(m_db, first_schema_check_sql) == 1;
    });
    if (!known) {
        throw Win32Failure(ERROR_BADDB);
    }
    const bool in_wal = switch_to_wal(m_db);
    m_db.execute("PRAGMA synchronous = NORMAL");
    bool taken_over = false;
    if (version != schema_version) {
        // Several processes may meet a new or old file at once: the first to
        // take the write lock does the work, the others find it done.
        in_write_transaction(m_db, [&] {
            const std::int64_t now = integer_of(m_db, "PRAGMA user_version");
            if (now == 0 && integer_of(m_db, "SELECT count(*) FROM sqlite_master") == 0) {
                m_db.execute(schema_sql);
            } else if (now == first_schema_version && integer_of(m_db, first_schema_check_sql) == 1) {
                m_db.execute(mark_sql().c_str());
                m_db.execute(take_over_sql);
                taken_over = true;
            } else if (now != schema_version) {
                throw Win32Failure(ERROR_BADDB);
            }
        });
    }
    if (integer_of(m_db, schema_check_sql) != 1 ||
        integer_of(m_db, "PRAGMA application_id") != application_id) {
        throw Win32Failure(ERROR_BADDB);
    }
    if (taken_over) {
        // The first release counted changes in a file of its own beside the store.
        const std::string counter = m_claim.real_path + "-changes";
        struct stat info {};
        if (::lstat(counter.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            ::unlink(counter.c_str());
        }
    }
    if (in_wal) {
        m_db.use_stamps();
    }
}

// A version-2 store made before volatile keys gets their columns; several
// processes may meet it at once, and the first to take the write lock adds
// them.
void Store::add_volatile_columns()
{
    if (integer_of(m_db, volatile_columns_sql) == 2) {
        return;
    }
    in_write_transaction(m_db, [&] {
        if (integer_of(m_db, "SELECT count(*) FROM pragma_table_info('keys') WHERE name = 'boot'") == 0) {
            m_db.execute("ALTER TABLE keys ADD COLUMN boot BLOB");
        }
        if (integer_of(m_db,
                       "SELECT count(*) FROM pragma_table_info('store') WHERE name = 'volatile_boot'") == 0) {
            m_db.execute("ALTER TABLE store ADD COLUMN volatile_boot BLOB");
        }
    });
}

// Removes the volatile keys of earlier starts of the system (see the top of
// the file). Without a boot identity nothing can be told apart, and nothing
// is removed.
void Store::remove_earlier_boots()
{
    const std::string& boot = boot_identity();
    if (boot.empty()) {
        return;
    }
    const ByteView here{boot.data(), boot.size()};
    const auto marked_elsewhere = [&] {
        Statement mark(m_db, "SELECT volatile_boot FROM store");
        Run run = mark.run();
        if (!run.next() || run.is_null(0)) {
            return false;
        }
        const ByteView marked = run.blob(0);
        return std::string_view(static_cast<const char*>(marked.data), marked.size) != boot;
    };
    if (!marked_elsewhere()) {
        return;
    }
    in_write_transaction(m_db, [&] {
        if (!marked_elsewhere()) {
            return;  // another process of this start did it meanwhile
        }
        const std::int64_t now = filetime_now();
        for (const char* step : removal_sql) {
            Statement statement(m_db, (std::string(earlier_boots_sql) + step).c_str());
            Run run = statement.run();
            run.bind(1, here);
            if (step == removal_sql[0]) {
                run.bind(2, now);
            }
            run.finish();
        }
        Statement mark(m_db, mark_boot_sql);
        mark.run().bind(1, here).finish();
    });
}

}  // namespace vh::registry
