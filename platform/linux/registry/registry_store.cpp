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
// Opening the store's file, and what is checked of it first, is
// registry_store_file.cpp.
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/linux/registry/registry_store_detail.h"

namespace vh::registry {

namespace {

// Entries remembered before the memory is emptied (a listing counts by its
// length), and the largest value data remembered.
constexpr std::size_t memory_limit = 1 << 20;
constexpr std::size_t data_limit = 4096;

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
Store::~Store() = default;

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
        } catch (const Win32Failure&) {
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
        throw Win32Failure(ERROR_NOT_SUPPORTED);  // no way to tell when it should end
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
            throw Win32Failure(ERROR_CANTWRITE);
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
