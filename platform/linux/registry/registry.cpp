// The registry service of the Linux build: the nine ANSI registry functions
// of advapi32 over the SQLite store of registry_store.cpp, plus the stand-in's
// own administration (per-key refusals, the open-handle count).
//
// A caller's names arrive as bytes of the ANSI code page; they are turned into
// UTF-16 with MultiByteToWideChar(CP_ACP) and back with WideCharToMultiByte, so
// the store keeps one spelling whatever code page a process uses, as the
// Windows registry keeps UTF-16. A path is split at "\": a path that starts
// with "\" is ERROR_BAD_PATHNAME, runs of "\" inside a path and at its end
// separate no empty part, and an empty path names the key itself. Key names
// hold at most 255 characters and value names 16,383, and a tree goes at most
// 512 levels below its root, as Windows limits them. A key created with
// REG_OPTION_VOLATILE lasts until the system starts again (registry_store.cpp
// says how); a key created below it must be volatile too.
//
// A handle is a 32-bit number: a multiple of 4 below 0x80000000, never 0,
// so it never meets the four predefined keys 0x80000000..0x80000003. The
// process's table maps it to the key's number in the store and the rights
// the open granted; the table and the store's connection sit behind one
// mutex, so threads may call at once. A handle outlives its key: once the key
// is removed, every call on the handle but RegCloseKey gives
// ERROR_KEY_DELETED. The predefined keys need no entry: they carry whatever
// rights their key's refusals leave, like Windows' own handles to them, which
// it opens with MAXIMUM_ALLOWED.
//
// Access follows the Windows model in two steps. An open asks for an access
// mask and is refused (ERROR_ACCESS_DENIED) when the key refuses any of it:
// the read bits (KEY_QUERY_VALUE, KEY_ENUMERATE_SUB_KEYS, KEY_NOTIFY) need
// read, the write bits (KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_CREATE_LINK,
// DELETE, WRITE_DAC, WRITE_OWNER) need write. Afterwards each call checks the
// handle's rights: RegSetValueExA and RegDeleteValueA need KEY_SET_VALUE,
// RegEnumKeyExA KEY_ENUMERATE_SUB_KEYS, RegEnumValueA and RegQueryValueExA
// KEY_QUERY_VALUE. Creating a subkey and deleting a key look at the keys
// themselves, not at the handle, as Windows checks them against the keys'
// security: creating needs a parent that allows writing, and deleting needs a
// key that allows writing (Windows opens the key for DELETE; its parent's
// rights play no part). A new key refuses nothing.
//
// Listings by index: subkeys come sorted by folded name; values come in the
// order they were first created (setting an existing value keeps its place;
// a value removed and set again goes last). Each handle keeps a snapshot of
// the names per listing and the change counter of the key it was taken at;
// each step compares the counters by one indexed lookup and reads the names
// again only when the key changed, so a listing of n entries costs O(n) and
// still sees what changed between its steps.
//
// The store's file is $VORNHALL_REGISTRY, else
// $XDG_DATA_HOME/vornhall/registry.db, else
// $HOME/.local/share/vornhall/registry.db (the folder is created when
// missing). It is opened on the first call that needs it, once per process,
// and opened anew when that setting names another file, so that tests can
// switch stores; handles opened on the previous file then give
// ERROR_INVALID_HANDLE until they are closed. A store that cannot be opened
// gives ERROR_CANTOPEN, one from a newer release ERROR_BADDB, on every call.
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/registry/registry_store.h"
#include "platform/win32.h"

namespace {

using vh::registry::Bytes;
using vh::registry::ByteView;
using vh::registry::Failure;
using vh::registry::KeyState;
using vh::registry::make_name;
using vh::registry::Name;
using vh::registry::Store;
using Kind = vh::registry::Store::Transaction::Kind;

constexpr std::uint32_t first_root = 0x80000000u;  // HKEY_CLASSES_ROOT
constexpr std::uint32_t classes_root = 0x80000000u;
constexpr std::size_t max_key_name = 255;
constexpr std::size_t max_value_name = 16383;
// How deep a tree may go, in levels below its root (the registry's
// documented size limits: "a registry tree can be 512 levels deep").
constexpr std::int64_t max_depth = 512;
constexpr DWORD reg_option_open_link = 0x8;
constexpr LSTATUS error_internal = 1359;  // ERROR_INTERNAL_ERROR

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

// ---- Calls, handles and text ---------------------------------------------------------

// Runs the body of an exported function: a Failure becomes its status, and no
// exception leaves the function.
template <class Body>
LSTATUS guarded(Body&& body) noexcept
{
    // A call that found its memory out of date runs again on the store, which
    // gives one consistent state; more than a few rounds means something is
    // wrong with the store itself.
    constexpr int attempts = 16;
    try {
        for (int attempt = 1;; ++attempt) {
            try {
                return body();
            } catch (const vh::registry::StaleCache&) {
                // Another process changed the store during the call, before
                // anything was delivered: the call runs again on the store.
                if (attempt == attempts) {
                    return ERROR_CANTREAD;
                }
            }
        }
    } catch (const Failure& failure) {
        return failure.status();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::length_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return error_internal;
    }
}

// A handle's number: the low 32 bits, so a predefined key is recognised
// whether the caller widened it with or without its sign.
std::uint32_t handle_value(HKEY key)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
}

HKEY to_hkey(std::uint32_t value)
{
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(value));  // NOLINT(performance-no-int-to-ptr)
}

bool is_root(std::uint32_t value)
{
    return value >= first_root && value - first_root < Store::root_count;
}

bool is_string_type(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ANSI text to UTF-16; a null pointer reads as "".
std::u16string to_wide(LPCSTR text)
{
    if (text == nullptr || *text == '\0') {
        return {};
    }
    const std::size_t length = std::strlen(text);
    if (length > static_cast<std::size_t>(INT_MAX)) {
        throw Failure(ERROR_INVALID_PARAMETER);
    }
    const int bytes = static_cast<int>(length);
    const int needed = MultiByteToWideChar(CP_ACP, 0, text, bytes, nullptr, 0);
    if (needed <= 0) {
        throw Failure(ERROR_INVALID_PARAMETER);
    }
    std::u16string wide(static_cast<std::size_t>(needed), u'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text, bytes, wide.data(), needed) != needed) {
        throw Failure(ERROR_INVALID_PARAMETER);
    }
    return wide;
}

// UTF-16 text to the ANSI code page, as the caller receives names.
std::string to_ansi(const std::u16string& text)
{
    if (text.empty()) {
        return {};
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        throw Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    const int units = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        throw Failure(ERROR_CANTREAD);
    }
    std::string bytes(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, text.data(), units, bytes.data(), needed, nullptr, nullptr) !=
        needed) {
        throw Failure(ERROR_CANTREAD);
    }
    return bytes;
}

// The parts of a subkey path (see the top of the file).
std::vector<std::u16string> split_path(const std::u16string& path)
{
    if (!path.empty() && path.front() == u'\\') {
        throw Failure(ERROR_BAD_PATHNAME);
    }
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

// ---- Access ---------------------------------------------------------------------------

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
        throw Failure(ERROR_ACCESS_DENIED);
    }
    return (access & maximum_allowed) != 0 ? (wanted | allowed) : wanted;
}

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

class Registry {
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
    vh::registry::StoreIdentity m_file;  // the store handles were opened on
    std::uint64_t m_generation = 0;
    std::unordered_map<std::uint32_t, OpenKey> m_handles;
    std::uint32_t m_last_handle = 0;
    OpenKey m_roots[Store::root_count];
};

// The process's registry states: the one every call uses, and a second
// that VhRegSelectState lets a test use as another process's (a connection,
// a memory and a handle table of its own). They are never destroyed, so that
// a call made while the process exits still finds them; the store's file
// then simply closes with the process (every change was committed when its
// call returned).
constexpr DWORD state_count = 2;
std::atomic<DWORD> g_selected_state{0};

Registry* all_states()
{
    static Registry* const states = [] {
        auto* made = new Registry[state_count];
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

Registry& registry()
{
    return all_states()[g_selected_state.load(std::memory_order_relaxed)];
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
        throw Failure(ERROR_CANTOPEN);
    }
    folder /= "vornhall";
    return StorePlace{(folder / "registry.db").string(), folder};
}

Store& Registry::store(Kind kind)
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

void Registry::before_fork()
{
    m_lock.lock();
    m_store.reset();
}

Resolved Registry::resolve(Store& store, std::uint32_t handle, REGSAM needed)
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
            throw Failure(ERROR_BADDB);  // a store without its roots is damaged
        }
        open.rights = allowed_rights(key->denied);
        if ((open.rights & needed) != needed) {
            throw Failure(ERROR_ACCESS_DENIED);
        }
        return Resolved{&open, *key};
    }
    const auto found = m_handles.find(handle);
    if (found == m_handles.end() || found->second.generation != m_generation) {
        throw Failure(ERROR_INVALID_HANDLE);
    }
    OpenKey& open = found->second;
    if ((open.rights & needed) != needed) {
        throw Failure(ERROR_ACCESS_DENIED);
    }
    const std::optional<KeyState> key = store.key(open.key);
    if (!key) {
        throw Failure(ERROR_KEY_DELETED);
    }
    return Resolved{&open, *key};
}

HKEY Registry::add_handle(std::int64_t key, REGSAM rights)
{
    constexpr std::size_t handle_limit = first_root / 4 - 1;
    if (m_handles.size() >= handle_limit) {
        throw Failure(ERROR_NOT_ENOUGH_MEMORY);
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

bool Registry::close(std::uint32_t handle)
{
    return m_handles.erase(handle) != 0;
}

const std::vector<SubkeyEntry>& Registry::subkeys(Store& store, const Resolved& at)
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

const std::vector<ValueEntry>& Registry::values(Store& store, const Resolved& at)
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

// ---- Keys and data ----------------------------------------------------------------------

// Follows `parts` below `key` as far as they exist; returns how many did.
std::size_t follow(Store& store, KeyState& key, const std::vector<std::u16string>& parts)
{
    std::size_t found = 0;
    for (; found < parts.size(); ++found) {
        const std::optional<KeyState> next = store.child(key, make_name(parts[found]));
        if (!next) {
            break;
        }
        key = *next;
    }
    return found;
}

// The key a path names below `key`; ERROR_FILE_NOT_FOUND when a part is missing.
KeyState walk(Store& store, KeyState key, const std::vector<std::u16string>& parts)
{
    if (follow(store, key, parts) != parts.size()) {
        throw Failure(ERROR_FILE_NOT_FOUND);
    }
    return key;
}

// The caller's type, data and size variables, as RegQueryValueExA and
// RegEnumValueA take them.
struct DataOut {
    LPDWORD type;
    LPBYTE data;
    LPDWORD size;

    // The data fits when no buffer was given or the buffer holds it all.
    bool fits(std::size_t needed) const { return data == nullptr || needed <= *size; }

    // Reports the type and the size the data takes, copying nothing.
    void report(DWORD stored_type, std::size_t stored_size) const
    {
        if (type != nullptr) {
            *type = stored_type;
        }
        if (size != nullptr) {
            *size = static_cast<DWORD>(stored_size);
        }
    }

    // Copies the value's bytes into the caller's buffer when one was given,
    // bounded by the size the caller gave, whatever any listing said of
    // them: bytes that do not fit give ERROR_MORE_DATA and the size they
    // need. A string that was stored without a terminating zero gets one
    // after its bytes when the buffer has room, as Windows does; the size
    // stays that of the stored bytes.
    LSTATUS deliver(DWORD stored_type, const Bytes& bytes) const
    {
        if (!fits(bytes.size())) {
            report(stored_type, bytes.size());
            return ERROR_MORE_DATA;
        }
        if (data != nullptr && !bytes.empty()) {
            std::memcpy(data, bytes.data(), bytes.size());
            if (is_string_type(stored_type) && bytes.size() < *size && bytes.back() != 0) {
                data[bytes.size()] = 0;
            }
        }
        report(stored_type, bytes.size());
        return ERROR_SUCCESS;
    }
};

// How many of the caller's bytes RegSetValueExA stores. A string whose last
// byte is not zero while the byte after it is was given without counting its
// terminator, and is stored with it, as the platform stores it (Wine's
// string-termination test, which passes on Windows: "FullString" set with
// size 10 reads back with size 11). Any other data is stored as given, a
// string without a zero after it too. Like the platform, this looks at the
// byte after the caller's data: a caller that leaves out the terminator must
// have a byte there.
DWORD stored_size(DWORD type, const BYTE* data, DWORD size)
{
    if (size != 0 && size != 0xFFFFFFFF && is_string_type(type) && data[size - 1] != 0 && data[size] == 0) {
        return size + 1;
    }
    return size;
}

// Copies a name and its terminating zero, and reports its length without it.
void deliver_name(const std::string& name, LPSTR buffer, LPDWORD length)
{
    std::memcpy(buffer, name.data(), name.size());
    buffer[name.size()] = '\0';
    *length = static_cast<DWORD>(name.size());
}

// Copies as much of a name as a buffer of `capacity` bytes holds with a
// terminating zero, never splitting a character of the UTF-8 code page.
void deliver_cut_name(const std::string& name, LPSTR buffer, DWORD capacity)
{
    if (capacity == 0) {
        return;
    }
    std::size_t count = std::min<std::size_t>(name.size(), capacity - 1);
    if (GetACP() == CP_UTF8) {
        while (count > 0 && count < name.size() && (static_cast<unsigned char>(name[count]) & 0xC0) == 0x80) {
            --count;
        }
    }
    std::memcpy(buffer, name.data(), count);
    buffer[count] = '\0';
}

// Answers for a predefined key opened with no path. The RegOpenKeyEx
// documentation: with an empty path HKEY_CLASSES_ROOT hands back its own value
// and the other predefined keys a new handle; with a null path it is the other
// way round.
bool opens_predefined_itself(std::uint32_t root, LPCSTR subkey)
{
    if (subkey == nullptr) {
        return root != classes_root;
    }
    return subkey[0] == '\0' && root == classes_root;
}

}  // namespace

// ---- The registry functions --------------------------------------------------------------

LSTATUS RegOpenKeyExA(HKEY parent, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result)
{
    return guarded([&]() -> LSTATUS {
        if (result == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        const std::uint32_t base = handle_value(parent);
        if (base == 0) {
            return ERROR_INVALID_HANDLE;
        }
        if (is_root(base) && opens_predefined_itself(base, subkey)) {
            *result = parent;
            return ERROR_SUCCESS;
        }
        // Windows accepts one leading "\" below HKEY_CLASSES_ROOT when opening.
        if (base == classes_root && subkey != nullptr && subkey[0] == '\\') {
            ++subkey;
        }
        *result = nullptr;
        if ((options & ~reg_option_open_link) != 0) {  // there are no links to open
            return ERROR_INVALID_PARAMETER;
        }
        const std::vector<std::u16string> parts = split_path(to_wide(subkey));

        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::read);
        Store::Transaction transaction(store, Kind::read);
        const KeyState key = walk(store, state.resolve(store, base, 0).key, parts);
        const REGSAM rights = grant(access, key.denied);
        transaction.commit();
        *result = state.add_handle(key.id, rights);
        return ERROR_SUCCESS;
    });
}

LSTATUS RegCreateKeyExA(HKEY parent, LPCSTR subkey, DWORD reserved, LPSTR class_text, DWORD options,
                        REGSAM access, const SECURITY_ATTRIBUTES* /*security: no descriptors here*/,
                        PHKEY result, LPDWORD disposition)
{
    return guarded([&]() -> LSTATUS {
        if (result == nullptr) {
            return ERROR_BADKEY;
        }
        if (reserved != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        const std::uint32_t base = handle_value(parent);
        if (base == 0) {
            return ERROR_INVALID_HANDLE;
        }
        if ((options & ~REG_OPTION_VOLATILE) != 0) {  // no links or backup opens here
            return ERROR_INVALID_PARAMETER;
        }
        const bool is_volatile = (options & REG_OPTION_VOLATILE) != 0;
        const std::vector<std::u16string> parts = split_path(to_wide(subkey));
        for (const std::u16string& part : parts) {
            if (part.size() > max_key_name) {
                return ERROR_INVALID_PARAMETER;
            }
        }
        const std::u16string class_wide = to_wide(class_text);

        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::write);
        KeyState key;
        REGSAM rights = 0;
        DWORD outcome = REG_OPENED_EXISTING_KEY;
        {
            // Most calls find the key: try as an open before taking the write lock.
            Store::Transaction transaction(store, Kind::read);
            key = state.resolve(store, base, 0).key;
            if (follow(store, key, parts) == parts.size()) {
                rights = grant(access, key.denied);
                transaction.commit();
            } else {
                outcome = REG_CREATED_NEW_KEY;
            }
        }
        if (outcome == REG_CREATED_NEW_KEY) {
            Store::Transaction transaction(store, Kind::write);
            key = state.resolve(store, base, 0).key;
            const std::size_t found = follow(store, key, parts);
            if (found < parts.size() &&
                store.depth(key.id) + static_cast<std::int64_t>(parts.size() - found) > max_depth) {
                return ERROR_INVALID_PARAMETER;
            }
            for (std::size_t i = found; i < parts.size(); ++i) {
                if ((key.denied & VH_KEY_DENY_WRITE) != 0) {
                    throw Failure(ERROR_ACCESS_DENIED);
                }
                // A volatile key ends with this start of the system, so a
                // lasting key below it could not last.
                if (key.is_volatile && !is_volatile) {
                    throw Failure(ERROR_CHILD_MUST_BE_VOLATILE);
                }
                key = store.add_child(key, make_name(parts[i]), &class_wide, is_volatile);
            }
            if (found == parts.size()) {  // another caller created it meanwhile
                outcome = REG_OPENED_EXISTING_KEY;
            }
            rights = grant(access, key.denied);
            // The handle is made before the commit, so that a call that
            // cannot hand one out leaves no new key behind.
            const HKEY handle = state.add_handle(key.id, rights);
            try {
                transaction.commit();
            } catch (...) {
                state.close(handle_value(handle));
                throw;
            }
            *result = handle;
        } else {
            *result = state.add_handle(key.id, rights);
        }
        if (disposition != nullptr) {
            *disposition = outcome;
        }
        return ERROR_SUCCESS;
    });
}

LSTATUS RegCloseKey(HKEY key)
{
    return guarded([&]() -> LSTATUS {
        const std::uint32_t value = handle_value(key);
        if (is_root(value)) {
            return ERROR_SUCCESS;
        }
        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        if (!state.close(value)) {
            return ERROR_INVALID_HANDLE;
        }
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteKeyA(HKEY parent, LPCSTR subkey)
{
    return guarded([&]() -> LSTATUS {
        if (subkey == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        const std::uint32_t base = handle_value(parent);
        if (base == 0) {
            return ERROR_INVALID_HANDLE;
        }
        const std::vector<std::u16string> parts = split_path(to_wide(subkey));

        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::write);
        Store::Transaction transaction(store, Kind::write);
        const KeyState key = walk(store, state.resolve(store, base, 0).key, parts);
        if (key.parent == 0 || (key.denied & VH_KEY_DENY_WRITE) != 0 || store.has_children(key.id)) {
            return ERROR_ACCESS_DENIED;  // a root, a key that refuses writing, or one with subkeys
        }
        store.remove_key(key);
        transaction.commit();
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name)
{
    return guarded([&]() -> LSTATUS {
        const Name value = make_name(to_wide(name));

        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::write);
        Store::Transaction transaction(store, Kind::write);
        const Resolved at = state.resolve(store, handle_value(key), KEY_SET_VALUE);
        if (!store.remove_value(at.key.id, value.folded)) {
            return ERROR_FILE_NOT_FOUND;
        }
        transaction.commit();
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length, LPDWORD reserved,
                      LPSTR class_text, LPDWORD class_length, PFILETIME last_write)
{
    return guarded([&]() -> LSTATUS {
        if (reserved != nullptr || name == nullptr || name_length == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::read);
        SubkeyEntry entry;
        std::optional<vh::registry::SubkeyDetails> details;
        {
            Store::Transaction transaction(store, Kind::read);
            const Resolved at = state.resolve(store, handle_value(key), KEY_ENUMERATE_SUB_KEYS);
            const std::vector<SubkeyEntry>& entries = state.subkeys(store, at);
            if (index >= entries.size()) {
                return ERROR_NO_MORE_ITEMS;
            }
            entry = entries[index];
            if (class_length != nullptr || last_write != nullptr) {
                details = store.subkey_details(entry.id);
            }
            transaction.commit();
        }
        const std::string class_ansi =
            (details && details->class_text) ? to_ansi(*details->class_text) : std::string();

        // Whatever does not fit leaves every output as it was.
        if (entry.name.size() >= *name_length) {
            return ERROR_MORE_DATA;
        }
        if (class_text != nullptr && class_length != nullptr && class_ansi.size() >= *class_length) {
            return ERROR_MORE_DATA;
        }
        deliver_name(entry.name, name, name_length);
        if (class_length != nullptr) {
            if (class_text != nullptr) {
                deliver_name(class_ansi, class_text, class_length);
            } else {
                *class_length = static_cast<DWORD>(class_ansi.size());
            }
        }
        if (last_write != nullptr && details) {
            const auto ticks = static_cast<std::uint64_t>(details->written);
            last_write->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
            last_write->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
        }
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length, LPDWORD reserved, LPDWORD type,
                      LPBYTE data, LPDWORD data_length)
{
    return guarded([&]() -> LSTATUS {
        if ((data != nullptr && data_length == nullptr) || reserved != nullptr || name == nullptr ||
            name_length == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        const DataOut out{type, data, data_length};
        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::read);
        ValueEntry entry;
        std::optional<vh::registry::ValueData> stored;
        {
            Store::Transaction transaction(store, Kind::read);
            const Resolved at = state.resolve(store, handle_value(key), KEY_QUERY_VALUE);
            const std::vector<ValueEntry>& entries = state.values(store, at);
            if (index >= entries.size()) {
                return ERROR_NO_MORE_ITEMS;
            }
            entry = entries[index];
            if (data != nullptr && out.fits(entry.size)) {
                stored = store.value(at.key.id, entry.folded);
                if (!stored) {
                    // The listing and the store disagree: neither is trusted.
                    store.forget_all();
                    throw vh::registry::StaleCache{};
                }
            }
            transaction.commit();
        }
        // What was read of the value itself decides; the listing only tells
        // whether it was worth reading.
        const DWORD value_type = stored ? stored->type : entry.type;
        const std::size_t value_size = stored ? stored->data.size() : entry.size;
        // Data that does not fit, then a name that does not fit: the type and
        // the size the data needs are reported, no data is copied, and the
        // name's length variable is left as it was. A name that does not fit
        // (with data that does) arrives cut to the buffer, as on Windows.
        if (data != nullptr && (!stored || !out.fits(value_size))) {
            out.report(value_type, value_size);
            return ERROR_MORE_DATA;
        }
        if (entry.name.size() >= *name_length) {
            deliver_cut_name(entry.name, name, *name_length);
            out.report(value_type, value_size);
            return ERROR_MORE_DATA;
        }
        deliver_name(entry.name, name, name_length);
        if (stored) {
            return out.deliver(value_type, stored->data);
        }
        out.report(value_type, value_size);
        return ERROR_SUCCESS;
    });
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD data_length)
{
    return guarded([&]() -> LSTATUS {
        if ((data != nullptr && data_length == nullptr) || reserved != nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        const Name value = make_name(to_wide(name));
        const DataOut out{type, data, data_length};
        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::read);
        std::optional<vh::registry::ValueData> stored;
        {
            Store::Transaction transaction(store, Kind::read);
            const Resolved at = state.resolve(store, handle_value(key), KEY_QUERY_VALUE);
            stored = store.value(at.key.id, value.folded);
            transaction.commit();
        }
        if (!stored) {
            if (data == nullptr && data_length != nullptr) {
                *data_length = 0;  // as Windows reports a missing value asked for its size
            }
            return ERROR_FILE_NOT_FOUND;
        }
        return out.deliver(stored->type, stored->data);
    });
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    return guarded([&]() -> LSTATUS {
        if (reserved != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        if (data == nullptr && size != 0) {
            return ERROR_NOACCESS;
        }
        const Name value = make_name(to_wide(name));
        if (value.text.size() > max_value_name) {
            return ERROR_INVALID_PARAMETER;
        }
        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::write);
        Store::Transaction transaction(store, Kind::write);
        const Resolved at = state.resolve(store, handle_value(key), KEY_SET_VALUE);
        store.put_value(at.key.id, value, type, ByteView{data, stored_size(type, data, size)});
        transaction.commit();
        return ERROR_SUCCESS;
    });
}

// ---- Administration ------------------------------------------------------------------------

LSTATUS VhRegSetKeyAccess(HKEY parent, LPCSTR subkey, DWORD denied)
{
    return guarded([&]() -> LSTATUS {
        if ((denied & ~(VH_KEY_DENY_READ | VH_KEY_DENY_WRITE)) != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        const std::vector<std::u16string> parts = split_path(to_wide(subkey));
        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::write);
        Store::Transaction transaction(store, Kind::write);
        const KeyState key = walk(store, state.resolve(store, handle_value(parent), 0).key, parts);
        store.set_denied(key.id, denied);
        transaction.commit();
        return ERROR_SUCCESS;
    });
}

LSTATUS VhRegGetKeyAccess(HKEY parent, LPCSTR subkey, LPDWORD denied)
{
    return guarded([&]() -> LSTATUS {
        if (denied == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        const std::vector<std::u16string> parts = split_path(to_wide(subkey));
        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        Store& store = state.store(Kind::read);
        Store::Transaction transaction(store, Kind::read);
        const KeyState key = walk(store, state.resolve(store, handle_value(parent), 0).key, parts);
        transaction.commit();
        *denied = key.denied;
        return ERROR_SUCCESS;
    });
}

LSTATUS VhRegSelectState(DWORD state)
{
    if (state >= state_count) {
        return ERROR_INVALID_PARAMETER;
    }
    all_states();  // made before any fork, so that its fork handlers are in place
    g_selected_state.store(state, std::memory_order_relaxed);
    return ERROR_SUCCESS;
}

DWORD VhRegOpenHandleCount()
{
    try {
        Registry& state = registry();
        const std::lock_guard<std::mutex> lock(state.lock());
        return state.handle_count();
    } catch (...) {
        return 0;
    }
}
