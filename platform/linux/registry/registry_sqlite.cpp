// The SQLite layer under the registry store: the owning types and the seam.
//
// open_database, prepare_statement and step_statement are the only places
// where SQLite is asked to do work that can fail for reasons outside the
// program (disk, memory, locks, a damaged file). The fault-injection
// switch hooks them; nothing else in the registry calls sqlite3_open_v2,
// sqlite3_prepare_v2 or sqlite3_step.
#include "platform/linux/registry/registry_sqlite.h"

#include <sqlite3.h>

#include <atomic>
#include <limits>

#include "platform/linux/fault.h"

namespace vh::registry {

namespace {

// ---- The seam -------------------------------------------------------------------

int open_database(const std::string& path, sqlite3** db)
{
    return sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
}

// The result code the fault switch gives instead of running the call.
int injected_failure()
{
    return vh::fault::failure(VH_FAULT_SQLITE, SQLITE_IOERR);
}

int prepare_statement(sqlite3* db, const char* sql, sqlite3_stmt** stmt, const char** tail)
{
    if (vh::fault::fail_now(VH_FAULT_SQLITE)) {
        *stmt = nullptr;
        return injected_failure();
    }
    return sqlite3_prepare_v2(db, sql, -1, stmt, tail);
}

int step_statement(sqlite3_stmt* stmt)
{
    if (vh::fault::fail_now(VH_FAULT_SQLITE)) {
        return injected_failure();
    }
    return sqlite3_step(stmt);
}

// ---------------------------------------------------------------------------------

[[noreturn]] void fail(int result, bool writing)
{
    throw Win32Failure(status_from_sqlite(result, writing));
}

bool is_write(sqlite3_stmt* stmt)
{
    return sqlite3_stmt_readonly(stmt) == 0;
}

// The shared memory's header, as SQLite lays it out (wal.c, "wal-index
// header"): twelve 32-bit words in the machine's byte order, written twice,
// the second copy first; the first copy is read first.
constexpr int header_words = 12;
constexpr std::uint32_t header_version = 3007000;  // word 0
constexpr int init_word = 3;                       // its low byte: 1 once initialised
constexpr int checksum_word = 10;                  // words 10 and 11 sum words 0 to 9
constexpr int region_size = 32768;
// Log frames after which a commit copies the log into the database (SQLite's
// own automatic checkpoint, which the commit hook below replaces).
constexpr int checkpoint_frames = 1000;

std::uint32_t load(const volatile std::uint32_t* word)
{
    return __atomic_load_n(const_cast<const std::uint32_t*>(word), __ATOMIC_RELAXED);
}

bool checksum_holds(const Stamp& stamp)
{
    std::uint32_t s1 = 0;
    std::uint32_t s2 = 0;
    for (int i = 0; i < checksum_word; i += 2) {
        s1 += stamp.words[i] + s2;
        s2 += stamp.words[i + 1] + s1;
    }
    return s1 == stamp.words[checksum_word] && s2 == stamp.words[checksum_word + 1];
}

}  // namespace

DWORD status_from_sqlite(int result, bool writing) noexcept
{
    switch (result & 0xFF) {
        case SQLITE_NOMEM:
        case SQLITE_TOOBIG:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
            return ERROR_BADDB;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        default:
            return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
    }
}

// ---- Connection -----------------------------------------------------------------

Connection::Connection(const std::string& path, int busy_timeout_ms)
{
    const int result = open_database(path, &m_db);
    if (result != SQLITE_OK) {
        // A handle comes back even from a failed open, except when memory ran out.
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw Win32Failure(result == SQLITE_NOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTOPEN);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, busy_timeout_ms);
    sqlite3_wal_hook(m_db, &Connection::on_commit, this);
}

int Connection::on_commit(void* self, sqlite3* db, const char* name, int frames) noexcept
{
    ++static_cast<Connection*>(self)->m_own_commits;
    if (frames >= checkpoint_frames) {
        // As SQLite's automatic checkpoint does; one that cannot run now
        // (readers, a busy writer) is left for a later commit.
        sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    return SQLITE_OK;
}

void Connection::checkpoint_on_close(bool copy) noexcept
{
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, copy ? 0 : 1, nullptr);
}

FileStart Connection::file_start()
{
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        file == nullptr || file->pMethods == nullptr) {
        throw Win32Failure(ERROR_CANTREAD);
    }
    FileStart start;
    sqlite3_int64 size = 0;
    if (file->pMethods->xFileSize(file, &size) != SQLITE_OK) {
        throw Win32Failure(ERROR_CANTREAD);
    }
    start.size = size;
    const int result =
        file->pMethods->xRead(file, start.bytes.data(), static_cast<int>(start.bytes.size()), 0);
    if (result != SQLITE_OK && result != SQLITE_IOERR_SHORT_READ) {  // a short read fills the rest with zeros
        throw Win32Failure(ERROR_CANTREAD);
    }
    return start;
}

std::optional<Stamp> Connection::stamp() const noexcept
{
    if (m_header == nullptr) {
        // The region is mapped by SQLite once the log is open (after the
        // first transaction in WAL mode); asking for it then changes nothing.
        sqlite3_file* file = nullptr;
        if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
            file == nullptr || !m_in_wal || file->pMethods == nullptr || file->pMethods->iVersion < 2 ||
            file->pMethods->xShmMap == nullptr) {
            return std::nullopt;
        }
        void volatile* region = nullptr;
        if (file->pMethods->xShmMap(file, 0, region_size, 0, &region) != SQLITE_OK || region == nullptr) {
            return std::nullopt;
        }
        m_header = static_cast<const volatile std::uint32_t*>(region);
    }
    Stamp first;
    Stamp second;
    for (int i = 0; i < header_words; ++i) {
        first.words[i] = load(m_header + i);
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
    for (int i = 0; i < header_words; ++i) {
        second.words[i] = load(m_header + header_words + i);
    }
    if (first != second || first.words[0] != header_version || (first.words[init_word] & 0xFF) != 1 ||
        !checksum_holds(first)) {
        return std::nullopt;
    }
    return first;
}

bool Connection::in_transaction() const noexcept
{
    return sqlite3_get_autocommit(m_db) == 0;
}

bool Connection::was_busy() const noexcept
{
    return (sqlite3_errcode(m_db) & 0xFF) == SQLITE_BUSY;
}

Connection::~Connection()
{
    sqlite3_close_v2(m_db);
}

void Connection::execute(const char* sql)
{
    while (sql != nullptr && *sql != '\0') {
        const char* tail = nullptr;
        Statement statement(*this, sql, &tail);
        if (!statement.empty()) {  // only white space or a comment may be left
            statement.run().finish();
        }
        sql = tail;
    }
}

// ---- Statement and Run ------------------------------------------------------------

Statement::Statement(Connection& connection, const char* sql, const char** tail)
{
    const int result = prepare_statement(connection.get(), sql, &m_stmt, tail);
    if (result != SQLITE_OK) {
        fail(result, false);  // a failed prepare leaves no statement behind
    }
}

Statement::~Statement()
{
    sqlite3_finalize(m_stmt);
}

Run::~Run()
{
    sqlite3_reset(m_statement->m_stmt);
    sqlite3_clear_bindings(m_statement->m_stmt);
}

Run& Run::bind(int index, std::int64_t number)
{
    const int result = sqlite3_bind_int64(m_statement->m_stmt, index, number);
    if (result != SQLITE_OK) {
        fail(result, is_write(m_statement->m_stmt));
    }
    return *this;
}

Run& Run::bind(int index, ByteView bytes)
{
    if (bytes.size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw Win32Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    // A zero-length blob still needs a non-null pointer, or SQLite binds NULL.
    static const std::uint8_t empty = 0;
    const void* data = bytes.size == 0 ? &empty : bytes.data;
    const int result =
        sqlite3_bind_blob(m_statement->m_stmt, index, data, static_cast<int>(bytes.size), SQLITE_TRANSIENT);
    if (result != SQLITE_OK) {
        fail(result, is_write(m_statement->m_stmt));
    }
    return *this;
}

Run& Run::bind_null(int index)
{
    const int result = sqlite3_bind_null(m_statement->m_stmt, index);
    if (result != SQLITE_OK) {
        fail(result, is_write(m_statement->m_stmt));
    }
    return *this;
}

bool Run::next()
{
    const int result = step_statement(m_statement->m_stmt);
    if (result == SQLITE_ROW) {
        return true;
    }
    if (result == SQLITE_DONE) {
        return false;
    }
    fail(result, is_write(m_statement->m_stmt));
}

void Run::finish()
{
    while (next()) {
    }
}

std::int64_t Run::integer(int column) const
{
    return sqlite3_column_int64(m_statement->m_stmt, column);
}

bool Run::is_null(int column) const
{
    return sqlite3_column_type(m_statement->m_stmt, column) == SQLITE_NULL;
}

ByteView Run::blob(int column) const
{
    const void* data = sqlite3_column_blob(m_statement->m_stmt, column);
    const int size = sqlite3_column_bytes(m_statement->m_stmt, column);
    if (data == nullptr && size > 0) {  // the copy out of the page failed
        throw Win32Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    return ByteView{data, static_cast<std::size_t>(size)};
}

}  // namespace vh::registry
