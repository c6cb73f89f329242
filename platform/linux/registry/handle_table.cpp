#include "platform/linux/registry/handle_table.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/linux/registry/registry_names.h"

namespace vh::registry {

namespace {

// Standard and generic access bits (winnt.h).
constexpr REGSAM delete_right = 0x00010000;
constexpr REGSAM write_dac = 0x00040000;
constexpr REGSAM write_owner = 0x00080000;
constexpr REGSAM maximum_allowed = 0x02000000;
constexpr REGSAM generic_all = 0x10000000;
constexpr REGSAM generic_execute = 0x20000000;
constexpr REGSAM generic_write = 0x40000000;
constexpr REGSAM generic_read = 0x80000000;

constexpr REGSAM read_rights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr REGSAM write_rights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | delete_right | write_dac | write_owner;

// The KEY_* rights a mask asks for, generic bits spelled out and the view
// selectors (KEY_WOW64_*) dropped.
REGSAM requested_rights(REGSAM access)
{
    REGSAM rights = access & ~(generic_all | generic_execute | generic_write | generic_read |
                               maximum_allowed | KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    if ((access & (generic_read | generic_execute)) != 0) {
        rights |= KEY_READ;
    }
    if ((access & generic_write) != 0) {
        rights |= KEY_WRITE;
    }
    if ((access & generic_all) != 0) {
        rights |= KEY_ALL_ACCESS;
    }
    return rights;
}

HKEY to_hkey(std::uint32_t value)
{
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(value));  // NOLINT(performance-no-int-to-ptr)
}

// The process's handle tables. They are never destroyed, so that a call
// made while the process exits still finds them; the store's file then
// simply closes with the process (every change was committed when its call
// returned).
std::atomic<DWORD> g_selected_state{0};

HandleTable* all_states()
{
    static HandleTable* const states = [] {
        auto* made = new HandleTable[state_count];
        pthread_atfork(
            [] {
                for (DWORD i = 0; i < state_count; ++i) {
                    all_states()[i].before_fork();
                }
            },
            [] {
                for (DWORD i = 0; i < state_count; ++i) {
                    all_states()[i].after_fork();
                }
            },
            [] {
                for (DWORD i = 0; i < state_count; ++i) {
                    all_states()[i].after_fork();
                }
            });
        return made;
    }();
    return states;
}

struct StorePlace {
    std::string file;
    std::filesystem::path folder;  // to create when missing; empty for a file the caller named
};

// Creates the store's own folder, and the folders above it that are
// missing, for this user alone; the folder as the first release made it
// (0755, or whatever the umask left) is made private.
void make_folder(const std::filesystem::path& folder)
{
    std::filesystem::path path;
    for (const std::filesystem::path& part : folder) {
        path /= part;
        if (::mkdir(path.c_str(), 0700) == 0) {
            ::chmod(path.c_str(), 0700);  // whatever the umask took away
        } else if (errno != EEXIST) {
            return;  // shows as a store file that cannot be opened
        }
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
        (info.st_mode & 077) != 0) {
        ::chmod(folder.c_str(), 0700);
    }
}

StorePlace store_place()
{
    const char* chosen = std::getenv("VORNHALL_REGISTRY");
    if (chosen != nullptr && *chosen != '\0') {
        return StorePlace{chosen, {}};
    }
    std::filesystem::path folder;
    const char* data_home = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (data_home != nullptr && data_home[0] == '/') {  // relative values are to be ignored
        folder = data_home;
    } else if (home != nullptr && *home != '\0') {
        folder = std::filesystem::path(home) / ".local" / "share";
    } else {
        throw Win32Failure(ERROR_CANTOPEN);
    }
    folder /= "vornhall";
    return StorePlace{(folder / "registry.db").string(), folder};
}

}  // namespace

HandleTable& handle_table()
{
    return all_states()[g_selected_state.load(std::memory_order_relaxed)];
}

void select_state(DWORD state)
{
    all_states();  // made before any fork, so that its fork handlers are in place
    g_selected_state.store(state, std::memory_order_relaxed);
}

// The rights a key's refusals leave to an open.
REGSAM allowed_rights(DWORD denied)
{
    REGSAM allowed = KEY_ALL_ACCESS;
    if ((denied & VH_KEY_DENY_READ) != 0) {
        allowed &= ~read_rights;
    }
    if ((denied & VH_KEY_DENY_WRITE) != 0) {
        allowed &= ~write_rights;
    }
    return allowed;
}

// The rights an open of a key grants: all that the mask asks for, or
// ERROR_ACCESS_DENIED when the key refuses any of them. MAXIMUM_ALLOWED adds
// whatever the key allows.
REGSAM grant(REGSAM access, DWORD denied)
{
    const REGSAM wanted = requested_rights(access);
    const REGSAM allowed = allowed_rights(denied);
    if ((wanted & (read_rights | write_rights) & ~allowed) != 0) {
        throw Win32Failure(ERROR_ACCESS_DENIED);
    }
    return (access & maximum_allowed) != 0 ? (wanted | allowed) : wanted;
}

Store& HandleTable::store(Kind kind)
{
    StorePlace place = store_place();
    if (m_store != nullptr && m_store->path() == place.file &&
        (kind == Kind::read || m_store->still_at_path())) {
        return *m_store;
    }
    m_store.reset();
    if (!place.folder.empty()) {
        make_folder(place.folder);
    }
    m_store = std::make_unique<Store>(place.file);
    // Handles name keys of one file: those opened on another are stale.
    if (m_store->identity() != m_file) {
        m_file = m_store->identity();
        ++m_generation;
    }
    return *m_store;
}

void HandleTable::before_fork()
{
    m_lock.lock();
    m_store.reset();
}

Resolved HandleTable::resolve(Store& store, std::uint32_t handle, REGSAM needed)
{
    if (is_root(handle)) {
        OpenKey& open = m_roots[handle - first_root];
        if (open.generation != m_generation) {
            open = OpenKey{};
            open.key = Store::root_id(static_cast<int>(handle - first_root));
            open.generation = m_generation;
        }
        const std::optional<KeyState> key = store.key(open.key);
        if (!key) {
            throw Win32Failure(ERROR_BADDB);  // a store without its roots is damaged
        }
        open.rights = allowed_rights(key->denied);
        if ((open.rights & needed) != needed) {
            throw Win32Failure(ERROR_ACCESS_DENIED);
        }
        return Resolved{&open, *key};
    }
    const auto found = m_handles.find(handle);
    if (found == m_handles.end() || found->second.generation != m_generation) {
        throw Win32Failure(ERROR_INVALID_HANDLE);
    }
    OpenKey& open = found->second;
    if ((open.rights & needed) != needed) {
        throw Win32Failure(ERROR_ACCESS_DENIED);
    }
    const std::optional<KeyState> key = store.key(open.key);
    if (!key) {
        throw Win32Failure(ERROR_KEY_DELETED);
    }
    return Resolved{&open, *key};
}

HKEY HandleTable::add_handle(std::int64_t key, REGSAM rights)
{
    constexpr std::size_t handle_limit = first_root / 4 - 1;
    if (m_handles.size() >= handle_limit) {
        throw Win32Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    do {
        m_last_handle += 4;
        if (m_last_handle >= first_root) {
            m_last_handle = 4;
        }
    } while (m_handles.count(m_last_handle) != 0);
    OpenKey& open = m_handles[m_last_handle];
    open.key = key;
    open.rights = rights;
    open.generation = m_generation;
    return to_hkey(m_last_handle);
}

bool HandleTable::close(std::uint32_t handle)
{
    return m_handles.erase(handle) != 0;
}

const std::vector<SubkeyEntry>& HandleTable::subkeys(Store& store, const Resolved& at)
{
    Listing<SubkeyEntry>& listing = at.open->subkeys;
    if (listing.version != at.key.version) {
        std::vector<SubkeyEntry> entries;
        for (const vh::registry::SubkeyRow& row : store.subkeys(at.key.id)) {
            entries.push_back(SubkeyEntry{row.id, to_ansi(row.name)});
        }
        listing.entries = std::move(entries);
        listing.version = at.key.version;
    }
    return listing.entries;
}

const std::vector<ValueEntry>& HandleTable::values(Store& store, const Resolved& at)
{
    Listing<ValueEntry>& listing = at.open->values;
    if (listing.version != at.key.version) {
        std::vector<ValueEntry> entries;
        for (vh::registry::ValueRow& row : store.values(at.key.id)) {
            entries.push_back(ValueEntry{to_ansi(row.name), std::move(row.folded), row.type, row.size});
        }
        listing.entries = std::move(entries);
        listing.version = at.key.version;
    }
    return listing.entries;
}

}  // namespace vh::registry
