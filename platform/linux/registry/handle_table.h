// The process's handle table: what each registry handle stands for (a key
// of the store, the rights its open granted, its listings), the rights a
// key's refusals leave, and the connection to the store the handles name
// keys of. registry.cpp says what handles are and how access is checked.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/registry/registry_store.h"
#include "platform/win32.h"

namespace vh::registry {

using Kind = Store::Transaction::Kind;

constexpr std::uint32_t first_root = 0x80000000u;  // HKEY_CLASSES_ROOT

inline bool is_root(std::uint32_t value)
{
    return value >= first_root && value - first_root < Store::root_count;
}

// The rights a key's refusals leave to an open.
REGSAM allowed_rights(DWORD denied);
// The rights an open of a key grants: all that the mask asks for (generic
// bits spelled out), or ERROR_ACCESS_DENIED when the key refuses any of
// them. MAXIMUM_ALLOWED adds whatever the key allows.
REGSAM grant(REGSAM access, DWORD denied);

// ---- The process's registry state ----------------------------------------------------

struct SubkeyEntry {
    std::int64_t id = 0;
    std::string name;  // ANSI, as handed out
};

struct ValueEntry {
    std::string name;  // ANSI, as handed out
    Bytes folded;
    DWORD type = 0;
    std::uint32_t size = 0;
};

// The names of one listing as they stood at a key's change counter.
template <class Entry>
struct Listing {
    std::int64_t version = -1;  // none taken yet
    std::vector<Entry> entries;
};

// What a handle stands for.
struct OpenKey {
    std::int64_t key = 0;
    REGSAM rights = 0;
    std::uint64_t generation = 0;  // the store it was opened on
    Listing<SubkeyEntry> subkeys;
    Listing<ValueEntry> values;
};

// A handle checked for one call, inside the call's transaction.
struct Resolved {
    OpenKey* open = nullptr;
    KeyState key;
};

// The handle table and its store connection sit behind one mutex.
class HandleTable {
public:
    std::mutex& lock() { return m_lock; }

    // The store the environment names, opened or reopened as needed. Before
    // a write, the path must still name the open file (by that name alone):
    // a store file replaced, moved away or linked under a second name since
    // it was opened is opened anew, so that a change never goes to a file
    // nobody else will read.
    Store& store(Kind kind);

    // Around fork(): the connection is closed before, with the lock held, so
    // that neither process carries SQLite's state into the other; each opens
    // its own on its next call, with empty memory and the same handles.
    void before_fork();
    void after_fork() { m_lock.unlock(); }

    // The handle's key, checked in order: ERROR_INVALID_HANDLE for a handle
    // this process does not hold, ERROR_ACCESS_DENIED when it lacks `needed`,
    // ERROR_KEY_DELETED when its key is gone.
    Resolved resolve(Store& store, std::uint32_t handle, REGSAM needed);

    HKEY add_handle(std::int64_t key, REGSAM rights);
    bool close(std::uint32_t handle);  // false for a handle not held
    DWORD handle_count() const { return static_cast<DWORD>(m_handles.size()); }

    // The listings of the handle's key, read again when the key has changed.
    const std::vector<SubkeyEntry>& subkeys(Store& store, const Resolved& at);
    const std::vector<ValueEntry>& values(Store& store, const Resolved& at);

private:
    std::mutex m_lock;
    std::unique_ptr<Store> m_store;
    StoreIdentity m_file;  // the store handles were opened on
    std::uint64_t m_generation = 0;
    std::unordered_map<std::uint32_t, OpenKey> m_handles;
    std::uint32_t m_last_handle = 0;
    OpenKey m_roots[Store::root_count];
};

// The handle table calls use: the one every call uses, or the second that
// select_state() lets a test use as another process's (a connection, a
// memory and a handle table of its own).
HandleTable& handle_table();
constexpr DWORD state_count = 2;
// Selects the table calls use from now on; `state` is below state_count.
void select_state(DWORD state);

}  // namespace vh::registry
