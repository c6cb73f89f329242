// The registry store.
//
// Two tables hold the registry. `keys` has one row per key: its number (never
// reused, so a handle to a removed key can never reach a newer key), its
// parent's number (NULL for the four roots, rows 1 to 4), its name as created,
// its folded name, its class text, the refusals set on it, a change counter,
// the time of its last change, and for a volatile key the boot identity of
// the start of the system it was made in (NULL for a key that lasts). `vals` has one row per value: the key's
// number, the folded and created names, a sequence number that fixes the order in which values were first
// created, the type and the data bytes exactly as given. Names are kept as UTF-16 (little-endian bytes), the
// form the platform converts the caller's ANSI text into; folded names are the same text passed through
// CharUpperBuffW and stored most significant byte first, so comparing the bytes compares code units: a subkey
// listing sorted by folded name is sorted without regard to case, and a key or value is found by one lookup
// in a unique index on (parent, folded name).
//
// Every change to a key's subkeys or values bumps that key's change counter in
// the same transaction. A listing by index keeps a snapshot of the names per
// handle and, at each step, compares the snapshot's counter with the key's by
// one indexed lookup; only a changed key is read again, so listing n entries
// reads the store O(n) times, and still sees changes made between steps by
// this process or any other sharing the file.
//
// What a process has read is remembered (keys, names, listings, small value
// data) for as long as nothing has been committed to the store since, by any
// process. SQLite itself keeps that fact where every connection sees it: a
// header at the start of the store's shared memory ("<store>-shm") that each
// commit rewrites (Stamp, registry_sqlite.h). Reading it is a few loads from
// memory, no system call, so a read transaction that finds the header as it
// was when the memory was filled answers from memory without opening a store
// transaction. A read that misses reads the store and then looks at the
// header again: when something was committed meanwhile, an answer from the
// store could be newer than those already given from memory, and the call
// starts over on the store (StaleCache). A process's own changes keep its
// memory, less what they make untrue, when the header after its commit shows
// that one commit was made since its write transaction began and the
// connection made one: that commit was its own. Whenever the header cannot
// be read or is being written, nothing is answered from memory. There is no
// file of this code's own to delete or damage: a change by any process that
// SQLite sees, through any path to the file, is seen here too.
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
#include "platform/linux/registry/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

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
// Entries remembered before the memory is emptied (a listing counts by its
// length), and the largest value data remembered.
constexpr std::size_t memory_limit = 1 << 20;
constexpr std::size_t data_limit = 4096;

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

// Now, in FILETIME ticks (100 ns since 1601).
std::int64_t filetime_now()
{
    using namespace std::chrono;
    constexpr std::int64_t ticks_1601_to_1970 = 11644473600LL * 10000000LL;
    const auto since_1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return ticks_1601_to_1970 + since_1970 / 100;
}

Bytes utf16_bytes(const std::u16string& text)
{
    Bytes bytes;
    bytes.reserve(text.size() * 2);
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

std::u16string utf16_text(ByteView bytes)
{
    const auto* p = static_cast<const std::uint8_t*>(bytes.data);
    std::u16string text;
    text.reserve(bytes.size / 2);
    for (std::size_t i = 0; i + 1 < bytes.size; i += 2) {
        text.push_back(static_cast<char16_t>(p[i] | (p[i + 1] << 8)));
    }
    return text;
}

ByteView view(const Bytes& bytes)
{
    return ByteView{bytes.data(), bytes.size()};
}

Bytes copy(ByteView bytes)
{
    const auto* p = static_cast<const std::uint8_t*>(bytes.data);
    return Bytes(p, p + bytes.size);
}

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

// The mode a store of this user's is given once it is known to be a store:
// its own alone, or shared for writing with its group when it was made so on
// purpose; never anything for others.
mode_t private_mode(mode_t mode)
{
    return (mode & S_IWGRP) != 0 ? 0660 : 0600;
}

// Creates the store file, private whatever the umask, when it is missing,
// and checks what the path names: a regular file with one name, and side
// files of SQLite's beside it that can be trusted. SQLite gives its log and
// shared memory the file's mode when it creates them.
FileClaim claim_file(const std::string& path)
{
    struct stat info {};
    const int created = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (created >= 0) {
        // No connection of this process can have a file open that did not
        // exist, so closing this descriptor drops no lock of SQLite's.
        const bool ok = ::fchmod(created, 0600) == 0 && ::fstat(created, &info) == 0;
        ::close(created);
        if (!ok) {
            throw Failure(ERROR_CANTOPEN);
        }
    } else if (errno != EEXIST || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
               info.st_nlink != 1 || ((info.st_mode & S_IWOTH) != 0 && info.st_uid != ::geteuid())) {
        throw Failure(ERROR_CANTOPEN);
    }
    // SQLite names its side files after the file's own path, links resolved.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        throw Failure(ERROR_CANTOPEN);
    }
    FileClaim claim{identity_of(info), static_cast<std::int64_t>(info.st_size), resolved, false};
    std::free(resolved);
    for (const char* suffix : {"-wal", "-shm"}) {
        if (!trusted_side_file(claim.real_path + suffix, info)) {
            throw Failure(ERROR_CANTOPEN);
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
    const mode_t mode = private_mode(store.st_mode);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string path = real_path + suffix;
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
            (info.st_mode & 07777) != mode) {
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

// Runs `work` in a write transaction, committed when it returns and rolled
// back when it throws.
template <class Work>
void in_write_transaction(Connection& db, Work&& work)
{
    db.execute("BEGIN IMMEDIATE");
    try {
        work();
        db.execute("COMMIT");
    } catch (...) {
        try {
            db.execute("ROLLBACK");
        } catch (const Failure&) {
            // The failure being reported matters more than this one.
        }
        throw;
    }
}

std::string id_key(std::int64_t id)
{
    return std::string(reinterpret_cast<const char*>(&id), sizeof id);
}

std::string name_key(std::int64_t parent, const Bytes& folded)
{
    std::string key = id_key(parent);
    key.append(reinterpret_cast<const char*>(folded.data()), folded.size());
    return key;
}

// What an answer costs the memory.
template <class Row>
std::size_t weight(const std::vector<Row>& rows)
{
    return 1 + rows.size();
}
template <class Value>
std::size_t weight(const Value&)
{
    return 1;
}

}  // namespace

const std::string& boot_identity()
{
    static const std::string identity = [] {
        // 36 characters: hexadecimal digits in five groups joined by "-".
        constexpr std::size_t length = 36;
        std::string text;
        const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return text;
        }
        char buffer[length + 1] = {};
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        ::close(fd);
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

Name make_name(std::u16string text)
{
    std::u16string upper = text;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    Name name{std::move(text), {}};
    name.folded.reserve(upper.size() * 2);
    for (const char16_t unit : upper) {
        name.folded.push_back(static_cast<std::uint8_t>(unit >> 8));
        name.folded.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    }
    return name;
}

// Every statement the store runs, prepared once per connection.
struct Store::Statements {
    explicit Statements(Connection& db)
        : begin_read(db, "BEGIN"),
          begin_write(db, "BEGIN IMMEDIATE"),
          commit(db, "COMMIT"),
          rollback(db, "ROLLBACK"),
          key(db, "SELECT parent, denied, version, boot IS NOT NULL FROM keys WHERE id = ?1"),
          child(db, "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2"),
          add_child(
              db,
              "INSERT INTO keys(parent, name, folded, class, written, boot) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
              "RETURNING id"),
          mark_volatile(db, "UPDATE store SET volatile_boot = ?1 WHERE volatile_boot IS NOT ?1"),
          depth(db,
                "WITH RECURSIVE up(id) AS (SELECT parent FROM keys WHERE id = ?1 "
                "UNION SELECT keys.parent FROM keys JOIN up ON keys.id = up.id) SELECT count(id) FROM up"),
          has_children(db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1"),
          remove_values(db, "DELETE FROM vals WHERE key = ?1"),
          remove_key(db, "DELETE FROM keys WHERE id = ?1"),
          set_denied(db, "UPDATE keys SET denied = ?2 WHERE id = ?1"),
          touch(db, "UPDATE keys SET version = version + 1, written = ?2 WHERE id = ?1"),
          subkeys(db, "SELECT id, name FROM keys WHERE parent = ?1 ORDER BY folded"),
          subkey_details(db, "SELECT class, written FROM keys WHERE id = ?1"),
          values(db, "SELECT name, folded, type, length(data) FROM vals WHERE key = ?1 ORDER BY seq"),
          value(db, "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2"),
          put_value(db,
                    "INSERT INTO vals(key, folded, name, seq, type, data) VALUES (?1, ?2, ?3, "
                    "(SELECT coalesce(max(seq), 0) + 1 FROM vals WHERE key = ?1), ?4, ?5) "
                    "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data"),
          remove_value(db, "DELETE FROM vals WHERE key = ?1 AND folded = ?2 RETURNING 1")
    {
    }

    Statement begin_read;
    Statement begin_write;
    Statement commit;
    Statement rollback;
    Statement key;
    Statement child;
    Statement add_child;
    Statement mark_volatile;
    Statement depth;
    Statement has_children;
    Statement remove_values;
    Statement remove_key;
    Statement set_denied;
    Statement touch;
    Statement subkeys;
    Statement subkey_details;
    Statement values;
    Statement value;
    Statement put_value;
    Statement remove_value;
};

Store::Store(const std::string& path) : m_path(path), m_claim(claim_file(path)), m_db(path, busy_timeout_ms)
{
    try {
        if (!still_at_path()) {  // replaced between the check and the open
            throw Failure(ERROR_CANTOPEN);
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
    } catch (const Failure& failure) {
        // Anything but a foreign file or a lack of memory is a store that
        // cannot be opened here (read-only place, locked past the timeout...).
        if (failure.status() == ERROR_BADDB || failure.status() == ERROR_NOT_ENOUGH_MEMORY) {
            throw;
        }
        throw Failure(ERROR_CANTOPEN);
    }
}

Store::~Store() = default;

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
        throw Failure(ERROR_BADDB);
    }
    const bool marked = big_endian(start.bytes, application_id_at) == application_id;
    if (!marked && start.bytes[write_version_at] != wal_format) {
        throw Failure(ERROR_BADDB);
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
    // What the file holds is checked before anything in it changes.
    const std::int64_t id = integer_of(m_db, "PRAGMA application_id");
    const std::int64_t version = integer_of(m_db, "PRAGMA user_version");
    const bool known =
        id == application_id
            ? (version == schema_version && integer_of(m_db, schema_check_sql) == 1) ||
                  (version == 0 && integer_of(m_db, "SELECT count(*) FROM sqlite_master") == 0)
            : id == 0 && version == first_schema_version && integer_of(m_db, first_schema_check_sql) == 1;
    if (!known) {
        throw Failure(ERROR_BADDB);
    }
    const bool in_wal = text_of(m_db, "PRAGMA journal_mode = WAL") == "wal";
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
                throw Failure(ERROR_BADDB);
            }
        });
    }
    if (integer_of(m_db, schema_check_sql) != 1 ||
        integer_of(m_db, "PRAGMA application_id") != application_id) {
        throw Failure(ERROR_BADDB);
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

// ---- Transactions ------------------------------------------------------------------

Store::Transaction::Transaction(Store& store, Kind kind) : m_store(store)
{
    // A rollback that failed has left its transaction open; ending it here
    // keeps the next call from failing and from seeing that call's changes.
    if (store.m_db.in_transaction()) {
        store.m_sql->rollback.run().finish();
    }
    store.begin(kind == Kind::write ? Mode::writing : Mode::reading);
    m_open = true;
}

Store::Transaction::~Transaction()
{
    if (!m_open) {
        return;
    }
    if (m_store.m_begun) {
        try {
            m_store.m_sql->rollback.run().finish();
        } catch (const Failure&) {
            // SQLite has already rolled back a transaction whose step failed.
        }
    }
    m_store.end(false);
}

void Store::Transaction::commit()
{
    if (m_store.m_begun) {
        m_store.m_sql->commit.run().finish();
    }
    m_open = false;
    m_store.end(true);
}

void Store::begin(Mode mode)
{
    m_begun = false;
    if (mode == Mode::writing) {
        m_sql->begin_write.run().finish();
        m_begun = true;
        m_mode = Mode::writing;
        // With the write lock held nobody else commits: memory that is true
        // now stays true but for this change, which forgets what it alters
        // as it goes.
        m_write_base = m_db.stamp();
        if (m_known != m_write_base) {
            forget();
        }
        m_commits_before = m_db.own_commits();
        return;
    }
    if (m_known && m_known == m_db.stamp()) {
        m_mode = Mode::remembered;  // a store transaction only on a miss
        return;
    }
    forget();
    m_reading = m_db.stamp();
    m_sql->begin_read.run().finish();
    m_begun = true;
    m_mode = Mode::reading;
}

void Store::end(bool committed)
{
    const Mode mode = std::exchange(m_mode, Mode::idle);
    m_begun = false;
    if (mode == Mode::writing) {
        // The memory holds true after the commit when exactly one commit was
        // made since the write began, and this connection made one; or when
        // neither this connection nor anyone else committed anything. (When
        // it was not true as the write began it was emptied then, and empty
        // memory holds true of any state.)
        const std::optional<Stamp> before = m_write_base;
        const std::optional<Stamp> after = m_db.stamp();
        const bool wrote = m_db.own_commits() != m_commits_before;
        const bool only_ours = committed && before && after &&
                               (wrote ? after->commits() == before->commits() + 1 : *after == *before);
        if (only_ours) {
            m_known = after;
        } else {
            forget();
        }
    } else if (mode == Mode::reading) {
        // What was read holds true for the state the read started at, when
        // nothing has been committed since.
        if (committed && m_reading && m_reading == m_db.stamp()) {
            m_known = m_reading;
        } else {
            forget();
        }
    }
}

void Store::forget_key(std::int64_t id)
{
    const std::string key = id_key(id);
    m_keys.erase(key);
    m_details.erase(key);
    m_subkeys.erase(key);
    m_values.erase(key);
}

void Store::forget_child(std::int64_t parent, const Bytes& folded)
{
    m_children.erase(name_key(parent, folded));
}

void Store::forget() noexcept
{
    m_known.reset();
    m_weight = 0;
    m_keys.clear();
    m_children.clear();
    m_subkeys.clear();
    m_details.clear();
    m_values.clear();
    m_data.clear();
}

template <class Value, class Fetch>
Value Store::remembered(std::unordered_map<std::string, Value>& memory, const std::string& key, Fetch fetch)
{
    const bool remembering = m_mode == Mode::remembered || (m_mode == Mode::reading && m_reading) ||
                             (m_mode == Mode::writing && m_known);
    if (remembering) {
        const auto found = memory.find(key);
        if (found != memory.end()) {
            return found->second;
        }
    }
    if (m_mode == Mode::remembered && !m_begun) {
        m_sql->begin_read.run().finish();
        m_begun = true;
    }
    Value value = fetch();
    if (m_mode == Mode::remembered && m_known != m_db.stamp()) {
        // The store read here may be newer than what this call has already
        // been told from memory.
        forget();
        throw StaleCache{};
    }
    if (remembering) {
        m_weight += weight(value);
        if (m_weight > memory_limit) {
            const std::optional<Stamp> known = m_known;
            forget();
            m_known = known;
            m_weight = weight(value);
        }
        memory.emplace(key, value);
    }
    return value;
}

// ---- Keys ------------------------------------------------------------------------------

std::optional<KeyState> Store::key(std::int64_t id)
{
    return remembered(m_keys, id_key(id), [&]() -> std::optional<KeyState> {
        Run run = m_sql->key.run();
        run.bind(1, id);
        if (!run.next()) {
            return std::nullopt;
        }
        return KeyState{id, run.integer(0), static_cast<DWORD>(run.integer(1)), run.integer(2),
                        run.integer(3) != 0};
    });
}

std::optional<KeyState> Store::child(const KeyState& parent, const Name& name)
{
    // Remembered by number only, so that a change to the key itself is
    // forgotten in one place.
    const std::optional<std::int64_t> id =
        remembered(m_children, name_key(parent.id, name.folded), [&]() -> std::optional<std::int64_t> {
            Run run = m_sql->child.run();
            run.bind(1, parent.id).bind(2, view(name.folded));
            if (!run.next()) {
                return std::nullopt;
            }
            return run.integer(0);
        });
    if (!id) {
        return std::nullopt;
    }
    return key(*id);
}

KeyState Store::add_child(const KeyState& parent, const Name& name, const std::u16string* class_text,
                          bool is_volatile)
{
    const Bytes text = utf16_bytes(name.text);
    const std::int64_t now = filetime_now();
    const std::string& boot = boot_identity();
    if (is_volatile && boot.empty()) {
        throw Failure(ERROR_NOT_SUPPORTED);  // no way to tell when it should end
    }
    std::int64_t id = 0;
    {
        Run run = m_sql->add_child.run();
        run.bind(1, parent.id).bind(2, view(text)).bind(3, view(name.folded)).bind(5, now);
        Bytes class_bytes;
        if (class_text != nullptr && !class_text->empty()) {
            class_bytes = utf16_bytes(*class_text);
            run.bind(4, view(class_bytes));
        } else {
            run.bind_null(4);
        }
        if (is_volatile) {
            run.bind(6, ByteView{boot.data(), boot.size()});
        } else {
            run.bind_null(6);
        }
        if (!run.next()) {
            throw Failure(ERROR_CANTWRITE);
        }
        id = run.integer(0);
        run.finish();
    }
    if (is_volatile) {
        m_sql->mark_volatile.run().bind(1, ByteView{boot.data(), boot.size()}).finish();
    }
    forget_child(parent.id, name.folded);
    touch(parent.id);
    return KeyState{id, parent.id, 0, 0, is_volatile};
}

std::int64_t Store::depth(std::int64_t id)
{
    Run run = m_sql->depth.run();
    run.bind(1, id);
    return run.next() ? run.integer(0) : 0;
}

bool Store::has_children(std::int64_t id)
{
    Run run = m_sql->has_children.run();
    run.bind(1, id);
    return run.next();
}

void Store::remove_key(const KeyState& key)
{
    m_sql->remove_values.run().bind(1, key.id).finish();
    m_sql->remove_key.run().bind(1, key.id).finish();
    forget_key(key.id);  // its name now leads to a key that is gone
    touch(key.parent);
}

void Store::set_denied(std::int64_t id, DWORD denied)
{
    m_sql->set_denied.run().bind(1, id).bind(2, static_cast<std::int64_t>(denied)).finish();
    forget_key(id);
}

void Store::touch(std::int64_t id)
{
    m_sql->touch.run().bind(1, id).bind(2, filetime_now()).finish();
    forget_key(id);
}

std::vector<SubkeyRow> Store::subkeys(std::int64_t id)
{
    return remembered(m_subkeys, id_key(id), [&] {
        std::vector<SubkeyRow> rows;
        Run run = m_sql->subkeys.run();
        run.bind(1, id);
        while (run.next()) {
            rows.push_back(SubkeyRow{run.integer(0), utf16_text(run.blob(1))});
        }
        return rows;
    });
}

std::optional<SubkeyDetails> Store::subkey_details(std::int64_t id)
{
    return remembered(m_details, id_key(id), [&]() -> std::optional<SubkeyDetails> {
        Run run = m_sql->subkey_details.run();
        run.bind(1, id);
        if (!run.next()) {
            return std::nullopt;
        }
        SubkeyDetails details;
        if (!run.is_null(0)) {
            details.class_text = utf16_text(run.blob(0));
        }
        details.written = run.integer(1);
        return details;
    });
}

// ---- Values ----------------------------------------------------------------------------

std::vector<ValueRow> Store::values(std::int64_t key)
{
    return remembered(m_values, id_key(key), [&] {
        std::vector<ValueRow> rows;
        Run run = m_sql->values.run();
        run.bind(1, key);
        while (run.next()) {
            rows.push_back(ValueRow{utf16_text(run.blob(0)), copy(run.blob(1)),
                                    static_cast<DWORD>(run.integer(2)),
                                    static_cast<std::uint32_t>(run.integer(3))});
        }
        return rows;
    });
}

std::optional<ValueData> Store::value(std::int64_t key, const Bytes& folded)
{
    const auto fetch = [&]() -> std::optional<ValueData> {
        Run run = m_sql->value.run();
        run.bind(1, key).bind(2, view(folded));
        if (!run.next()) {
            return std::nullopt;
        }
        return ValueData{static_cast<DWORD>(run.integer(0)), copy(run.blob(1))};
    };
    // Large data is read each time rather than held.
    const std::string memory_key = name_key(key, folded);
    std::optional<ValueData> data = remembered(m_data, memory_key, fetch);
    if (data && data->data.size() > data_limit) {
        m_data.erase(memory_key);
    }
    return data;
}

void Store::put_value(std::int64_t key, const Name& name, DWORD type, ByteView data)
{
    const Bytes text = utf16_bytes(name.text);
    m_sql->put_value.run()
        .bind(1, key)
        .bind(2, view(name.folded))
        .bind(3, view(text))
        .bind(4, static_cast<std::int64_t>(type))
        .bind(5, data)
        .finish();
    m_data.erase(name_key(key, name.folded));
    touch(key);
}

bool Store::remove_value(std::int64_t key, const Bytes& folded)
{
    bool removed = false;
    {
        Run run = m_sql->remove_value.run();
        run.bind(1, key).bind(2, view(folded));
        removed = run.next();
        run.finish();
    }
    if (removed) {
        m_data.erase(name_key(key, folded));
        touch(key);
    }
    return removed;
}

}  // namespace vh::registry
