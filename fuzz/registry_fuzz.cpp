// Feeds the registry service arbitrary sequences of calls: opening and
// creating keys with arbitrary path bytes, options and access masks,
// closing, deleting keys, setting values of any type and bytes, deleting
// values, listing subkeys and values at arbitrary indexes into buffers of
// arbitrary sizes, queries with null and short buffers, and key refusals.
// Handles come from a small table that also holds the roots, 0, values
// that were never handles, and handles already closed. Each input runs on a
// fresh store in a private temporary directory.
//
// The calls go through two registry states of the process in turns (two
// connections to the store, each with its memory of reads and its handles,
// as two processes would have; VhRegSelectState), and an operation reads the
// same value and listing through both: with no change in between, the two
// must give the same answer, byte for byte, whatever either remembered.
//
// It checks that no call writes past the sizes it was given (sentinels
// follow every buffer), that a call that does not fit leaves the caller's
// name and length as they were, that every status is one the service
// documents, that the process holds exactly the handles it opened and not
// closed, and at the end that every handle closes and the store passes
// SQLite's integrity check.
//
// Input: a sequence of operations, each an operation byte followed by its
// choices (see the functions below).
#include <stdlib.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/support.h"
#include "platform/win32.h"
#include "tests/support/environment.h"
#include "tests/support/store_check.h"

namespace {

using vh::fuzz::Input;

constexpr std::uint8_t sentinel = 0xA5;
constexpr std::size_t guard = 16;
constexpr int max_operations = 40;
constexpr std::size_t slot_count = 8;
constexpr std::size_t first_free_slot = 4;
constexpr DWORD state_count = 2;

HKEY as_key(std::uint32_t value)
{
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(value));  // NOLINT(performance-no-int-to-ptr)
}

std::uint32_t value_of(HKEY key)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
}

bool is_root(std::uint32_t value)
{
    return value >= 0x80000000u && value <= 0x80000003u;
}

bool documented(LSTATUS status)
{
    switch (status) {
        case ERROR_SUCCESS:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_INVALID_PARAMETER:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_MORE_DATA:
        case ERROR_NO_MORE_ITEMS:
        case ERROR_NOACCESS:
        case ERROR_BADKEY:
        case ERROR_KEY_DELETED:
        case ERROR_CHILD_MUST_BE_VOLATILE:
            return true;
        default:
            return false;
    }
}

// A buffer with a sentinel run after its size; a null buffer when asked.
class Guarded {
public:
    Guarded(DWORD size, bool null) : m_size(size), m_null(null), m_bytes(size + guard, sentinel) {}

    LPBYTE data() { return m_null ? nullptr : m_bytes.data(); }
    LPSTR text() { return reinterpret_cast<LPSTR>(data()); }
    DWORD size() const { return m_size; }
    bool null() const { return m_null; }
    std::uint8_t at(std::size_t i) const { return m_bytes[i]; }

    // True when nothing at or past `from` was written.
    bool untouched_from(std::size_t from) const
    {
        for (std::size_t i = from; i < m_bytes.size(); ++i) {
            if (m_bytes[i] != sentinel) {
                return false;
            }
        }
        return true;
    }

private:
    DWORD m_size;
    bool m_null;
    std::vector<std::uint8_t> m_bytes;
};

class Session {
public:
    Session()
    {
        m_slots = {0x80000001u, 0x80000002u, 0x80000000u, 0x80000003u, 0u, 0x80000004u, 0x1000u, 0xFFFFFFFFu};
    }

    // One operation on the state this session stands for (selected).
    void operate(std::uint8_t op, Input& in, int i)
    {
        step(op, in);
        VH_FUZZ_CHECK(VhRegOpenHandleCount() == m_open.size(),
                      "after operation " + std::to_string(i) + ": " + std::to_string(VhRegOpenHandleCount()) +
                          " handles open, " + std::to_string(m_open.size()) + " expected");
    }

    // Closes what the session holds (its state selected).
    void finish()
    {
        for (const std::uint32_t handle : m_open) {
            const LSTATUS status = RegCloseKey(as_key(handle));
            VH_FUZZ_CHECK(status == ERROR_SUCCESS,
                          "closing handle " + std::to_string(handle) + " gave " + std::to_string(status));
        }
        m_open.clear();
        VH_FUZZ_CHECK(VhRegOpenHandleCount() == 0, "handles left open after closing all");
    }

private:
    void step(std::uint8_t op, Input& in)
    {
        switch (op % 11) {
            case 0:
                open_key(in);
                break;
            case 1:
                create_key(in);
                break;
            case 2:
                close_key(in);
                break;
            case 3:
                check(RegDeleteKeyA(handle(in), path(in).get()), "RegDeleteKeyA");
                break;
            case 4:
                set_value(in);
                break;
            case 5:
                check(RegDeleteValueA(handle(in), path(in).get()), "RegDeleteValueA");
                break;
            case 6:
                enum_key(in);
                break;
            case 7:
                enum_value(in);
                break;
            case 8:
                query_value(in);
                break;
            case 9: {
                const HKEY key = handle(in);
                const Text subkey = path(in);
                const std::uint8_t choice = in.byte();
                const DWORD denied = choice < 0xF0 ? choice % 4 : in.u32();
                check(VhRegSetKeyAccess(key, subkey.get(), denied), "VhRegSetKeyAccess");
                break;
            }
            default: {
                const HKEY key = handle(in);
                const Text subkey = path(in);
                DWORD denied = 0xDEAD;
                const LSTATUS status = VhRegGetKeyAccess(key, subkey.get(), &denied);
                check(status, "VhRegGetKeyAccess");
                VH_FUZZ_CHECK(status != ERROR_SUCCESS || denied <= 3, "refusals out of range");
                break;
            }
        }
    }

    // A string argument: null, empty, a path from a small alphabet (so that
    // names meet again), arbitrary bytes, or a name too long for a key.
    struct Text {
        bool null = false;
        std::string bytes;
        const char* get() const { return null ? nullptr : bytes.c_str(); }
    };

    static Text path(Input& in)
    {
        static constexpr char alphabet[] = "aAbBcC\\\\\\xX \xC3\xA9.";
        const std::uint8_t mode = in.byte();
        switch (mode % 8) {
            case 0:
                return {true, {}};
            case 1:
                return {false, {}};
            case 2:
                return {false, in.text(40)};
            case 3:
                return {false, std::string(255 + mode / 8 % 3, 'k')};  // around the limit of a key name
            default: {
                std::string text;
                const std::size_t length = in.byte() % 10;
                for (std::size_t i = 0; i < length; ++i) {
                    text.push_back(alphabet[in.byte() % (sizeof alphabet - 1)]);
                }
                return {false, text};
            }
        }
    }

    HKEY handle(Input& in)
    {
        const std::uint8_t choice = in.byte();
        if (choice >= 0xF8) {
            return as_key(in.u32());
        }
        return as_key(m_slots[choice % slot_count]);
    }

    static REGSAM access(Input& in)
    {
        static constexpr REGSAM masks[] = {KEY_READ,        KEY_WRITE,    KEY_ALL_ACCESS, 0,
                                           0x02000000,      0x80000000,   0x40000000,     0x10000000,
                                           KEY_QUERY_VALUE, KEY_SET_VALUE};
        const std::uint8_t choice = in.byte();
        return choice < 0xF0 ? masks[choice % (sizeof masks / sizeof masks[0])] : in.u32();
    }

    static DWORD size(Input& in)
    {
        const std::uint8_t choice = in.byte();
        return choice < 0xF0 ? choice % 20 : in.u16() % 301;
    }

    static void check(LSTATUS status, const char* call)
    {
        VH_FUZZ_CHECK(documented(status), std::string(call) + " gave status " + std::to_string(status));
    }

    void opened(LSTATUS status, HKEY result, HKEY parent, std::size_t slot, const char* call)
    {
        check(status, call);
        if (status != ERROR_SUCCESS) {
            return;
        }
        const std::uint32_t value = value_of(result);
        VH_FUZZ_CHECK(value != 0, std::string(call) + " succeeded with a null handle");
        if (is_root(value)) {
            VH_FUZZ_CHECK(result == parent, std::string(call) + " gave another root");
        } else {
            for (const std::uint32_t held : m_open) {
                VH_FUZZ_CHECK(held != value, std::string(call) + " handed out a handle already held");
            }
            m_open.push_back(value);
        }
        m_slots[slot] = value;
    }

    void open_key(Input& in)
    {
        const HKEY parent = handle(in);
        const Text subkey = path(in);
        const std::uint8_t choice = in.byte();
        const DWORD options = choice < 0xE0 ? 0 : (choice < 0xF0 ? 8 : in.u32());
        const REGSAM mask = access(in);
        const std::size_t slot = first_free_slot + in.byte() % (slot_count - first_free_slot);
        if ((choice & 1) != 0 && choice >= 0xF0) {
            check(RegOpenKeyExA(parent, subkey.get(), options, mask, nullptr), "RegOpenKeyExA");
            return;
        }
        HKEY result = as_key(0x5A5A5A5Au);
        const LSTATUS status = RegOpenKeyExA(parent, subkey.get(), options, mask, &result);
        opened(status, result, parent, slot, "RegOpenKeyExA");
    }

    void create_key(Input& in)
    {
        const HKEY parent = handle(in);
        const Text subkey = path(in);
        const std::uint8_t choice = in.byte();
        const DWORD reserved = choice >= 0xF8 ? 1 : 0;
        const DWORD options = (choice & 0x70) == 0x70 ? in.u32() : 0;
        Text class_text = (choice & 2) != 0 ? Text{false, in.text(8)} : Text{true, {}};
        const REGSAM mask = access(in);
        const std::size_t slot = first_free_slot + in.byte() % (slot_count - first_free_slot);
        if ((choice & 0x0C) == 0x0C) {
            check(RegCreateKeyExA(parent, subkey.get(), reserved,
                                  class_text.null ? nullptr : class_text.bytes.data(), options, mask, nullptr,
                                  nullptr, nullptr),
                  "RegCreateKeyExA");
            return;
        }
        HKEY result = as_key(0x5A5A5A5Au);
        DWORD disposition = 0xDEAD;
        const LSTATUS status = RegCreateKeyExA(
            parent, subkey.get(), reserved, class_text.null ? nullptr : class_text.bytes.data(), options,
            mask, nullptr, &result, (choice & 1) != 0 ? &disposition : nullptr);
        if (status == ERROR_SUCCESS && (choice & 1) != 0) {
            VH_FUZZ_CHECK(disposition == REG_CREATED_NEW_KEY || disposition == REG_OPENED_EXISTING_KEY,
                          "RegCreateKeyExA disposition " + std::to_string(disposition));
        }
        opened(status, result, parent, slot, "RegCreateKeyExA");
    }

    void close_key(Input& in)
    {
        const HKEY key = handle(in);
        const LSTATUS status = RegCloseKey(key);
        check(status, "RegCloseKey");
        const std::uint32_t value = value_of(key);
        bool held = false;
        for (std::size_t i = 0; i < m_open.size(); ++i) {
            if (m_open[i] == value) {
                m_open.erase(m_open.begin() + static_cast<std::ptrdiff_t>(i));
                held = true;
                break;
            }
        }
        VH_FUZZ_CHECK(held || is_root(value) ? status == ERROR_SUCCESS : status == ERROR_INVALID_HANDLE,
                      "RegCloseKey of " + std::to_string(value) + " gave " + std::to_string(status));
    }

    void set_value(Input& in)
    {
        static constexpr DWORD types[] = {REG_NONE,   REG_SZ,       REG_EXPAND_SZ,
                                          REG_BINARY, REG_DWORD,    REG_DWORD_BIG_ENDIAN,
                                          REG_LINK,   REG_MULTI_SZ, REG_QWORD};
        const HKEY key = handle(in);
        const Text name = path(in);
        const std::uint8_t choice = in.byte();
        const DWORD type = choice < 0xF0 ? types[choice % (sizeof types / sizeof types[0])] : in.u32();
        const std::string data = in.text(40);
        const std::uint8_t how = in.byte();
        DWORD length = static_cast<DWORD>(data.size());
        if ((how & 3) == 1) {
            length = data.empty() ? 0 : how % static_cast<DWORD>(data.size());
        }
        const BYTE* bytes = (how & 3) == 2 ? nullptr : reinterpret_cast<const BYTE*>(data.data());
        check(RegSetValueExA(key, name.get(), (how & 0xF0) == 0xF0 ? 1 : 0, type, bytes, length),
              "RegSetValueExA");
    }

    void enum_key(Input& in)
    {
        const HKEY key = handle(in);
        const DWORD index = in.byte() % 8;
        const std::uint8_t choice = in.byte();
        Guarded name(size(in), (choice & 1) != 0);
        Guarded class_text(size(in), (choice & 2) != 0);
        DWORD name_length = name.size();
        DWORD class_length = class_text.size();
        FILETIME written{0xDEAD, 0xDEAD};
        const LSTATUS status = RegEnumKeyExA(
            key, index, name.text(), (choice & 4) != 0 ? nullptr : &name_length, nullptr, class_text.text(),
            (choice & 8) != 0 ? nullptr : &class_length, (choice & 16) != 0 ? nullptr : &written);
        check(status, "RegEnumKeyExA");
        const std::string what = "RegEnumKeyExA index " + std::to_string(index) + " sizes " +
                                 std::to_string(name.size()) + "/" + std::to_string(class_text.size());
        VH_FUZZ_CHECK(name.untouched_from(name.size()), what + ": name written past its size");
        VH_FUZZ_CHECK(class_text.untouched_from(class_text.size()), what + ": class written past its size");
        if (status == ERROR_SUCCESS) {
            VH_FUZZ_CHECK(name_length < name.size() && name.at(name_length) == 0 &&
                              std::strlen(name.text()) == name_length,
                          what + ": name not a string of the length reported");
        } else {
            VH_FUZZ_CHECK(name_length == name.size() && (name.null() || name.untouched_from(0)),
                          what + ": a failed listing changed the name");
        }
    }

    void enum_value(Input& in)
    {
        const HKEY key = handle(in);
        const DWORD index = in.byte() % 8;
        const std::uint8_t choice = in.byte();
        Guarded name(size(in), (choice & 1) != 0);
        Guarded data(size(in), (choice & 2) != 0);
        DWORD name_length = name.size();
        DWORD data_length = data.size();
        DWORD type = 0xDEAD;
        const LSTATUS status = RegEnumValueA(
            key, index, name.text(), (choice & 4) != 0 ? nullptr : &name_length, nullptr,
            (choice & 8) != 0 ? nullptr : &type, data.data(), (choice & 16) != 0 ? nullptr : &data_length);
        check(status, "RegEnumValueA");
        const std::string what = "RegEnumValueA index " + std::to_string(index) + " sizes " +
                                 std::to_string(name.size()) + "/" + std::to_string(data.size());
        VH_FUZZ_CHECK(name.untouched_from(name.size()), what + ": name written past its size");
        VH_FUZZ_CHECK(data.untouched_from(data.size()), what + ": data written past its size");
        if (status == ERROR_SUCCESS) {
            VH_FUZZ_CHECK(name_length < name.size() && name.at(name_length) == 0 &&
                              std::strlen(name.text()) == name_length,
                          what + ": name not a string of the length reported");
            VH_FUZZ_CHECK(data.null() || (choice & 16) != 0 || data_length <= data.size(),
                          what + ": data larger than its buffer reported as copied");
        } else if (status != ERROR_MORE_DATA) {
            VH_FUZZ_CHECK(name_length == name.size(), what + ": a failed listing changed the name's length");
        }
    }

    void query_value(Input& in)
    {
        const HKEY key = handle(in);
        const Text name = path(in);
        const std::uint8_t choice = in.byte();
        Guarded data(size(in), (choice & 1) != 0);
        DWORD data_length = data.size();
        DWORD type = 0xDEAD;
        const LSTATUS status = RegQueryValueExA(key, name.get(), nullptr, (choice & 2) != 0 ? nullptr : &type,
                                                data.data(), (choice & 4) != 0 ? nullptr : &data_length);
        check(status, "RegQueryValueExA");
        const std::string what = "RegQueryValueExA size " + std::to_string(data.size());
        VH_FUZZ_CHECK(data.untouched_from(data.size()), what + ": data written past its size");
        if (status == ERROR_SUCCESS && !data.null() && (choice & 4) == 0) {
            VH_FUZZ_CHECK(data_length <= data.size(),
                          what + ": data larger than its buffer reported as copied");
        }
        if (status == ERROR_MORE_DATA) {
            VH_FUZZ_CHECK(data_length > data.size(), what + ": more data reported for data that fits");
            VH_FUZZ_CHECK(data.null() || data.untouched_from(0),
                          what + ": data copied although it does not fit");
        }
    }

    std::array<std::uint32_t, slot_count> m_slots{};
    std::vector<std::uint32_t> m_open;
};

// The keys and values that both states read and change, so that a change
// by one and a read by the other meet often.
const char* const shared_paths[] = {"a", "a\\b"};
const char* const shared_names[] = {"x", ""};

void change_shared(Input& in)
{
    const std::uint8_t choice = in.byte();
    const char* path = shared_paths[choice % 2];
    const char* name = shared_names[(choice >> 1) % 2];
    if ((choice >> 2) % 4 == 3) {
        RegDeleteKeyA(HKEY_CURRENT_USER, path);  // refused while a\b is there
        return;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    if ((choice >> 2) % 4 == 2) {
        RegDeleteValueA(key, name);
    } else {
        const std::string data = in.text(200);
        RegSetValueExA(key, name, 0, in.byte() % 12, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size()));
    }
    RegCloseKey(key);
}

void select_state(DWORD state)
{
    VH_FUZZ_CHECK(VhRegSelectState(state) == ERROR_SUCCESS,
                  "cannot select registry state " + std::to_string(state));
}

// SQLite's own check of the store file, through a connection of our own.
void check_store(const std::string& path)
{
    const std::string verdict = vh::test::store_integrity(path);
    VH_FUZZ_CHECK(verdict == "ok", "integrity check of " + path + ": " + verdict);
}

// Each input gets a new store. Two file names take turns, so the one about to
// be removed is never the one the service has open.
std::string fresh_store()
{
    static unsigned turn = 0;
    const std::string path = vh::fuzz::private_directory() + "/store" + std::to_string(turn++ % 2) + ".db";
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        vh::fuzz::remove_file(path + suffix);
    }
    vh::test::set_environment("VORNHALL_REGISTRY", path.c_str());
    // Every state moves to the new file now, so that none holds the one the
    // next input removes.
    for (DWORD state = 0; state < state_count; ++state) {
        select_state(state);
        DWORD denied = 0;
        VH_FUZZ_CHECK(VhRegGetKeyAccess(HKEY_CURRENT_USER, "", &denied) == ERROR_SUCCESS,
                      "the new store does not open");
    }
    return path;
}

// Everything one state answers about a value and a key's listing.
std::string answers(const std::string& path, const std::string& name)
{
    std::string said;
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
    said += "open " + std::to_string(opened) + "\n";
    if (opened != ERROR_SUCCESS) {
        return said;
    }
    std::vector<std::uint8_t> data(512);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS queried = RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &size);
    said +=
        "query " + std::to_string(queried) + " " + std::to_string(type) + " " + std::to_string(size) + " ";
    if (queried == ERROR_SUCCESS) {
        said.append(reinterpret_cast<const char*>(data.data()), size);
    }
    for (DWORD index = 0; index < 8; ++index) {
        char listed[300];
        DWORD length = sizeof listed;
        size = static_cast<DWORD>(data.size());
        const LSTATUS status = RegEnumValueA(key, index, listed, &length, nullptr, &type, data.data(), &size);
        said += "\nvalue " + std::to_string(status) + " " + std::to_string(type) + " " + std::to_string(size);
        if (status == ERROR_SUCCESS) {
            said += " " + std::string(listed, length) + "=" +
                    std::string(reinterpret_cast<const char*>(data.data()), size);
        }
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
    }
    for (DWORD index = 0; index < 8; ++index) {
        char listed[300];
        DWORD length = sizeof listed;
        const LSTATUS status = RegEnumKeyExA(key, index, listed, &length, nullptr, nullptr, nullptr, nullptr);
        said += "\nkey " + std::to_string(status) +
                (status == ERROR_SUCCESS ? " " + std::string(listed, length) : "");
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
    }
    RegCloseKey(key);
    return said;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string store = fresh_store();
    Input in(data, size);
    std::array<Session, state_count> sessions;
    DWORD current = 0;
    select_state(current);
    for (int i = 0; i < max_operations && !in.empty(); ++i) {
        const std::uint8_t choice = in.byte();
        if (choice >= 0xF0) {
            // Another process's turn.
            current = (current + 1) % state_count;
            select_state(current);
        } else if (choice >= 0xE8) {
            // Both states read the same things: the same answers.
            const std::string path = shared_paths[in.byte() % 2];
            const std::string name = shared_names[in.byte() % 2];
            std::string said[state_count];
            for (DWORD state = 0; state < state_count; ++state) {
                select_state(state);
                said[state] = answers(path, name);
            }
            select_state(current);
            VH_FUZZ_CHECK(said[0] == said[1], "two connections disagree:\n" + said[0] + "\n----\n" + said[1]);
        } else if (choice >= 0xE0) {
            // A change to what the reads above compare, by the current state.
            change_shared(in);
        } else {
            sessions[current].operate(choice, in, i);
        }
    }
    for (DWORD state = 0; state < state_count; ++state) {
        select_state(state);
        sessions[state].finish();
    }
    select_state(0);
    check_store(store);
    return 0;
}
