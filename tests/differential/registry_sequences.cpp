// Seeded random sequences of calls to the nine registry functions, each
// below a key of its own, HKEY_CURRENT_USER\Software\VornhallDifferential\S<n>.
//
// A sequence keeps up to six handles in slots (slot 0 is its own key and is
// never closed; a slot may be empty, which passes a null handle) and draws
// each call's arguments from small pools: names in several spellings,
// paths of one to three parts with doubled and trailing separators, access
// masks, value types with data given with and without their terminators,
// and buffers of no size, one byte short, exactly fitting and roomy, filled
// with a sentinel. Calls the two systems are known to answer differently in
// a way that changes the registry (a key created by one and refused by the
// other) are made as probes that undo what they made, so that a known
// difference stays one line of the transcript. Each sequence ends with a
// dump of its tree in an order of its own (names compared as upper-case
// bytes), then removes it.
//
// Listings record every name, in the system's order; a call that needs an
// entry's index finds it by the entry's name in the listing it just made,
// so that the order of a listing, which the platform leaves open, decides
// nothing else.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/differential/transcript.h"

namespace vh::differential {

namespace {

using namespace std::string_literals;

constexpr const char* base_path = "Software\\VornhallDifferential";
constexpr std::size_t slot_count = 6;
constexpr char sentinel = '\xCC';
constexpr DWORD untouched = 0xDEADBEEF;
constexpr int deepest = 30;  // levels below a sequence's key that a slot may reach

const std::vector<std::string> key_names = {
    "alpha", "Beta", "gamma delta", "_under", "Zed", "caf\xE9", "CAF\xC9", "n\xB0 1", std::string(255, 'k')};
const std::vector<std::string> value_names = {
    "", "v", "V", "two words", "caf\xE9", "CAF\xC9", std::string(300, 'x')};
const std::vector<REGSAM> accesses = {KEY_READ, KEY_ALL_ACCESS, KEY_QUERY_VALUE, KEY_SET_VALUE, KEY_WRITE};

// A value no handle has (handles are multiples of 4 on both systems).
HKEY no_key()
{
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0xBAD1));
}

// What a handle variable holds after a call: 0 for null, 1 for a handle, 2
// for the value it held before.
int handle_state(HKEY key)
{
    return key == nullptr ? 0 : key == no_key() ? 2 : 1;
}

// Data for RegSetValueExA: the caller's buffer and the size given, which
// may leave out bytes of the buffer (a terminator, or a byte that is not one).
struct Data {
    DWORD type;
    std::string buffer;
    DWORD size;
};

Data random_data(Random& random)
{
    std::string bytes;
    switch (random.below(13)) {
        case 0:
            return {REG_SZ, "text\0"s, 5};
        case 1:
            return {REG_SZ, "abc"s, 3};  // a zero follows the size given
        case 2:
            return {REG_SZ, "abcX"s, 3};  // no zero follows it
        case 3:
            return {REG_SZ, ""s, 0};
        case 4:
            return {REG_EXPAND_SZ, "%PATH%\0"s, 7};
        case 5:
            return {REG_MULTI_SZ, "a\0bc\0\0"s, 6};
        case 6:
            return {REG_MULTI_SZ, "a\0b"s, 3};
        case 7:
            return {REG_SZ, "caf\xE9 \x80\x81\0"s, 8};
        case 8:
            bytes.resize(4);
            break;
        case 9:
            bytes.resize(3);
            break;
        case 10:
            bytes.resize(8);
            break;
        case 11:
            bytes.resize(random.below(41));
            break;
        default:
            return {REG_NONE, ""s, 0};
    }
    for (char& c : bytes) {
        c = static_cast<char>(random.below(256));
    }
    const DWORD type = bytes.size() == 8                          ? REG_QWORD
                       : bytes.size() <= 4 && random.chance(1, 2) ? REG_DWORD
                                                                  : REG_BINARY;
    return {type, bytes, static_cast<DWORD>(bytes.size())};
}

std::string random_path(Random& random, int& parts)
{
    if (random.chance(1, 12)) {
        parts = 0;
        return "";
    }
    parts = 1 + static_cast<int>(random.below(3));
    std::string path;
    for (int i = 0; i < parts; ++i) {
        std::string name = random.pick(key_names);
        while (parts > 1 && name.size() > 100) {
            name = random.pick(key_names);  // paths stay within 260 characters
        }
        if (i > 0) {
            path += random.chance(1, 10) ? "\\\\" : "\\";
        }
        path += name;
    }
    if (random.chance(1, 10)) {
        path += "\\";
    }
    return path;
}

// Names compared as their upper-case bytes (ASCII letters only), then as
// bytes: an order both systems can give, whatever order they list in.
bool name_order(const std::string& a, const std::string& b)
{
    const auto upper = [](std::string s) {
        for (char& c : s) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return s;
    };
    const std::string ua = upper(a);
    const std::string ub = upper(b);
    return ua != ub ? ua < ub : a < b;
}

std::vector<std::string> subkeys(HKEY key, LSTATUS& ended)
{
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[300];
        DWORD length = sizeof name;
        ended = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (ended != ERROR_SUCCESS) {
            return names;
        }
        names.emplace_back(name, length);
    }
}

struct ValueEntry {
    std::string name;
    DWORD type = 0;
    DWORD size = 0;
};

std::vector<ValueEntry> values(HKEY key, LSTATUS& ended)
{
    std::vector<ValueEntry> entries;
    for (DWORD index = 0;; ++index) {
        char name[400];
        DWORD length = sizeof name;
        ValueEntry entry;
        ended = RegEnumValueA(key, index, name, &length, nullptr, &entry.type, nullptr, &entry.size);
        if (ended != ERROR_SUCCESS) {
            return entries;
        }
        entry.name.assign(name, length);
        entries.push_back(entry);
    }
}

void delete_tree(HKEY parent, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return;
    }
    LSTATUS ended = ERROR_SUCCESS;
    for (const std::string& name : subkeys(key, ended)) {
        delete_tree(key, name);
    }
    RegCloseKey(key);
    RegDeleteKeyA(parent, path.c_str());
}

// Every key below `key` and every value, in name order: "path" lines and
// "path | name | type | hex" lines.
void dump(HKEY key, const std::string& path, std::vector<std::string>& lines)
{
    lines.push_back(path);
    LSTATUS ended = ERROR_SUCCESS;
    std::vector<ValueEntry> entries = values(key, ended);
    std::sort(entries.begin(), entries.end(),
              [](const ValueEntry& a, const ValueEntry& b) { return name_order(a.name, b.name); });
    for (const ValueEntry& entry : entries) {
        std::string data(entry.size + 1, '\0');
        DWORD size = entry.size + 1;
        DWORD type = 0;
        const LSTATUS status = RegQueryValueExA(key, entry.name.c_str(), nullptr, &type,
                                                reinterpret_cast<BYTE*>(data.data()), &size);
        data.resize(status == ERROR_SUCCESS ? size : 0);
        lines.push_back(path + " | " + entry.name + " | " + std::to_string(type) + " | " + hex(data));
    }
    std::vector<std::string> names = subkeys(key, ended);
    std::sort(names.begin(), names.end(), name_order);
    for (const std::string& name : names) {
        HKEY child = nullptr;
        if (RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &child) == ERROR_SUCCESS) {
            dump(child, path + "\\" + name, lines);
            RegCloseKey(child);
        } else {
            lines.push_back(path + "\\" + name + " (cannot be opened)");
        }
    }
}

class Sequence {
public:
    Sequence(std::FILE* out, std::uint64_t seed, int number) : m_out(out), m_random(seed), m_number(number) {}

    long run(int operations)
    {
        m_path = std::string(base_path) + "\\S" + std::to_string(m_number);
        delete_tree(HKEY_CURRENT_USER, m_path);
        Line("sequence").number("number", m_number).bytes("key", m_path).write(m_out);
        if (RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &m_slots[0], nullptr) != ERROR_SUCCESS ||
            RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(base_path) + "\\Probes").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &m_probes, nullptr) != ERROR_SUCCESS) {
            Line("failed").bytes("what", "cannot create the sequence's key").write(m_out);
            return 0;
        }
        for (int i = 0; i < operations; ++i) {
            step();
        }
        std::vector<std::string> lines;
        dump(m_slots[0], "", lines);
        Line("tree").list("lines", lines).write(m_out);
        for (HKEY& key : m_slots) {
            if (key != nullptr) {
                RegCloseKey(key);
                key = nullptr;
            }
        }
        RegCloseKey(m_probes);
        delete_tree(HKEY_CURRENT_USER, m_path);
        delete_tree(HKEY_CURRENT_USER, std::string(base_path) + "\\Probes");
        return m_calls;
    }

private:
    // A slot for a handle argument (empty slots pass a null handle).
    std::size_t any_slot() { return m_random.below(slot_count); }
    std::size_t closable_slot() { return 1 + m_random.below(slot_count - 1); }

    void keep(std::size_t slot, HKEY key, int depth)
    {
        if (m_slots[slot] != nullptr) {
            RegCloseKey(m_slots[slot]);
        }
        m_slots[slot] = key;
        m_depths[slot] = depth;
    }

    void step()
    {
        const std::uint32_t choice = m_random.below(100);
        if (choice < 14) {
            create();
        } else if (choice < 24) {
            open();
        } else if (choice < 30) {
            close();
        } else if (choice < 37) {
            delete_key();
        } else if (choice < 57) {
            set_value();
        } else if (choice < 71) {
            query_value();
        } else if (choice < 78) {
            delete_value();
        } else if (choice < 85) {
            enum_keys();
        } else if (choice < 93) {
            enum_values();
        } else {
            probe();
        }
    }

    // A path below a slot's key that keeps slots within `deepest` levels.
    std::string path_from(std::size_t slot, int& depth)
    {
        int parts = 0;
        std::string path =
            m_random.chance(1, 30) ? "\\" + m_random.pick(key_names) : random_path(m_random, parts);
        depth = m_depths[slot] + parts;
        return depth > deepest ? "" : path;
    }

    void create()
    {
        const std::size_t parent = any_slot();
        int depth = 0;
        const std::string path = path_from(parent, depth);
        const DWORD options = m_random.chance(1, 6) ? REG_OPTION_VOLATILE : 0;
        const REGSAM access = m_random.pick(accesses);
        HKEY key = no_key();
        DWORD disposition = untouched;
        const LSTATUS status = RegCreateKeyExA(m_slots[parent], path.c_str(), 0, nullptr, options, access,
                                               nullptr, &key, &disposition);
        ++m_calls;
        Line("RegCreateKeyExA")
            .number("slot", static_cast<long long>(parent))
            .bytes("path", path)
            .number("options", options)
            .number("access", access)
            .number("status", status)
            .number("disposition", disposition)
            .number("handle", handle_state(key))
            .write(m_out);
        if (status == ERROR_SUCCESS) {
            keep(closable_slot(), key, depth);
        }
    }

    void open()
    {
        const std::size_t parent = any_slot();
        int depth = 0;
        const std::string path = path_from(parent, depth);
        const REGSAM access = m_random.pick(accesses);
        HKEY key = no_key();
        const LSTATUS status = RegOpenKeyExA(m_slots[parent], path.c_str(), 0, access, &key);
        ++m_calls;
        Line("RegOpenKeyExA")
            .number("slot", static_cast<long long>(parent))
            .bytes("path", path)
            .number("access", access)
            .number("status", status)
            .number("handle", handle_state(key))
            .write(m_out);
        if (status == ERROR_SUCCESS) {
            keep(closable_slot(), key, depth);
        }
    }

    void close()
    {
        const std::size_t slot = closable_slot();
        const LSTATUS status = RegCloseKey(m_slots[slot]);
        ++m_calls;
        Line("RegCloseKey")
            .number("slot", static_cast<long long>(slot))
            .number("status", status)
            .write(m_out);
        m_slots[slot] = nullptr;
        m_depths[slot] = 0;
    }

    void delete_key()
    {
        const std::size_t slot = any_slot();
        int depth = 0;
        // The sequence's own key stays (through slot 0, at least).
        const std::string path = m_random.chance(1, 8) && slot != 0 ? "" : path_from(slot, depth);
        const LSTATUS status = RegDeleteKeyA(m_slots[slot], path.c_str());
        ++m_calls;
        Line("RegDeleteKeyA")
            .number("slot", static_cast<long long>(slot))
            .bytes("path", path)
            .number("status", status)
            .write(m_out);
    }

    void set_value()
    {
        const std::size_t slot = any_slot();
        const std::string& name = m_random.pick(value_names);
        const Data data = random_data(m_random);
        const LSTATUS status = RegSetValueExA(m_slots[slot], name.c_str(), 0, data.type,
                                              reinterpret_cast<const BYTE*>(data.buffer.data()), data.size);
        ++m_calls;
        Line("RegSetValueExA")
            .number("slot", static_cast<long long>(slot))
            .bytes("name", name)
            .number("type", data.type)
            .bytes("data", data.buffer)
            .number("size", data.size)
            .number("status", status)
            .write(m_out);
    }

    // The size asked first (no buffer), then the value read into a buffer
    // of no size, one byte short, exactly fitting or roomy.
    void query_value()
    {
        const std::size_t slot = any_slot();
        const std::string& name = m_random.pick(value_names);
        DWORD type = untouched;
        DWORD needed = untouched;
        const LSTATUS asked = RegQueryValueExA(m_slots[slot], name.c_str(), nullptr, &type, nullptr, &needed);
        const std::uint32_t shape = m_random.below(4);
        DWORD capacity = 64;
        if (asked == ERROR_SUCCESS && shape < 3) {
            capacity = shape == 0 ? 0 : shape == 1 ? (needed == 0 ? 0 : needed - 1) : needed;
        }
        std::string buffer(capacity + 4, sentinel);
        DWORD read_type = untouched;
        DWORD size = capacity;
        const LSTATUS status = RegQueryValueExA(m_slots[slot], name.c_str(), nullptr, &read_type,
                                                reinterpret_cast<BYTE*>(buffer.data()), &size);
        m_calls += 2;
        Line("RegQueryValueExA")
            .number("slot", static_cast<long long>(slot))
            .bytes("name", name)
            .number("asked", asked)
            .number("asked_type", type)
            .number("needed", needed)
            .number("capacity", capacity)
            .number("status", status)
            .number("type", read_type)
            .number("size", size)
            .bytes("buffer", buffer)
            .write(m_out);
    }

    void delete_value()
    {
        const std::size_t slot = any_slot();
        const std::string& name = m_random.pick(value_names);
        const LSTATUS status = RegDeleteValueA(m_slots[slot], name.c_str());
        ++m_calls;
        Line("RegDeleteValueA")
            .number("slot", static_cast<long long>(slot))
            .bytes("name", name)
            .number("status", status)
            .write(m_out);
    }

    void enum_keys()
    {
        const std::size_t slot = any_slot();
        LSTATUS ended = ERROR_SUCCESS;
        const std::vector<std::string> names = subkeys(m_slots[slot], ended);
        m_calls += static_cast<long>(names.size()) + 1;
        Line line("RegEnumKeyExA");
        line.number("slot", static_cast<long long>(slot)).list("names", names).number("ended", ended);
        if (!names.empty()) {
            // One entry again, by its name, into a buffer exactly fitting or
            // one short; the name drawn from the names in an order of its own.
            std::vector<std::string> ordered = names;
            std::sort(ordered.begin(), ordered.end(), name_order);
            const std::string& name = m_random.pick(ordered);
            const DWORD index =
                static_cast<DWORD>(std::find(names.begin(), names.end(), name) - names.begin());
            const DWORD capacity = static_cast<DWORD>(name.size()) + (m_random.chance(1, 2) ? 1 : 0);
            std::string buffer(capacity + 4, sentinel);
            DWORD length = capacity;
            const LSTATUS status = RegEnumKeyExA(m_slots[slot], index, buffer.data(), &length, nullptr,
                                                 nullptr, nullptr, nullptr);
            ++m_calls;
            line.bytes("entry", name)
                .number("capacity", capacity)
                .number("status", status)
                .number("length", length)
                .bytes("buffer", buffer);
        }
        line.write(m_out);
    }

    void enum_values()
    {
        const std::size_t slot = any_slot();
        LSTATUS ended = ERROR_SUCCESS;
        const std::vector<ValueEntry> entries = values(m_slots[slot], ended);
        m_calls += static_cast<long>(entries.size()) + 1;
        std::vector<std::string> listed;
        for (const ValueEntry& entry : entries) {
            listed.push_back(entry.name + " | " + std::to_string(entry.type) + " | " +
                             std::to_string(entry.size));
        }
        Line line("RegEnumValueA");
        line.number("slot", static_cast<long long>(slot)).list("values", listed).number("ended", ended);
        if (!entries.empty()) {
            // One entry again, by its name: its name into a buffer exactly
            // fitting or one short, its data exactly fitting or one short.
            std::vector<ValueEntry> ordered = entries;
            std::sort(ordered.begin(), ordered.end(),
                      [](const ValueEntry& a, const ValueEntry& b) { return name_order(a.name, b.name); });
            const ValueEntry& entry = ordered[m_random.below(static_cast<std::uint32_t>(ordered.size()))];
            DWORD index = 0;
            while (entries[index].name != entry.name) {
                ++index;
            }
            const DWORD name_capacity =
                static_cast<DWORD>(entry.name.size()) + (m_random.chance(3, 4) ? 1 : 0);
            const DWORD data_capacity =
                entry.size == 0 || m_random.chance(3, 4) ? entry.size : entry.size - 1;
            std::string name(name_capacity + 4, sentinel);
            std::string data(data_capacity + 4, sentinel);
            DWORD name_length = name_capacity;
            DWORD data_length = data_capacity;
            DWORD type = untouched;
            const LSTATUS status = RegEnumValueA(m_slots[slot], index, name.data(), &name_length, nullptr,
                                                 &type, reinterpret_cast<BYTE*>(data.data()), &data_length);
            ++m_calls;
            line.bytes("entry", entry.name)
                .number("name_capacity", name_capacity)
                .number("data_capacity", data_capacity)
                .number("status", status)
                .number("name_length", name_length)
                .number("type", type)
                .number("data_length", data_length)
                .bytes("name", name)
                .bytes("data", data);
        }
        line.write(m_out);
    }

    // Calls the two systems answer differently by design or by a choice of
    // the stand-in's (see the README), on a key of their own that the
    // sequence's calls never reach; whatever one of them makes is undone.
    void probe()
    {
        const HKEY key = m_probes;
        const std::string long_path = [] {
            std::string path;
            for (int i = 0; i < 30; ++i) {
                path += "abcdefghi\\";
            }
            return path;
        }();
        HKEY made = no_key();
        LSTATUS status = 0;
        Line line("probe");
        switch (m_random.below(9)) {
            case 0:
                line.bytes("what", "a path of 300 characters");
                status = RegOpenKeyExA(key, long_path.c_str(), 0, KEY_READ, &made);
                break;
            case 1:
                line.bytes("what", "RegOpenKeyExA with options 1");
                status = RegOpenKeyExA(key, "", 1, KEY_READ, &made);
                break;
            case 2:
                line.bytes("what", "RegCreateKeyExA with options 0x100");
                status =
                    RegCreateKeyExA(key, "probe", 0, nullptr, 0x100, KEY_ALL_ACCESS, nullptr, &made, nullptr);
                break;
            case 3:
                line.bytes("what", "RegCreateKeyExA with Reserved 1");
                status =
                    RegCreateKeyExA(key, "probe", 1, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr);
                break;
            case 4:
                line.bytes("what", "RegCreateKeyExA of a name of 256 characters");
                status = RegCreateKeyExA(key, std::string(256, 'p').c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                         nullptr, &made, nullptr);
                if (status == ERROR_SUCCESS) {
                    RegDeleteKeyA(key, std::string(256, 'p').c_str());
                }
                break;
            case 5:
                line.bytes("what", "RegSetValueExA with Reserved 1");
                status = RegSetValueExA(key, "probe", 1, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1);
                RegDeleteValueA(key, "probe");
                break;
            case 6:
                line.bytes("what", "RegSetValueExA of a value name of 16,384 characters");
                status = RegSetValueExA(key, std::string(16384, 'p').c_str(), 0, REG_BINARY,
                                        reinterpret_cast<const BYTE*>("x"), 1);
                RegDeleteValueA(key, std::string(16384, 'p').c_str());
                break;
            case 7:
                line.bytes("what", "RegSetValueExA of no data with a size, on a null handle");
                status = RegSetValueExA(nullptr, "v", 0, REG_BINARY, nullptr, 4);
                break;
            default: {
                line.bytes("what", "RegQueryValueExA of a missing value through a handle that may not query");
                HKEY writer = nullptr;
                RegOpenKeyExA(key, "", 0, KEY_SET_VALUE, &writer);
                DWORD type = untouched;
                DWORD size = 8;
                status = RegQueryValueExA(writer, "missing", nullptr, &type, nullptr, &size);
                line.number("type", type).number("size", size);
                RegCloseKey(writer);
                break;
            }
        }
        ++m_calls;
        line.number("status", status).number("handle", handle_state(made)).write(m_out);
        if (made != nullptr && made != no_key()) {
            RegCloseKey(made);
            if (status == ERROR_SUCCESS) {
                RegDeleteKeyA(key, "probe");
            }
        }
    }

    std::FILE* m_out;
    Random m_random;
    int m_number;
    std::string m_path;
    std::array<HKEY, slot_count> m_slots{};
    HKEY m_probes = nullptr;
    std::array<int, slot_count> m_depths{};
    long m_calls = 0;
};

}  // namespace

long run_registry_sequences(std::FILE* out, std::uint64_t seed, int sequences, int operations)
{
    long calls = 0;
    for (int number = 0; number < sequences; ++number) {
        Random seeds(seed + static_cast<std::uint64_t>(number));
        calls += Sequence(out, seeds.next(), number).run(operations);
    }
    HKEY base = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS, &base) == ERROR_SUCCESS) {
        RegDeleteKeyA(base, "VornhallDifferential");
        RegCloseKey(base);
    }
    return calls;
}

}  // namespace vh::differential
