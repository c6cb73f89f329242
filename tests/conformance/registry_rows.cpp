// Rows for the nine ANSI registry functions.
//
// Everything happens below HKEY_CURRENT_USER\Software\VornhallConformance,
// which the rows create and remove again. Each row states the call's status
// and what it left in every output: handle variables, lengths, types, and
// sentinel-filled name and data buffers, tried at "exactly fits" and "one
// short".
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"
#include "tests/conformance/runner.h"

namespace vh::conformance {

namespace {

using namespace std::string_view_literals;

constexpr const char* base_path = "Software\\VornhallConformance";
constexpr DWORD no_type = 0xDEADBEEF;
constexpr DWORD no_length = 0xBEEF;
const HKEY no_key = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0xBAD0));

// What Wine does differently from Windows, per kind of row.
constexpr const char* wine_value_order =
    "Wine lists values sorted by name; Windows lists them in the order they were first created (the "
    "documentation leaves the order open: values are not ordered)";
constexpr const char* wine_subkey_order =
    "Wine sorts subkeys by their lower-case form, so \"_\" comes before the letters; Windows sorts by the "
    "upper-case form (the documentation leaves the order open: subkeys are not ordered)";
constexpr const char* wine_long_key_name =
    "Wine creates a key whose name has 256 characters; the documentation: a key name holds at most 255 "
    "characters";
constexpr const char* wine_empty_path_created =
    "Wine reports REG_CREATED_NEW_KEY for an empty path; the documentation: REG_OPENED_EXISTING_KEY when "
    "the key existed and was opened without being changed";

std::string describe(const char* text)
{
    return text == nullptr ? std::string("null") : "\"" + show(text) + "\"";
}

HKEY create(HKEY parent, const char* path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

LSTATUS set_bytes(HKEY key, const char* name, DWORD type, std::string_view bytes)
{
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
}

// A string value with its terminating zero.
LSTATUS set_text(HKEY key, const char* name, const char* text)
{
    return set_bytes(key, name, REG_SZ, std::string_view(text, std::strlen(text) + 1));
}

// The text of a string value, or "<status N>".
std::string text_of(HKEY key, const char* name)
{
    char buffer[256] = {};
    DWORD size = sizeof(buffer) - 1;
    const LSTATUS status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    return status == ERROR_SUCCESS ? std::string(buffer) : "<status " + std::to_string(status) + ">";
}

// The names RegEnumKeyExA or RegEnumValueA lists, joined by "|", and the
// status that ended the listing when it was not 259.
std::string subkey_names(HKEY key)
{
    std::string names;
    for (DWORD index = 0;; ++index) {
        char name[300];
        DWORD length = sizeof(name);
        const LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            return status == ERROR_NO_MORE_ITEMS ? names : names + "<status " + std::to_string(status) + ">";
        }
        names += (index == 0 ? "" : "|") + std::string(name, length);
    }
}

std::string value_names(HKEY key)
{
    std::string names;
    for (DWORD index = 0;; ++index) {
        char name[300];
        DWORD length = sizeof(name);
        const LSTATUS status = RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            return status == ERROR_NO_MORE_ITEMS ? names : names + "<status " + std::to_string(status) + ">";
        }
        names += (index == 0 ? "" : "|") + std::string(name, length);
    }
}

// Removes every subkey of a key, deepest first.
void delete_tree(HKEY key)
{
    for (;;) {
        char name[300];
        DWORD length = sizeof(name);
        if (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            return;
        }
        HKEY child = nullptr;
        if (RegOpenKeyExA(key, name, 0, KEY_ALL_ACCESS, &child) == ERROR_SUCCESS) {
            delete_tree(child);
            RegCloseKey(child);
        }
        if (RegDeleteKeyA(key, name) != ERROR_SUCCESS) {
            return;
        }
    }
}

// A key of its own for one group of rows, below the suite's key, removed
// with everything in it at the end.
class Scratch {
public:
    Scratch(HKEY base, const char* name) : m_base(base), m_name(name), m_key(create(base, name)) {}
    ~Scratch()
    {
        if (m_key != nullptr) {
            delete_tree(m_key);
            RegCloseKey(m_key);
        }
        RegDeleteKeyA(m_base, m_name);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    HKEY get() const { return m_key; }

private:
    HKEY m_base;
    const char* m_name;
    HKEY m_key;
};

// ---- Opening and creating ------------------------------------------------------------

void open_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Open");
    const HKEY top = scratch.get();
    set_text(top, "Marker", "top");
    const HKEY sub = create(top, "Sub");
    set_text(sub, "Marker", "sub");
    const HKEY deep = create(sub, "Deep");
    set_text(deep, "Marker", "deep");
    RegCloseKey(deep);
    RegCloseKey(sub);

    struct OpenRow {
        const char* path;
        LSTATUS status;
        const char* marker;  // the key reached, known by its Marker value
    };
    const OpenRow rows[] = {
        {"Sub", ERROR_SUCCESS, "sub"},
        {"sUB\\dEEP", ERROR_SUCCESS, "deep"},  // names compare without regard to case
        {"Sub\\", ERROR_SUCCESS, "sub"},       // a trailing "\" names no further key
        {"Sub\\Deep\\\\", ERROR_SUCCESS, "deep"},
        {"Sub\\\\Deep", ERROR_SUCCESS, "deep"},  // nor does a doubled one inside
        {"", ERROR_SUCCESS, "top"},              // an empty path: the key itself, on a new handle
        {"Missing", ERROR_FILE_NOT_FOUND, nullptr},
        {"Sub\\Missing", ERROR_FILE_NOT_FOUND, nullptr},
        {"Missing\\Deep", ERROR_FILE_NOT_FOUND, nullptr},
        {"Deep", ERROR_FILE_NOT_FOUND, nullptr},  // paths start at the parent
        {"\\Sub", ERROR_BAD_PATHNAME, nullptr},   // a leading "\"
        {"\\", ERROR_BAD_PATHNAME, nullptr},
    };
    for (const OpenRow& row : rows) {
        Row check(runner, "RegOpenKeyExA " + describe(row.path));
        HKEY key = no_key;
        check.number("status", RegOpenKeyExA(top, row.path, 0, KEY_READ, &key), row.status);
        if (row.status == ERROR_SUCCESS) {
            check.that("a new handle", key != top && key != no_key);
            check.bytes("Marker", text_of(key, "Marker"), row.marker);
            check.number("RegCloseKey", RegCloseKey(key), ERROR_SUCCESS);
        } else {
            check.that("the handle variable is cleared", key == nullptr);
        }
    }
    {
        Row check(runner, "RegOpenKeyExA below HKEY_CURRENT_USER with a leading \"\\\"");
        HKEY key = no_key;
        check.number("status", RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &key),
                     ERROR_BAD_PATHNAME);
    }
}

void create_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Create");
    const HKEY top = scratch.get();
    struct CreateRow {
        const char* path;
        LSTATUS status;
        DWORD disposition;
        const char* wine_difference = nullptr;
    };
    const std::string longest(255, 'n');
    const std::string too_long(256, 'n');
    const CreateRow rows[] = {
        {"A\\B\\C", ERROR_SUCCESS, REG_CREATED_NEW_KEY},  // with every missing key on the way
        {"A\\B\\C", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {"a\\b\\c", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {"A\\B\\D", ERROR_SUCCESS, REG_CREATED_NEW_KEY},
        {"A\\B", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {"Trail\\", ERROR_SUCCESS, REG_CREATED_NEW_KEY},
        {"Trail\\\\", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
        {"Dbl\\\\Inner", ERROR_SUCCESS, REG_CREATED_NEW_KEY},
        {"", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY, wine_empty_path_created},
        {"\\Lead", ERROR_BAD_PATHNAME, no_type},
        {longest.c_str(), ERROR_SUCCESS, REG_CREATED_NEW_KEY},
    };
    for (const CreateRow& row : rows) {
        Row check(runner, "RegCreateKeyExA " + describe(row.path).substr(0, 40), row.wine_difference);
        HKEY key = no_key;
        DWORD disposition = no_type;
        char class_text[] = "1";
        SECURITY_ATTRIBUTES security{50, nullptr, 65535};
        check.number(
            "status",
            RegCreateKeyExA(top, row.path, 0, class_text, 0, KEY_ALL_ACCESS, &security, &key, &disposition),
            row.status);
        check.number("disposition", disposition, row.disposition);
        if (row.status == ERROR_SUCCESS) {
            check.that("a new handle", key != top && key != no_key);
            check.number("RegCloseKey", RegCloseKey(key), ERROR_SUCCESS);
        }
    }
    {
        Row check(runner, "RegCreateKeyExA: the keys it made, as listed");
        check.bytes("subkeys", subkey_names(top), "A|Dbl|" + longest + "|Trail");
        HKEY inner = nullptr;
        check.number("open Dbl\\Inner", RegOpenKeyExA(top, "Dbl\\Inner", 0, KEY_READ, &inner), ERROR_SUCCESS);
        RegCloseKey(inner);
        HKEY key = nullptr;
        check.number("open A\\B", RegOpenKeyExA(top, "A\\B", 0, KEY_READ, &key), ERROR_SUCCESS);
        check.bytes("subkeys of A\\B", subkey_names(key), "C|D");
        RegCloseKey(key);
    }
    {
        Row check(runner, "RegCreateKeyExA of a name of 256 characters", wine_long_key_name);
        HKEY key = no_key;
        const LSTATUS status =
            RegCreateKeyExA(top, too_long.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        check.number("status", status, ERROR_INVALID_PARAMETER);
        if (status == ERROR_SUCCESS) {
            RegCloseKey(key);
        }
    }
}

void case_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Case");
    const HKEY top = scratch.get();
    RegCloseKey(create(top, "CaseKept"));
    {
        Row check(runner, "a key keeps the case it was created with");
        DWORD disposition = no_type;
        HKEY key = nullptr;
        check.number(
            "status",
            RegCreateKeyExA(top, "CASEKEPT", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
            ERROR_SUCCESS);
        RegCloseKey(key);
        check.number("disposition", disposition, REG_OPENED_EXISTING_KEY);
        check.bytes("subkeys", subkey_names(top), "CaseKept");
    }
    {
        Row check(runner, "a value set under another spelling keeps its name and takes the new data");
        set_text(top, "Keep", "one");
        set_text(top, "KEEP", "two");
        check.bytes("values", value_names(top), "Keep");
        check.bytes("data", text_of(top, "kEEp"), "two");
    }
    {
        Row check(runner, "a value set under another spelling keeps its place", wine_value_order);
        set_text(top, "Alpha", "x");
        set_text(top, "KEEP", "three");
        check.bytes("values", value_names(top), "Keep|Alpha");
    }
}

// ---- Removing keys, and handles to removed keys ----------------------------------------

void delete_key_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Delete");
    const HKEY top = scratch.get();
    RegCloseKey(create(top, "Parent\\Child"));
    const HKEY valued = create(top, "Valued");
    set_text(valued, "V", "data");
    RegCloseKey(valued);

    struct DeleteRow {
        const char* path;
        LSTATUS status;
    };
    const DeleteRow rows[] = {
        {"Parent", ERROR_ACCESS_DENIED},  // it has a subkey
        {"Missing", ERROR_FILE_NOT_FOUND}, {"\\Parent", ERROR_BAD_PATHNAME},
        {"parent\\CHILD", ERROR_SUCCESS},  {"Parent\\Child", ERROR_FILE_NOT_FOUND},
        {"Parent", ERROR_SUCCESS},         {"Valued", ERROR_SUCCESS},  // its values go with it
    };
    for (const DeleteRow& row : rows) {
        Row check(runner, "RegDeleteKeyA " + describe(row.path));
        check.number("status", RegDeleteKeyA(top, row.path), row.status);
    }
    {
        Row check(runner, "RegDeleteKeyA with a null path");
        check.number("status", RegDeleteKeyA(top, nullptr), ERROR_INVALID_PARAMETER);
    }
    {
        Row check(runner, "a key created again after removal has none of the old values");
        check.bytes("subkeys", subkey_names(top), "");
        const HKEY again = create(top, "Valued");
        check.number("RegQueryValueExA", RegQueryValueExA(again, "V", nullptr, nullptr, nullptr, nullptr),
                     ERROR_FILE_NOT_FOUND);
        RegCloseKey(again);
    }
}

void removed_key_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Removed");
    const HKEY top = scratch.get();
    const HKEY doomed = create(top, "Doomed");
    set_text(doomed, "V", "v");
    RegDeleteKeyA(top, "Doomed");
    RegCloseKey(create(top, "Doomed"));  // a new key of that name is another key

    char name[16];
    DWORD length = sizeof(name);
    DWORD size = 4;
    BYTE data[4] = {};
    HKEY key = nullptr;
    struct HandleRow {
        const char* call;
        LSTATUS got;
    };
    const HandleRow rows[] = {
        {"RegQueryValueExA", RegQueryValueExA(doomed, "V", nullptr, nullptr, data, &size)},
        {"RegSetValueExA", RegSetValueExA(doomed, "V", 0, REG_BINARY, data, 1)},
        {"RegDeleteValueA", RegDeleteValueA(doomed, "V")},
        {"RegEnumKeyExA", RegEnumKeyExA(doomed, 0, name, &length, nullptr, nullptr, nullptr, nullptr)},
        {"RegEnumValueA", RegEnumValueA(doomed, 0, name, &length, nullptr, nullptr, nullptr, nullptr)},
        {"RegCreateKeyExA",
         RegCreateKeyExA(doomed, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)},
        {"RegOpenKeyExA", RegOpenKeyExA(doomed, "", 0, KEY_READ, &key)},
        {"RegDeleteKeyA", RegDeleteKeyA(doomed, "")},
    };
    for (const HandleRow& row : rows) {
        Row check(runner, std::string(row.call) + " on a handle whose key was removed");
        check.number("status", row.got, ERROR_KEY_DELETED);
    }
    {
        Row check(runner, "RegCloseKey of a handle whose key was removed");
        check.number("status", RegCloseKey(doomed), ERROR_SUCCESS);
        check.bytes("the new key stands alone", subkey_names(top), "Doomed");
    }
}

void closed_handle_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Closed");
    const HKEY key = create(scratch.get(), "Once");
    {
        Row check(runner, "RegCloseKey twice");
        check.number("first", RegCloseKey(key), ERROR_SUCCESS);
        check.number("second", RegCloseKey(key), ERROR_INVALID_HANDLE);
    }
    {
        Row check(runner, "RegCloseKey of a null handle");
        check.number("status", RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    }
    {
        Row check(runner, "RegCloseKey of a predefined key");
        check.number("status", RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    }
    DWORD size = 0;
    char name[8];
    DWORD length = sizeof(name);
    HKEY opened = nullptr;
    struct HandleRow {
        const char* call;
        LSTATUS got;
    };
    const HandleRow rows[] = {
        {"RegQueryValueExA", RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size)},
        {"RegSetValueExA", RegSetValueExA(key, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1)},
        {"RegEnumKeyExA", RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr)},
        {"RegOpenKeyExA", RegOpenKeyExA(key, "", 0, KEY_READ, &opened)},
        {"RegDeleteKeyA", RegDeleteKeyA(key, "x")},
    };
    for (const HandleRow& row : rows) {
        Row check(runner, std::string(row.call) + " on a closed handle");
        check.number("status", row.got, ERROR_INVALID_HANDLE);
    }
}

// ---- Rights --------------------------------------------------------------------------------

void rights_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Rights");
    const HKEY full = create(scratch.get(), "Sub");
    set_text(full, "V", "v");
    struct RightsRow {
        const char* name;
        REGSAM access;
        LSTATUS set, query, enum_keys, enum_values;
    };
    const RightsRow rows[] = {
        {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_ACCESS_DENIED,
         ERROR_SUCCESS},
        {"KEY_SET_VALUE", KEY_SET_VALUE, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
         ERROR_ACCESS_DENIED},
        {"KEY_READ", KEY_READ, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_NO_MORE_ITEMS, ERROR_SUCCESS},
        {"KEY_ALL_ACCESS", KEY_ALL_ACCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_NO_MORE_ITEMS, ERROR_SUCCESS},
    };
    for (const RightsRow& row : rows) {
        Row check(runner, std::string("a handle opened with ") + row.name + " does what that allows");
        HKEY key = nullptr;
        check.number("open", RegOpenKeyExA(scratch.get(), "Sub", 0, row.access, &key), ERROR_SUCCESS);
        char name[8];
        DWORD length = sizeof(name);
        DWORD size = 0;
        check.number("RegSetValueExA",
                     RegSetValueExA(key, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("v"), 2), row.set);
        check.number("RegDeleteValueA", RegDeleteValueA(key, "Never"),
                     row.set == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : row.set);
        check.number("RegQueryValueExA", RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size),
                     row.query);
        check.number("RegEnumKeyExA",
                     RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), row.enum_keys);
        length = sizeof(name);
        check.number("RegEnumValueA",
                     RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
                     row.enum_values);
        RegCloseKey(key);
    }
    RegCloseKey(full);
}

// ---- Listings ------------------------------------------------------------------------------

void order_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Order");
    const HKEY top = scratch.get();
    {
        Row check(runner, "subkeys come sorted without regard to case");
        for (const char* name : {"b", "A", "c", "B2", "a1"}) {
            RegCloseKey(create(top, name));
        }
        check.bytes("subkeys", subkey_names(top), "A|a1|b|B2|c");
    }
    {
        Row check(runner, "subkeys sort by their upper-case form", wine_subkey_order);
        RegCloseKey(create(top, "_x"));
        check.bytes("subkeys", subkey_names(top), "A|a1|b|B2|c|_x");
    }
    {
        Row check(runner, "values come in the order they were created", wine_value_order);
        for (const char* name : {"A", "C", "D", "B"}) {
            set_text(top, name, "x");
        }
        check.bytes("values", value_names(top), "A|C|D|B");
    }
    {
        Row check(runner, "a value removed and set again comes last", wine_value_order);
        check.number("RegDeleteValueA", RegDeleteValueA(top, "C"), ERROR_SUCCESS);
        set_text(top, "C", "y");
        check.bytes("values", value_names(top), "A|D|B|C");
    }
    {
        Row check(runner, "RegDeleteValueA of a missing value");
        check.number("status", RegDeleteValueA(top, "C2"), ERROR_FILE_NOT_FOUND);
    }
}

void enum_key_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "EnumKeys");
    const HKEY top = scratch.get();
    RegCloseKey(create(top, "A"));
    RegCloseKey(create(top, "B2"));

    struct EnumKeyRow {
        DWORD index;
        DWORD capacity;  // of the name buffer
        LSTATUS status;
        DWORD length;           // the length variable afterwards
        std::string_view name;  // what the call wrote into the buffer
    };
    const EnumKeyRow rows[] = {
        {1, 3, ERROR_SUCCESS, 2, "B2\0"sv},  // exactly fits, the terminator included
        {1, 2000, ERROR_SUCCESS, 2, "B2\0"sv},
        {1, 2, ERROR_MORE_DATA, 2, {}},  // one short: nothing copied, the length as it was
        {1, 1, ERROR_MORE_DATA, 1, {}},
        {0, 2, ERROR_SUCCESS, 1, "A\0"sv},
        {2, 9, ERROR_NO_MORE_ITEMS, 9, {}},  // past the end: everything as it was
        {100, 9, ERROR_NO_MORE_ITEMS, 9, {}},
    };
    for (const EnumKeyRow& row : rows) {
        Row check(runner, "RegEnumKeyExA index " + std::to_string(row.index) + ", capacity " +
                              std::to_string(row.capacity));
        Buffer name(row.capacity);
        DWORD length = row.capacity;
        FILETIME written{};
        check.number("status",
                     RegEnumKeyExA(top, row.index, name.text(), &length, nullptr, nullptr, nullptr, &written),
                     row.status);
        check.number("length", length, row.length);
        check.bytes("name", name.contents(), name.after(row.name));
    }
}

void enum_value_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "EnumValues");
    const HKEY top = scratch.get();
    // Names in the order of their creation and of their spelling alike,
    // so that both orders of listing give the same indexes.
    set_bytes(top, "alpha", REG_SZ, "foobar\0"sv);
    set_bytes(top, "beta", REG_DWORD, "\x78\x56\x34\x12"sv);
    set_bytes(top, "gamma", REG_BINARY, "\xFF"sv);

    struct EnumValueRow {
        DWORD index;
        DWORD name_capacity;
        int data_capacity;  // -1: no data buffer (the size still asked for)
        LSTATUS status;
        DWORD name_length;  // afterwards
        std::string_view name;
        DWORD type;
        DWORD data_length;
        std::string_view data;
    };
    const EnumValueRow rows[] = {
        {0, 6, 7, ERROR_SUCCESS, 5, "alpha\0"sv, REG_SZ, 7, "foobar\0"sv},
        {0, 2000, -1, ERROR_SUCCESS, 5, "alpha\0"sv, REG_SZ, 7, {}},  // the listing's request: no data buffer
        {0, 6, 6, ERROR_MORE_DATA, 6, {}, REG_SZ, 7, {}},             // data one short: the size it needs
        {1, 5, 4, ERROR_SUCCESS, 4, "beta\0"sv, REG_DWORD, 4, "\x78\x56\x34\x12"sv},
        {1, 5, 3, ERROR_MORE_DATA, 5, {}, REG_DWORD, 4, {}},
        {2, 6, 1, ERROR_SUCCESS, 5, "gamma\0"sv, REG_BINARY, 1, "\xFF"sv},
        {3, 9, 9, ERROR_NO_MORE_ITEMS, 9, {}, no_type, 9, {}},  // past the end: everything as it was
        {3, 2000, -1, ERROR_NO_MORE_ITEMS, 2000, {}, no_type, 2000, {}},
    };
    for (const EnumValueRow& row : rows) {
        Row check(runner, "RegEnumValueA index " + std::to_string(row.index) + ", capacities " +
                              std::to_string(row.name_capacity) + "/" + std::to_string(row.data_capacity));
        Buffer name(row.name_capacity);
        Buffer data(row.data_capacity < 0 ? 0 : static_cast<std::size_t>(row.data_capacity));
        DWORD name_length = row.name_capacity;
        DWORD type = no_type;
        DWORD data_length = row.data_capacity < 0 ? 2000 : static_cast<DWORD>(row.data_capacity);
        check.number("status",
                     RegEnumValueA(top, row.index, name.text(), &name_length, nullptr, &type,
                                   row.data_capacity < 0 ? nullptr : data.data(), &data_length),
                     row.status);
        check.number("name length", name_length, row.name_length);
        check.number("type", type, row.type);
        check.number("data length", data_length, row.data_length);
        check.bytes("name", name.contents(), name.after(row.name));
        check.bytes("data", data.contents(), data.after(row.data));
    }
    {
        // The name one short: the call fails; the name arrives cut to the
        // buffer, its length variable stays, the type and size are reported.
        Row check(runner, "RegEnumValueA with the name one short");
        Buffer name(5);
        DWORD name_length = 5;
        DWORD type = no_type;
        DWORD data_length = 2000;
        check.number("status",
                     RegEnumValueA(top, 0, name.text(), &name_length, nullptr, &type, nullptr, &data_length),
                     ERROR_MORE_DATA);
        check.number("name length", name_length, 5);
        check.bytes("name", name.contents(), name.after("alph\0"sv));
        check.number("type", type, REG_SZ);
        check.number("data length", data_length, 7);
    }
}

// ---- Values ------------------------------------------------------------------------------------

void query_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Query");
    const HKEY top = scratch.get();
    set_bytes(top, "sz", REG_SZ, "text\0"sv);
    set_bytes(top, "empty", REG_SZ, "\0"sv);
    set_bytes(top, "raw", REG_SZ, "textX"sv.substr(0, 4));  // no terminator; the byte after it is not zero
    set_bytes(top, "nothing", REG_SZ, ""sv);                // no bytes at all
    set_bytes(top, "dword", REG_DWORD, "\x78\x56\x34\x12"sv);
    set_bytes(top, "bin", REG_BINARY, "\xFF"sv);
    set_bytes(top, "off", REG_BINARY, "\x00"sv);

    struct QueryRow {
        const char* name;
        int capacity;  // -1: no buffer
        LSTATUS status;
        DWORD type;
        DWORD size;  // afterwards
        std::string_view bytes;
    };
    const QueryRow rows[] = {
        {"sz", -1, ERROR_SUCCESS, REG_SZ, 5, {}},  // the size alone, the terminator counted
        {"sz", 5, ERROR_SUCCESS, REG_SZ, 5, "text\0"sv},
        {"sz", 2048, ERROR_SUCCESS, REG_SZ, 5, "text\0"sv},
        {"SZ", 5, ERROR_SUCCESS, REG_SZ, 5, "text\0"sv},  // names compare without regard to case
        {"sz", 4, ERROR_MORE_DATA, REG_SZ, 5, {}},        // one short: the size it needs
        {"sz", 0, ERROR_MORE_DATA, REG_SZ, 5, {}},
        {"empty", 1, ERROR_SUCCESS, REG_SZ, 1, "\0"sv},
        {"raw", -1, ERROR_SUCCESS, REG_SZ, 4, {}},  // stored as given: no terminator counted
        {"raw", 4, ERROR_SUCCESS, REG_SZ, 4, "text"sv},
        {"raw", 5, ERROR_SUCCESS, REG_SZ, 4, "text\0"sv},  // a terminator where there is room
        {"raw", 3, ERROR_MORE_DATA, REG_SZ, 4, {}},
        {"nothing", 4, ERROR_SUCCESS, REG_SZ, 0, {}},
        {"dword", 4, ERROR_SUCCESS, REG_DWORD, 4, "\x78\x56\x34\x12"sv},
        {"dword", 3, ERROR_MORE_DATA, REG_DWORD, 4, {}},
        {"dword", -1, ERROR_SUCCESS, REG_DWORD, 4, {}},
        {"bin", 1, ERROR_SUCCESS, REG_BINARY, 1, "\xFF"sv},
        {"off", 2048, ERROR_SUCCESS, REG_BINARY, 1, "\0"sv},
        {"bin", 0, ERROR_MORE_DATA, REG_BINARY, 1, {}},
        {"missing", 4, ERROR_FILE_NOT_FOUND, no_type, 4, {}},
        {"missing", -1, ERROR_FILE_NOT_FOUND, no_type, 0, {}},  // size 0 when only the size was asked
    };
    for (const QueryRow& row : rows) {
        Row check(runner,
                  "RegQueryValueExA " + describe(row.name) + ", capacity " + std::to_string(row.capacity));
        Buffer data(row.capacity < 0 ? 0 : static_cast<std::size_t>(row.capacity));
        DWORD type = no_type;
        DWORD size = row.capacity < 0 ? no_length : static_cast<DWORD>(row.capacity);
        check.number(
            "status",
            RegQueryValueExA(top, row.name, nullptr, &type, row.capacity < 0 ? nullptr : data.data(), &size),
            row.status);
        if (row.status != ERROR_FILE_NOT_FOUND) {  // the type of a missing value is not defined
            check.number("type", type, row.type);
        }
        check.number("size", size, row.size);
        check.bytes("data", data.contents(), data.after(row.bytes));
    }
}

// What RegSetValueExA stores, as RegQueryValueExA and RegEnumValueA read it back.
void set_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Set");
    const HKEY top = scratch.get();
    struct SetRow {
        const char* what;
        const char* name;
        DWORD type;
        std::string_view given;
        DWORD size;  // as read back
        std::string_view stored;
    };
    const SetRow rows[] = {
        {"REG_DWORD", "number", REG_DWORD, "\x20\x03\x00\x00"sv, 4, "\x20\x03\x00\x00"sv},
        {"REG_DWORD of -1", "minus", REG_DWORD, "\xFF\xFF\xFF\xFF"sv, 4, "\xFF\xFF\xFF\xFF"sv},
        {"REG_SZ with its terminator", "text", REG_SZ, "Hello\0"sv, 6, "Hello\0"sv},
        {"REG_SZ of the empty text", "none", REG_SZ, "\0"sv, 1, "\0"sv},
        {"REG_BINARY true", "yes", REG_BINARY, "\xFF"sv, 1, "\xFF"sv},
        {"REG_BINARY false", "no", REG_BINARY, "\x00"sv, 1, "\x00"sv},
        {"REG_SZ replaced by REG_DWORD", "text", REG_DWORD, "\x01\x00\x00\x00"sv, 4, "\x01\x00\x00\x00"sv},
    };
    for (const SetRow& row : rows) {
        Row check(runner, std::string("RegSetValueExA ") + row.what);
        check.number("status", set_bytes(top, row.name, row.type, row.given), ERROR_SUCCESS);
        Buffer data(2048);
        DWORD type = no_type;
        DWORD size = 2048;
        check.number("query status", RegQueryValueExA(top, row.name, nullptr, &type, data.data(), &size),
                     ERROR_SUCCESS);
        check.number("type", type, row.type);
        check.number("size", size, row.size);
        check.bytes("data", data.contents(), data.after(row.stored));
    }
    {
        // A text set without its terminator: what comes back.
        Row check(runner, "RegSetValueExA REG_SZ without a terminator");
        check.number("status", set_bytes(top, "raw", REG_SZ, "abcX"sv.substr(0, 3)), ERROR_SUCCESS);
        Buffer exact(3);
        DWORD size = 3;
        check.number("query exactly fitting",
                     RegQueryValueExA(top, "raw", nullptr, nullptr, exact.data(), &size), ERROR_SUCCESS);
        check.number("size", size, 3);
        check.bytes("data", exact.contents(), exact.after("abc"sv));
        Buffer roomy(9);
        size = 9;
        check.number("query with room", RegQueryValueExA(top, "raw", nullptr, nullptr, roomy.data(), &size),
                     ERROR_SUCCESS);
        check.number("size with room", size, 3);
        check.bytes("data with room", roomy.contents(), roomy.after("abc\0"sv));
    }
}

void unnamed_value_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Unnamed");
    const HKEY top = scratch.get();
    {
        Row check(runner, "the unnamed value: set by \"\", read by null");
        check.number("set", set_text(top, "", "by empty name"), ERROR_SUCCESS);
        check.bytes("read", text_of(top, nullptr), "by empty name");
    }
    {
        Row check(runner, "the unnamed value: set by null, read by \"\"");
        check.number("set", set_text(top, nullptr, "by null name"), ERROR_SUCCESS);
        check.bytes("read", text_of(top, ""), "by null name");
        check.bytes("values", value_names(top), "");
    }
    {
        Row check(runner, "the unnamed value is listed with an empty name");
        Buffer name(1);
        DWORD length = 1;
        check.number("status",
                     RegEnumValueA(top, 0, name.text(), &length, nullptr, nullptr, nullptr, nullptr),
                     ERROR_SUCCESS);
        check.number("length", length, 0);
        check.bytes("name", name.contents(), name.after("\0"sv));
    }
    {
        Row check(runner, "the unnamed value is removed by null, then missing for \"\"");
        check.number("by null", RegDeleteValueA(top, nullptr), ERROR_SUCCESS);
        check.number("by empty name", RegDeleteValueA(top, ""), ERROR_FILE_NOT_FOUND);
        Buffer data(4);
        DWORD size = 4;
        check.number("query", RegQueryValueExA(top, "", nullptr, nullptr, data.data(), &size),
                     ERROR_FILE_NOT_FOUND);
    }
}

// ---- Strings given without their terminator ---------------------------------------------

// Wine's string-termination test, which passes on Windows: a string whose
// size leaves out its terminator is stored with it when a zero follows the
// bytes given ("FullString" set with size 10 reads back with size 11), and as
// given when none follows (size 9: nine bytes, no terminator). Other types
// are stored as given.
void termination_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Termination");
    const HKEY top = scratch.get();
    struct TerminationRow {
        const char* what;
        DWORD type;
        std::string_view buffer;  // what the caller's memory holds
        DWORD size;               // the size given
        DWORD stored_size;
        std::string_view stored;
    };
    const TerminationRow rows[] = {
        {"REG_SZ one byte short, a zero after", REG_SZ, "FullString\0"sv, 10, 11, "FullString\0"sv},
        {"REG_SZ two bytes short", REG_SZ, "FullString\0"sv, 9, 9, "FullStrin"sv},
        {"REG_SZ of one character", REG_SZ, "a\0"sv, 1, 2, "a\0"sv},
        {"REG_EXPAND_SZ one byte short", REG_EXPAND_SZ, "%PATH%\0"sv, 6, 7, "%PATH%\0"sv},
        {"REG_MULTI_SZ one byte short", REG_MULTI_SZ, "a\0bc\0"sv, 4, 5, "a\0bc\0"sv},
        {"REG_BINARY with a zero after", REG_BINARY, "ab\0"sv, 2, 2, "ab"sv},
    };
    for (const TerminationRow& row : rows) {
        Row check(runner, std::string("RegSetValueExA ") + row.what);
        check.number(
            "set",
            RegSetValueExA(top, "v", 0, row.type, reinterpret_cast<const BYTE*>(row.buffer.data()), row.size),
            ERROR_SUCCESS);
        DWORD size = 0;
        check.number("size asked", RegQueryValueExA(top, "v", nullptr, nullptr, nullptr, &size),
                     ERROR_SUCCESS);
        check.number("size", size, row.stored_size);
        Buffer exact(row.stored_size);
        size = row.stored_size;
        check.number("read", RegQueryValueExA(top, "v", nullptr, nullptr, exact.data(), &size),
                     ERROR_SUCCESS);
        check.bytes("data", exact.contents(), exact.after(row.stored));
        if (row.stored_size > row.size) {
            // The size the caller gave no longer holds the value.
            Buffer given(row.size);
            size = row.size;
            check.number("read into the size given",
                         RegQueryValueExA(top, "v", nullptr, nullptr, given.data(), &size), ERROR_MORE_DATA);
            check.number("size needed", size, row.stored_size);
        }
    }
}

// ---- Volatile keys -----------------------------------------------------------------------

// REG_OPTION_VOLATILE: the key lasts until the system starts again (the
// native store tests show it gone then); a key below it must be volatile
// too (ERROR_CHILD_MUST_BE_VOLATILE), as Wine's test of volatile keys
// asserts and Windows passes.
void volatile_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Volatile");
    const HKEY top = scratch.get();
    HKEY vol = nullptr;
    {
        Row check(runner, "RegCreateKeyExA REG_OPTION_VOLATILE");
        DWORD disposition = no_type;
        check.number("status",
                     RegCreateKeyExA(top, "Vol", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                     &vol, &disposition),
                     ERROR_SUCCESS);
        check.number("disposition", disposition, REG_CREATED_NEW_KEY);
    }
    {
        Row check(runner, "a lasting key below a volatile one is refused");
        HKEY key = nullptr;
        check.number("below the handle",
                     RegCreateKeyExA(vol, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                     ERROR_CHILD_MUST_BE_VOLATILE);
        check.number("by a path through it",
                     RegCreateKeyExA(top, "Vol\\A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                     ERROR_CHILD_MUST_BE_VOLATILE);
        check.bytes("nothing was made", subkey_names(vol), "");
    }
    {
        Row check(runner, "a volatile key below a volatile one, then opened by a lasting request");
        HKEY key = nullptr;
        check.number("volatile",
                     RegCreateKeyExA(vol, "Sub", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                     &key, nullptr),
                     ERROR_SUCCESS);
        RegCloseKey(key);
        DWORD disposition = no_type;
        check.number("existing",
                     RegCreateKeyExA(vol, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
                     ERROR_SUCCESS);
        check.number("disposition", disposition, REG_OPENED_EXISTING_KEY);
        RegCloseKey(key);
    }
    {
        Row check(runner, "every key a volatile request makes is volatile");
        HKEY key = nullptr;
        check.number("two levels",
                     RegCreateKeyExA(top, "L1\\L2", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                     &key, nullptr),
                     ERROR_SUCCESS);
        RegCloseKey(key);
        check.number("a lasting key below the first",
                     RegCreateKeyExA(top, "L1\\L3", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                     ERROR_CHILD_MUST_BE_VOLATILE);
        check.bytes("listed like any other", subkey_names(top), "L1|Vol");
    }
    RegCloseKey(vol);
}

// ---- Depth -------------------------------------------------------------------------------

constexpr const char* wine_deep_tree =
    "Wine creates keys deeper than 512 levels below their root; the documentation (registry element size "
    "limits): a registry tree can be 512 levels deep";

// The documented limit: a tree 512 levels deep. The chain is made one level
// a call, so that no path is long.
void depth_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Deep");  // three levels below HKEY_CURRENT_USER
    HKEY key = nullptr;
    RegOpenKeyExA(scratch.get(), "", 0, KEY_ALL_ACCESS, &key);
    HKEY level_510 = nullptr;
    {
        Row check(runner, "a tree 512 levels deep");
        int refused = 0;
        for (int level = 4; level <= 512; ++level) {
            HKEY next = nullptr;
            if (RegCreateKeyExA(key, "d", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &next, nullptr) !=
                ERROR_SUCCESS) {
                ++refused;
                break;
            }
            if (level == 510) {
                RegOpenKeyExA(next, "", 0, KEY_ALL_ACCESS, &level_510);
            }
            RegCloseKey(key);
            key = next;
        }
        check.number("levels refused", refused, 0);
    }
    {
        Row check(runner, "a key 513 levels deep is refused", wine_deep_tree);
        HKEY deeper = nullptr;
        const LSTATUS status =
            RegCreateKeyExA(key, "d", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deeper, nullptr);
        check.number("status", status, ERROR_INVALID_PARAMETER);
        if (status == ERROR_SUCCESS) {
            RegCloseKey(deeper);
        }
        // Three levels at once from level 510: nothing of them is made.
        const LSTATUS three =
            RegCreateKeyExA(level_510, "a\\b\\c", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deeper, nullptr);
        check.number("three levels at once", three, ERROR_INVALID_PARAMETER);
        if (three == ERROR_SUCCESS) {
            RegCloseKey(deeper);
        }
        check.bytes("nothing made at level 511", subkey_names(level_510), "d");
    }
    RegCloseKey(level_510);
    RegCloseKey(key);
}

// ---- What the documentation leaves open ------------------------------------------------
//
// Each row says what decided it: an assertion of Wine's conformance tests
// (dlls/advapi32/tests/registry.c, dlls/ntdll/tests/reg.c), which pass on
// Windows, or, where they are silent, the stand-in's own choice, kept.

void open_point_rows(Runner& runner, HKEY base)
{
    const Scratch scratch(base, "Open points");
    const HKEY top = scratch.get();
    HKEY writer = nullptr;
    RegOpenKeyExA(top, "", 0, KEY_SET_VALUE, &writer);
    {
        Row check(runner, "RegQueryValueExA of a missing value leaves the type variable",
                  StandInChoice{
                      "Wine sets the type variable to 0 on a failing RegQueryValueExA; its tests look only "
                      "at the size after a failure (test_query_value_ex), and the stand-in leaves both"});
        Buffer data(8);
        DWORD type = no_type;
        DWORD size = 8;
        check.number("status", RegQueryValueExA(top, "missing", nullptr, &type, data.data(), &size),
                     ERROR_FILE_NOT_FOUND);
        check.number("type", type, no_type);
        check.number("size", size, 8);
    }
    {
        // Rights are checked before the value is looked for: status 5 (Wine's
        // test of a handle opened without KEY_QUERY_VALUE).
        Row check(runner, "RegQueryValueExA of a missing value through a handle that may not query");
        DWORD size = 8;
        check.number("status", RegQueryValueExA(writer, "missing", nullptr, nullptr, nullptr, &size),
                     ERROR_ACCESS_DENIED);
    }
    {
        Row check(
            runner, "RegQueryValueExA refused: the size variable stays",
            StandInChoice{"Wine sets the size to 0 on a refused RegQueryValueExA without a buffer; its tests "
                          "are silent, and the stand-in leaves the caller's variables"});
        DWORD type = no_type;
        DWORD size = 8;
        RegQueryValueExA(writer, "missing", nullptr, &type, nullptr, &size);
        check.number("type", type, no_type);
        check.number("size", size, 8);
    }
    {
        // Wine's test_deleted_key: ERROR_KEY_DELETED whatever the value.
        Row check(runner, "RegQueryValueExA of a missing value of a removed key");
        HKEY doomed = create(top, "Doomed");
        RegDeleteKeyA(top, "Doomed");
        DWORD size = 8;
        Buffer data(8);
        check.number("status", RegQueryValueExA(doomed, "missing", nullptr, nullptr, data.data(), &size),
                     ERROR_KEY_DELETED);
        {
            Row order(
                runner, "a removed key and a path starting with a backslash: the path is checked first",
                StandInChoice{"the stand-in refuses the path (ERROR_BAD_PATHNAME) before it looks at the "
                              "handle; Wine gives ERROR_KEY_DELETED (its tests are silent)"});
            HKEY key = no_key;
            order.number("RegOpenKeyExA", RegOpenKeyExA(doomed, "\\x", 0, KEY_READ, &key),
                         ERROR_BAD_PATHNAME);
            order.number(
                "RegCreateKeyExA",
                RegCreateKeyExA(doomed, "\\x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                ERROR_BAD_PATHNAME);
            order.number("RegDeleteKeyA", RegDeleteKeyA(doomed, "\\x"), ERROR_BAD_PATHNAME);
        }
        RegCloseKey(doomed);
    }
    {
        Row check(
            runner, "a failing RegCreateKeyExA leaves the handle variable",
            StandInChoice{"Wine sets the handle variable to null when RegCreateKeyExA fails; its tests check "
                          "that only of RegOpenKeyExA (which the stand-in does too)"});
        HKEY key = no_key;
        check.number("status",
                     RegCreateKeyExA(top, "\\Lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                     ERROR_BAD_PATHNAME);
        check.that("the handle variable as it was", key == no_key);
    }
    {
        Row check(runner,
                  "RegSetValueExA of no data with a size, on a null handle: the data is checked first",
                  StandInChoice{
                      "the stand-in answers ERROR_NOACCESS before it looks at the handle; Wine gives "
                      "ERROR_INVALID_HANDLE (its tests give no data with a size only on a valid handle)"});
        check.number("status", RegSetValueExA(nullptr, "v", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    }
    {
        // Value names hold at most 16,383 characters (the documentation);
        // past that NtSetValueKey gives STATUS_INVALID_PARAMETER on Windows
        // (Wine's test_long_value_name in dlls/ntdll/tests/reg.c), and a
        // query or removal of such a name finds nothing.
        Row check(runner, "value names of 16,383 and 16,384 characters");
        const std::string longest(16383, 'n');
        const std::string too_long(16384, 'n');
        check.number(
            "set 16,383",
            RegSetValueExA(top, longest.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
            ERROR_SUCCESS);
        check.number(
            "set 16,384",
            RegSetValueExA(top, too_long.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
            ERROR_INVALID_PARAMETER);
        DWORD size = 0;
        check.number("query 16,384",
                     RegQueryValueExA(top, too_long.c_str(), nullptr, nullptr, nullptr, &size),
                     ERROR_FILE_NOT_FOUND);
        check.number("delete 16,384", RegDeleteValueA(top, too_long.c_str()), ERROR_FILE_NOT_FOUND);
        RegDeleteValueA(top, longest.c_str());
    }
    {
        // Reserved arguments: the documentation says they must be zero.
        // RegCreateKeyExA's Reserved: Wine refuses it too.
        Row check(runner, "RegCreateKeyExA with Reserved 1");
        HKEY key = no_key;
        check.number("status",
                     RegCreateKeyExA(top, "r", 1, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                     ERROR_INVALID_PARAMETER);
    }
    {
        Row check(
            runner, "reserved and undocumented argument values are refused",
            StandInChoice{"the stand-in refuses ulOptions 1, RegSetValueExA's Reserved 1 and create options "
                          "0x100 (ERROR_INVALID_PARAMETER: the documentation says reserved values are zero); "
                          "Wine accepts them, and its tests are silent"});
        HKEY key = nullptr;
        check.number("RegOpenKeyExA ulOptions 1", RegOpenKeyExA(top, "", 1, KEY_READ, &key),
                     ERROR_INVALID_PARAMETER);
        if (key != nullptr) {
            RegCloseKey(key);
        }
        key = nullptr;
        check.number("RegCreateKeyExA options 0x100",
                     RegCreateKeyExA(top, "o", 0, nullptr, 0x100, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                     ERROR_INVALID_PARAMETER);
        if (key != nullptr) {
            RegCloseKey(key);
        }
        check.number("RegSetValueExA Reserved 1",
                     RegSetValueExA(top, "r", 1, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
                     ERROR_INVALID_PARAMETER);
    }
    {
        Row check(
            runner, "a key path of 300 characters",
            StandInChoice{"the stand-in takes paths of any length, each key name at most 255 characters; "
                          "Wine refuses paths over 260 characters with ERROR_MORE_DATA (its ANSI functions "
                          "convert them into a buffer of that size; its tests are silent)"});
        std::string path;
        for (int i = 0; i < 30; ++i) {
            path += "abcdefghi\\";
        }
        HKEY key = nullptr;
        check.number("RegOpenKeyExA", RegOpenKeyExA(top, path.c_str(), 0, KEY_READ, &key),
                     ERROR_FILE_NOT_FOUND);
        check.number(
            "RegCreateKeyExA",
            RegCreateKeyExA(top, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        if (key != nullptr) {
            RegCloseKey(key);
        }
    }
    {
        Row check(
            runner, "RegEnumValueA whose name does not fit copies no data",
            StandInChoice{"the stand-in copies no data when the name does not fit; Wine copies the data that "
                          "fits (Wine's test allows both, as Windows versions differ)"});
        const HKEY one = create(top, "One value");
        set_text(one, "Test", "foobar");
        Buffer name(3);
        Buffer data(16);
        DWORD name_length = 3;
        DWORD data_length = 16;
        DWORD type = no_type;
        check.number(
            "status",
            RegEnumValueA(one, 0, name.text(), &name_length, nullptr, &type, data.data(), &data_length),
            ERROR_MORE_DATA);
        RegCloseKey(one);
        check.number("data length", data_length, 7);
        check.bytes("data", data.contents(), data.after(""sv));
    }
    RegCloseKey(writer);
}

}  // namespace

void run_registry_rows(Runner& runner)
{
    runner.begin_group("registry");
    HKEY base = nullptr;
    {
        Row check(runner, "the suite's key is created");
        check.number("status",
                     RegCreateKeyExA(HKEY_CURRENT_USER, base_path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                     &base, nullptr),
                     ERROR_SUCCESS);
    }
    if (base == nullptr) {
        return;
    }
    open_rows(runner, base);
    create_rows(runner, base);
    case_rows(runner, base);
    delete_key_rows(runner, base);
    removed_key_rows(runner, base);
    closed_handle_rows(runner, base);
    rights_rows(runner, base);
    order_rows(runner, base);
    enum_key_rows(runner, base);
    enum_value_rows(runner, base);
    query_rows(runner, base);
    set_rows(runner, base);
    unnamed_value_rows(runner, base);
    termination_rows(runner, base);
    volatile_rows(runner, base);
    depth_rows(runner, base);
    open_point_rows(runner, base);

    delete_tree(base);
    RegCloseKey(base);
    Row check(runner, "the suite's key is removed, and nothing is left of it");
    check.number("RegDeleteKeyA", RegDeleteKeyA(HKEY_CURRENT_USER, base_path), ERROR_SUCCESS);
    HKEY gone = no_key;
    check.number("RegOpenKeyExA", RegOpenKeyExA(HKEY_CURRENT_USER, base_path, 0, KEY_READ, &gone),
                 ERROR_FILE_NOT_FOUND);
}

}  // namespace vh::conformance
