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
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/registry/handle_table.h"
#include "platform/linux/registry/registry_names.h"
#include "platform/linux/registry/registry_store.h"
#include "platform/win32.h"

namespace {

using vh::Win32Failure;
using vh::registry::Bytes;
using vh::registry::ByteView;
using vh::registry::HandleTable;
using vh::registry::is_root;
using vh::registry::KeyState;
using vh::registry::Kind;
using vh::registry::make_name;
using vh::registry::Name;
using vh::registry::Resolved;
using vh::registry::split_path;
using vh::registry::Store;
using vh::registry::SubkeyEntry;
using vh::registry::to_ansi;
using vh::registry::to_wide;
using vh::registry::ValueEntry;

constexpr std::uint32_t classes_root = 0x80000000u;
constexpr std::size_t max_key_name = 255;
constexpr std::size_t max_value_name = 16383;
// How deep a tree may go, in levels below its root (the registry's
// documented size limits: "a registry tree can be 512 levels deep").
constexpr std::int64_t max_depth = 512;
constexpr DWORD reg_option_open_link = 0x8;
constexpr LSTATUS error_internal = 1359;  // ERROR_INTERNAL_ERROR

// ---- Calls and handles -----------------------------------------------------------------

// Runs the body of an exported function: a Win32Failure becomes its status, and no
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
    } catch (const Win32Failure& failure) {
        return static_cast<LSTATUS>(failure.status());
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

// One call's way into the registry: the process's handle table locked for
// the whole call, and its store opened for `kind` (a write checks first that
// the path still names the open file). begin() starts a transaction and
// checks the handle's key in it; a transaction not committed is undone when
// the next begins or the call ends.
class Call {
public:
    explicit Call(Kind kind)
        : m_table(vh::registry::handle_table()),
          m_lock(m_table.lock()),
          m_store(m_table.store(kind)),
          m_kind(kind)
    {
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    HandleTable& table() { return m_table; }
    Store& store() { return m_store; }

    // A transaction of the call's kind, with the handle's key checked in it
    // for the rights `needed` (HandleTable::resolve).
    Resolved begin(HKEY handle, REGSAM needed) { return begin(m_kind, handle_value(handle), needed); }
    Resolved begin(Kind kind, std::uint32_t handle, REGSAM needed)
    {
        m_transaction.reset();
        m_transaction.emplace(m_store, kind);
        return m_table.resolve(m_store, handle, needed);
    }
    void commit() { m_transaction->commit(); }

private:
    HandleTable& m_table;
    const std::lock_guard<std::mutex> m_lock;
    Store& m_store;
    Kind m_kind;
    std::optional<Store::Transaction> m_transaction;
};

bool is_string_type(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
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
        throw Win32Failure(ERROR_FILE_NOT_FOUND);
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

        Call call(Kind::read);
        const KeyState key = walk(call.store(), call.begin(parent, 0).key, parts);
        const REGSAM rights = vh::registry::grant(access, key.denied);
        call.commit();
        *result = call.table().add_handle(key.id, rights);
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

        Call call(Kind::write);
        Store& store = call.store();
        // Most calls find the key: try as an open before taking the write lock.
        KeyState key = call.begin(Kind::read, base, 0).key;
        REGSAM rights = 0;
        DWORD outcome = REG_OPENED_EXISTING_KEY;
        if (follow(store, key, parts) == parts.size()) {
            rights = vh::registry::grant(access, key.denied);
            call.commit();
        } else {
            outcome = REG_CREATED_NEW_KEY;
        }
        if (outcome == REG_CREATED_NEW_KEY) {
            key = call.begin(Kind::write, base, 0).key;
            const std::size_t found = follow(store, key, parts);
            if (found < parts.size() &&
                store.depth(key.id) + static_cast<std::int64_t>(parts.size() - found) > max_depth) {
                return ERROR_INVALID_PARAMETER;
            }
            for (std::size_t i = found; i < parts.size(); ++i) {
                if ((key.denied & VH_KEY_DENY_WRITE) != 0) {
                    throw Win32Failure(ERROR_ACCESS_DENIED);
                }
                // A volatile key ends with this start of the system, so a
                // lasting key below it could not last.
                if (key.is_volatile && !is_volatile) {
                    throw Win32Failure(ERROR_CHILD_MUST_BE_VOLATILE);
                }
                key = store.add_child(key, make_name(parts[i]), &class_wide, is_volatile);
            }
            if (found == parts.size()) {  // another caller created it meanwhile
                outcome = REG_OPENED_EXISTING_KEY;
            }
            rights = vh::registry::grant(access, key.denied);
            // The handle is made before the commit, so that a call that
            // cannot hand one out leaves no new key behind.
            const HKEY handle = call.table().add_handle(key.id, rights);
            try {
                call.commit();
            } catch (...) {
                call.table().close(handle_value(handle));
                throw;
            }
            *result = handle;
        } else {
            *result = call.table().add_handle(key.id, rights);
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
        HandleTable& table = vh::registry::handle_table();
        const std::lock_guard<std::mutex> lock(table.lock());
        if (!table.close(value)) {
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

        Call call(Kind::write);
        Store& store = call.store();
        const KeyState key = walk(store, call.begin(parent, 0).key, parts);
        if (key.parent == 0 || (key.denied & VH_KEY_DENY_WRITE) != 0 || store.has_children(key.id)) {
            return ERROR_ACCESS_DENIED;  // a root, a key that refuses writing, or one with subkeys
        }
        store.remove_key(key);
        call.commit();
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name)
{
    return guarded([&]() -> LSTATUS {
        const Name value = make_name(to_wide(name));

        Call call(Kind::write);
        const Resolved at = call.begin(key, KEY_SET_VALUE);
        if (!call.store().remove_value(at.key.id, value.folded)) {
            return ERROR_FILE_NOT_FOUND;
        }
        call.commit();
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
        Call call(Kind::read);
        SubkeyEntry entry;
        std::optional<vh::registry::SubkeyDetails> details;
        {
            const Resolved at = call.begin(key, KEY_ENUMERATE_SUB_KEYS);
            const std::vector<SubkeyEntry>& entries = call.table().subkeys(call.store(), at);
            if (index >= entries.size()) {
                return ERROR_NO_MORE_ITEMS;
            }
            entry = entries[index];
            if (class_length != nullptr || last_write != nullptr) {
                details = call.store().subkey_details(entry.id);
            }
            call.commit();
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
        Call call(Kind::read);
        Store& store = call.store();
        ValueEntry entry;
        std::optional<vh::registry::ValueData> stored;
        {
            const Resolved at = call.begin(key, KEY_QUERY_VALUE);
            const std::vector<ValueEntry>& entries = call.table().values(store, at);
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
            call.commit();
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
        Call call(Kind::read);
        std::optional<vh::registry::ValueData> stored;
        {
            const Resolved at = call.begin(key, KEY_QUERY_VALUE);
            stored = call.store().value(at.key.id, value.folded);
            call.commit();
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
        Call call(Kind::write);
        const Resolved at = call.begin(key, KEY_SET_VALUE);
        call.store().put_value(at.key.id, value, type, ByteView{data, stored_size(type, data, size)});
        call.commit();
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
        Call call(Kind::write);
        const KeyState key = walk(call.store(), call.begin(parent, 0).key, parts);
        call.store().set_denied(key.id, denied);
        call.commit();
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
        Call call(Kind::read);
        const KeyState key = walk(call.store(), call.begin(parent, 0).key, parts);
        call.commit();
        *denied = key.denied;
        return ERROR_SUCCESS;
    });
}

LSTATUS VhRegSelectState(DWORD state)
{
    if (state >= vh::registry::state_count) {
        return ERROR_INVALID_PARAMETER;
    }
    vh::registry::select_state(state);
    return ERROR_SUCCESS;
}

DWORD VhRegOpenHandleCount()
{
    try {
        HandleTable& table = vh::registry::handle_table();
        const std::lock_guard<std::mutex> lock(table.lock());
        return table.handle_count();
    } catch (...) {
        return 0;
    }
}
