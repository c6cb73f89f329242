// The registry store.
//
// Two tables hold the registry. `keys` has one row per key: its number (never
// reused, so a handle to a removed key can never reach a newer key), its
// parent's number (NULL for the four roots, rows 1 to 4), its name as created,
// its folded name, its class text, the refusals set on it, a change counter and
// the time of its last change. `vals` has one row per value: the key's number,
// the folded and created names, a sequence number that fixes the order in
// which values were first created, the type and the data bytes exactly as
// given. Names are kept as UTF-16 (little-endian bytes), the form the platform
// converts the caller's ANSI text into; folded names are the same text passed
// through CharUpperBuffW and stored most significant byte first, so comparing
// the bytes compares code units: a subkey listing sorted by folded name is
// sorted without regard to case, and a key or value is found by one lookup in
// a unique index on (parent, folded name).
//
// Every change to a key's subkeys or values bumps that key's change counter in
// the same transaction. A listing by index keeps a snapshot of the names per
// handle and, at each step, compares the snapshot's counter with the key's by
// one indexed lookup; only a changed key is read again, so listing n entries
// reads the store O(n) times, and still sees changes made between steps by
// this process or any other sharing the file.
//
// What a process has read is remembered (keys, names, listings, small value
// data) as long as no other process has changed the store since: a count of the
// changes lives in shared memory beside the file ("<store>-changes"); every
// write transaction counts itself as started once it holds the write lock and
// as finished after it ends. A read transaction that finds the count where it
// was when the memory was filled, with no change under way, answers from
// memory and opens no store transaction; a miss reads the store and then
// checks the count again, so an answer from the store is never mixed with
// older ones from memory (the call starts again instead: StaleCache). A
// process that dies in the middle of a write leaves the count unsettled, and
// every read goes to the store until the next write settles it. A process's
// own changes keep its memory, less what they make untrue, when it held true
// as the change began. Without the
// shared memory (a folder that cannot hold the file), every read goes to
// the store.
//
// The file is opened in WAL mode, so readers never wait for a writer, with
// normal synchronisation: a committed change is in the log before the call
// returns and survives the crash of any process; the log reaches the disk
// at checkpoints, as the system registry flushes lazily too. The schema
// version (PRAGMA user_version) is checked on open: a file from a newer
// release is refused rather than misread.
#include "platform/linux/registry_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>

namespace vh::registry {

namespace {

constexpr std::int64_t schema_version = 1;
constexpr int busy_timeout_ms = 10000;
constexpr std::size_t counter_size = 4096;
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
        written INTEGER NOT NULL DEFAULT 0
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
    INSERT INTO keys(id, parent, name, folded) VALUES
        (1, NULL, CAST('HKEY_CLASSES_ROOT' AS BLOB), x''),
        (2, NULL, CAST('HKEY_CURRENT_USER' AS BLOB), x''),
        (3, NULL, CAST('HKEY_LOCAL_MACHINE' AS BLOB), x''),
        (4, NULL, CAST('HKEY_USERS' AS BLOB), x'');
    PRAGMA user_version = 1;
)sql";

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

std::atomic_ref<std::uint64_t> shared(std::uint64_t& word)
{
    return std::atomic_ref<std::uint64_t>(word);
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

// ---- The change counter ------------------------------------------------------------

ChangeCounter::ChangeCounter(const std::string& store_path) noexcept
{
    const std::string path = store_path + "-changes";
    const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0) {
        return;
    }
    // A new file is grown to size by whichever process meets it first; growing
    // it again to the same size changes nothing another has counted.
    struct stat info {};
    if (::fstat(file, &info) != 0 || (static_cast<std::size_t>(info.st_size) < counter_size &&
                                      ::ftruncate(file, static_cast<off_t>(counter_size)) != 0)) {
        ::close(file);
        return;
    }
    void* memory = ::mmap(nullptr, counter_size, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    ::close(file);
    if (memory != MAP_FAILED) {
        m_shared = static_cast<std::uint64_t*>(memory);
    }
}

ChangeCounter::~ChangeCounter()
{
    if (m_shared != nullptr) {
        ::munmap(m_shared, counter_size);
    }
}

std::uint64_t ChangeCounter::settled() const noexcept
{
    if (m_shared == nullptr) {
        return none;
    }
    const std::uint64_t started = shared(m_shared[0]).load();
    const std::uint64_t finished = shared(m_shared[1]).load();
    return started == finished && started != none ? started : none;
}

bool ChangeCounter::still(std::uint64_t count) const noexcept
{
    return m_shared != nullptr && count != none && shared(m_shared[0]).load() == count;
}

void ChangeCounter::begin_change() noexcept
{
    if (m_shared == nullptr) {
        return;
    }
    // Holding the write lock, this is the only change under way: one that
    // started and never finished belonged to a process that died, and is
    // settled here.
    const std::uint64_t started = shared(m_shared[0]).load();
    shared(m_shared[1]).store(started);
    m_ticket = started + 1;
    shared(m_shared[0]).store(m_ticket);
}

void ChangeCounter::end_change() noexcept
{
    if (m_shared == nullptr) {
        return;
    }
    // Settled only from the count this change started at: a change begun
    // since has settled it already, or will.
    std::uint64_t expected = m_ticket - 1;
    shared(m_shared[1]).compare_exchange_strong(expected, m_ticket);
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
          key(db, "SELECT parent, denied, version FROM keys WHERE id = ?1"),
          child(db, "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2"),
          add_child(db,
                    "INSERT INTO keys(parent, name, folded, class, written) VALUES (?1, ?2, ?3, ?4, ?5) "
                    "RETURNING id"),
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

Store::Store(const std::string& path) : m_path(path), m_db(path, busy_timeout_ms), m_changes(path)
{
    try {
        open_schema();
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

void Store::open_schema()
{
    const auto read_version = [this] {
        Statement pragma(m_db, "PRAGMA user_version");
        Run run = pragma.run();
        return run.next() ? run.integer(0) : 0;
    };
    std::int64_t version = read_version();
    if (version != 0 && version != schema_version) {
        throw Failure(ERROR_BADDB);
    }
    m_db.execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;");
    if (version == 0) {
        // Several processes may meet a new file at once: the first to take
        // the write lock creates the schema, the others find it done.
        m_db.execute("BEGIN IMMEDIATE");
        try {
            version = read_version();
            if (version == 0) {
                m_db.execute(schema_sql);
            } else if (version != schema_version) {
                throw Failure(ERROR_BADDB);
            }
            m_db.execute("COMMIT");
        } catch (...) {
            try {
                m_db.execute("ROLLBACK");
            } catch (const Failure&) {
                // The failure being reported matters more than this one.
            }
            throw;
        }
    }
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
        // With the write lock held, memory that is still true stays true but
        // for this change, which forgets what it alters as it goes.
        if (!m_changes.still(m_known)) {
            forget();
        }
        m_changes.begin_change();
        return;
    }
    if (m_changes.still(m_known)) {
        m_mode = Mode::remembered;  // a store transaction only on a miss
        return;
    }
    forget();
    m_reading = m_changes.settled();
    m_sql->begin_read.run().finish();
    m_begun = true;
    m_mode = Mode::reading;
}

void Store::end(bool committed)
{
    const Mode mode = std::exchange(m_mode, Mode::idle);
    m_begun = false;
    if (mode == Mode::writing) {
        m_changes.end_change();  // committed or not, the change is over
        if (committed && m_known != ChangeCounter::none) {
            m_known = m_changes.ticket();
        } else {
            forget();
        }
    } else if (mode == Mode::reading) {
        // What was read holds true for the count the read started at, when
        // no change has started since.
        if (committed && m_changes.still(m_reading)) {
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
    m_known = ChangeCounter::none;
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
    const bool remembering = m_mode == Mode::remembered ||
                             (m_mode == Mode::reading && m_reading != ChangeCounter::none) ||
                             (m_mode == Mode::writing && m_known != ChangeCounter::none);
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
    if (m_mode == Mode::remembered && !m_changes.still(m_known)) {
        // The store read here may be newer than what this call has already
        // been told from memory.
        forget();
        throw StaleCache{};
    }
    if (remembering) {
        m_weight += weight(value);
        if (m_weight > memory_limit) {
            const std::uint64_t known = m_known;
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
        return KeyState{id, run.integer(0), static_cast<DWORD>(run.integer(1)), run.integer(2)};
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

KeyState Store::add_child(const KeyState& parent, const Name& name, const std::u16string* class_text)
{
    const Bytes text = utf16_bytes(name.text);
    const std::int64_t now = filetime_now();
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
        if (!run.next()) {
            throw Failure(ERROR_CANTWRITE);
        }
        id = run.integer(0);
        run.finish();
    }
    forget_child(parent.id, name.folded);
    touch(parent.id);
    return KeyState{id, parent.id, 0, 0};
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
