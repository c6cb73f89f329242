// The SQLite layer under the registry store: the owning types and the seam.
//
// open_database, prepare_statement and step_statement are the only places
// where SQLite is asked to do work that can fail for reasons outside the
// program (disk, memory, locks, a damaged file). The fault-injection
// switch hooks them; nothing else in the registry calls sqlite3_open_v2,
// sqlite3_prepare_v2 or sqlite3_step.
#include "platform/linux/registry_sqlite.h"

#include <sqlite3.h>

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
    throw Failure(status_from_sqlite(result, writing));
}

bool is_write(sqlite3_stmt* stmt)
{
    return sqlite3_stmt_readonly(stmt) == 0;
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
        throw Failure(result == SQLITE_NOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTOPEN);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, busy_timeout_ms);
}

bool Connection::in_transaction() const noexcept
{
    return sqlite3_get_autocommit(m_db) == 0;
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
        throw Failure(ERROR_NOT_ENOUGH_MEMORY);
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
        throw Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    return ByteView{data, static_cast<std::size_t>(size)};
}

}  // namespace vh::registry
