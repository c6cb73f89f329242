// The registry store: keys and values in one SQLite database file.
//
// The store knows keys by number and names in their folded form; paths,
// handles, access masks and code pages belong to registry.cpp. Every member
// runs inside a Transaction that the caller holds, and reports a failure as a
// Win32Failure carrying the Win32 status (win32_failure.h). Members that
// change a key's subkeys or values also bump that key's change counter, by
// which open listings notice the change, in this process or another.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/registry/registry_sqlite.h"

namespace vh::registry {

// A key or value name: the text as its creator spelled it, and the folded
// form it is compared and sorted by (upper-cased UTF-16, each code unit most
// significant byte first, so that byte order is code-unit order).
struct Name {
    std::u16string text;
    Bytes folded;
};

// Folds a name with the platform's case mapping (CharUpperBuffW).
Name make_name(std::u16string text);

// What tells one start of the system from the next: the kernel's boot
// identity, read once per process; empty when it cannot be read.
const std::string& boot_identity();

// What the store holds about a key itself.
struct KeyState {
    std::int64_t id = 0;
    std::int64_t parent = 0;   // 0 for a root
    DWORD denied = 0;          // VH_KEY_DENY_READ | VH_KEY_DENY_WRITE
    std::int64_t version = 0;  // change counter of the key's subkeys and values
    bool is_volatile = false;  // made to last until the system starts again
};

struct SubkeyRow {
    std::int64_t id = 0;
    std::u16string name;
};

struct SubkeyDetails {
    std::optional<std::u16string> class_text;
    std::int64_t written = 0;  // last change, in FILETIME ticks
};

struct ValueRow {
    std::u16string name;
    Bytes folded;
    DWORD type = 0;
    std::uint32_t size = 0;
};

struct ValueData {
    DWORD type = 0;
    Bytes data;
};

// Thrown by a read that found the store changed under the answers it had
// already given from memory: the call starts again, reading the store.
struct StaleCache {};

// Which file a path named: a store open on one file stays with it.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Which store: the file, and the serial number the store was given when it
// was made (a file made anew may get the inode number of one removed).
struct StoreIdentity {
    FileIdentity file;
    std::int64_t serial = 0;
    bool operator==(const StoreIdentity&) const = default;
};

// What opening found of the file before SQLite opened it.
struct FileClaim {
    FileIdentity identity;
    std::int64_t size = 0;
    std::string real_path;  // links resolved: where SQLite keeps its side files
    bool had_log = false;   // a log of SQLite's was beside it already
};

class Store {
public:
    static constexpr int root_count = 4;
    static constexpr std::int64_t root_id(int index) { return index + 1; }

    // Opens the store file, creating it (mode 0600) and its schema when new
    // or empty. A file that cannot be opened, or that has a second name (a
    // hard link: SQLite keeps its log beside the name it was given, so two
    // names would be two logs), gives ERROR_CANTOPEN; one that is not a store
    // (another program's database, any other file), or that a newer release
    // wrote, gives ERROR_BADDB and is left exactly as it was.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::string& path() const { return m_path; }
    // Drops everything remembered: the next transaction reads the store.
    void forget_all() noexcept { forget(); }
    StoreIdentity identity() const { return StoreIdentity{m_claim.identity, m_serial}; }
    // True while the path still names the file this store has open, and
    // by that name alone.
    bool still_at_path() const;

    // One transaction: a read sees one consistent state of the store; a write
    // takes the store's write lock at once (waiting up to the busy timeout)
    // and is undone unless committed.
    class Transaction {
    public:
        enum class Kind { read, write };
        Transaction(Store& store, Kind kind);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        Store& m_store;
        bool m_open = false;
    };

    std::optional<KeyState> key(std::int64_t id);
    std::optional<KeyState> child(const KeyState& parent, const Name& name);
    // Creates a subkey (keeping the class text, when one is given). A
    // volatile one carries the boot identity it was made in (boot_identity()).
    KeyState add_child(const KeyState& parent, const Name& name, const std::u16string* class_text,
                       bool is_volatile = false);
    // How many levels below its root the key is (0 for a root).
    std::int64_t depth(std::int64_t id);
    bool has_children(std::int64_t id);
    // Removes a key that has no subkeys, with its values.
    void remove_key(const KeyState& key);
    void set_denied(std::int64_t id, DWORD denied);

    // Subkeys sorted by folded name.
    std::vector<SubkeyRow> subkeys(std::int64_t id);
    std::optional<SubkeyDetails> subkey_details(std::int64_t id);

    // Values in the order they were first created.
    std::vector<ValueRow> values(std::int64_t key);
    std::optional<ValueData> value(std::int64_t key, const Bytes& folded);
    // Sets a value's type and data; a new value goes after the existing ones,
    // an existing one keeps its place and the spelling of its name.
    void put_value(std::int64_t key, const Name& name, DWORD type, ByteView data);
    // False when there was no such value.
    bool remove_value(std::int64_t key, const Bytes& folded);

private:
    struct Statements;

    // How the transaction under way reads: from memory, checked against the
    // change counter (a store transaction is begun only on a miss); from the
    // store, remembering what it reads; or from the store only (writes).
    enum class Mode { idle, remembered, reading, writing };

    void identify();
    void make_store();
    void open_store();
    void add_volatile_columns();
    void remove_earlier_boots();
    void touch(std::int64_t id);
    void begin(Mode mode);
    void end(bool committed);
    void forget() noexcept;
    // What a change makes untrue of the memory.
    void forget_key(std::int64_t id);
    void forget_child(std::int64_t parent, const Bytes& folded);
    template <class Value, class Fetch>
    Value remembered(std::unordered_map<std::string, Value>& memory, const std::string& key, Fetch fetch);

    std::string m_path;
    FileClaim m_claim;
    Connection m_db;
    std::int64_t m_serial = 0;
    std::unique_ptr<Statements> m_sql;

    Mode m_mode = Mode::idle;
    bool m_begun = false;                // a store transaction is open
    std::optional<Stamp> m_known;        // the state the memory below holds true for
    std::optional<Stamp> m_reading;      // the state a reading transaction started at
    std::optional<Stamp> m_write_base;   // the state a write transaction started at
    std::uint64_t m_commits_before = 0;  // this connection's commits when a write began
    std::size_t m_weight = 0;            // entries remembered, listings by their length
    std::unordered_map<std::string, std::optional<KeyState>> m_keys;
    std::unordered_map<std::string, std::optional<std::int64_t>> m_children;  // by parent and folded name
    std::unordered_map<std::string, std::vector<SubkeyRow>> m_subkeys;
    std::unordered_map<std::string, std::optional<SubkeyDetails>> m_details;
    std::unordered_map<std::string, std::vector<ValueRow>> m_values;
    std::unordered_map<std::string, std::optional<ValueData>> m_data;
};

}  // namespace vh::registry
