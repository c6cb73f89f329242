// The SQLite layer under the registry store.
//
// One owning type for the connection and one for a prepared statement; they
// alone close and finalize. Every call that can fail inside SQLite (open,
// prepare, step) passes through the few functions of registry_sqlite.cpp, so a
// fault-injection switch (VhFaultArm) has one place to hook. A failure becomes
// a Win32Failure carrying the Win32 status the registry function returns.
//
// The connection also reports what SQLite itself knows of commits made by
// any connection of any process (Stamp), which is what lets the store keep
// answers in memory safely.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/win32_failure.h"
#include "platform/win32.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vh::registry {

using Bytes = std::vector<std::uint8_t>;

// A read-only view of bytes bound to or read from a statement.
struct ByteView {
    const void* data = nullptr;
    std::size_t size = 0;
};

// The state of the store after the latest commit by any connection of any
// process that shares it: the header SQLite keeps at the start of the store's
// shared memory (the "-shm" file of a database in WAL mode). Every commit
// writes a new one, with a count of commits, the last frame of the log and
// that frame's checksum, and the log's salts (new whenever the log starts
// over), so two equal stamps mean that nothing was committed in between.
struct Stamp {
    std::array<std::uint32_t, 12> words{};

    // The count of commits (wrapping at 2^32).
    std::uint32_t commits() const noexcept { return words[2]; }
    bool operator==(const Stamp&) const = default;
};

// The first bytes of the database file and its size, as they stand on disk.
struct FileStart {
    std::int64_t size = 0;
    std::array<std::uint8_t, 100> bytes{};  // zeros past the end of a short file
};

// The open database file. Opening creates the file when it is missing and sets
// the busy timeout; it reads nothing yet. A file that cannot be opened gives
// ERROR_CANTOPEN.
class Connection {
public:
    Connection(const std::string& path, int busy_timeout_ms);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* get() const noexcept { return m_db; }
    // True while a transaction is open on the connection.
    bool in_transaction() const noexcept;
    // True when the last failure was SQLITE_BUSY: a lock another connection
    // holds, which SQLite gave up waiting for (or did not wait for at all).
    bool was_busy() const noexcept;

    // Runs SQL text of one or more statements whose rows are not needed
    // (pragmas, schema creation), each prepared and run once.
    void execute(const char* sql);

    // The file's first bytes, read through SQLite's own descriptor (a second
    // descriptor of ours, once closed, would drop SQLite's locks on the file).
    FileStart file_start();

    // The stamp of the latest commit, read from shared memory without a lock
    // and without a system call, the way SQLite reads it: both copies of the
    // header equal and its checksum right. Nothing when the store is not in
    // WAL mode yet, when a commit is writing the header at that moment, or
    // when the memory does not hold a header of the layout this code knows:
    // a caller then cannot tell what changed, and must assume everything did.
    std::optional<Stamp> stamp() const noexcept;

    // Whether closing the last connection to the file copies its log into
    // it (SQLite's default) or leaves the log as it is.
    void checkpoint_on_close(bool copy) noexcept;

    // Said once the file is known to be in WAL mode and a transaction has
    // run on it: stamp() gives nothing before.
    void use_stamps() noexcept { m_in_wal = true; }

    // The number of commits of this connection that wrote to the log.
    std::uint64_t own_commits() const noexcept { return m_own_commits; }

private:
    static int on_commit(void* self, sqlite3* db, const char* name, int frames) noexcept;

    sqlite3* m_db = nullptr;
    std::uint64_t m_own_commits = 0;
    bool m_in_wal = false;
    mutable const volatile std::uint32_t* m_header = nullptr;  // SQLite's mapping, valid while open
};

class Statement;

// One run of a prepared statement: parameters bound at the start, rows read
// with next(); the statement is reset and its bindings cleared when the run
// ends, so no run leaves a read transaction behind.
class Run {
public:
    explicit Run(Statement& statement) noexcept : m_statement(&statement) {}
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    Run& bind(int index, std::int64_t number);
    Run& bind(int index, ByteView bytes);  // a blob; a null data pointer binds an empty blob
    Run& bind_null(int index);

    // Steps once: true with a row ready, false when the statement is done.
    bool next();
    // Steps to the end, for statements whose rows do not matter.
    void finish();

    std::int64_t integer(int column) const;
    bool is_null(int column) const;
    // The column's bytes, valid until the next step.
    ByteView blob(int column) const;

private:
    Statement* m_statement;
};

// A statement prepared once for its connection and run again and again.
class Statement {
public:
    // Prepares the first statement of `sql`; `tail`, when given, receives
    // where the next one starts.
    Statement(Connection& connection, const char* sql, const char** tail = nullptr);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Run run() noexcept { return Run(*this); }
    // True when the text held no statement (white space or a comment).
    bool empty() const noexcept { return m_stmt == nullptr; }

private:
    friend class Run;
    sqlite3_stmt* m_stmt = nullptr;
};

// The status a failing SQLite result code stands for; `writing` tells a
// failed write (ERROR_CANTWRITE) from a failed read (ERROR_CANTREAD).
DWORD status_from_sqlite(int result, bool writing) noexcept;

}  // namespace vh::registry
