// Rows for the ANSI registry functions beyond what the platform conformance
// suite (tests/conformance) checks on both platforms: class texts, bad
// arguments, listings that change between steps, and the stand-in itself.
//
// Each case is a row: the call's arguments, the status it must return and
// what it must leave in every output. Buffers are filled with a sentinel
// before each call so that a row shows which bytes a call wrote and which it
// left, and sizes are tried at "exactly fits" and "one short". The rows use
// only the nine Windows functions, below HKEY_CURRENT_USER\Software\Vornhall
// Conformance, so that they can be built against the real advapi32 as well.
// Everything that needs the stand-in itself (refusals set on keys, the count
// of open handles, the store file) sits apart, in the last part of the file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include "tests/support/environment.h"
#include "tests/support/store_check.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char base_path[] = "Software\\Vornhall Conformance";
constexpr std::uint8_t sentinel = 0xBD;
constexpr DWORD no_type = 0xDEADBEEF;
const HKEY no_key = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0xBAD0));

// A buffer of `capacity` bytes filled with the sentinel, with a margin after
// it that shows any write past the capacity.
class Buffer {
public:
    explicit Buffer(std::size_t capacity) : m_bytes(capacity + 8, sentinel) {}
    char* text() { return reinterpret_cast<char*>(m_bytes.data()); }
    BYTE* data() { return m_bytes.data(); }
    // The buffer starts with `expected` and is the sentinel after it.
    bool holds(std::string_view expected) const
    {
        if (!expected.empty() && std::memcmp(m_bytes.data(), expected.data(), expected.size()) != 0) {
            return false;
        }
        for (std::size_t i = expected.size(); i < m_bytes.size(); ++i) {
            if (m_bytes[i] != sentinel) {
                return false;
            }
        }
        return true;
    }
    bool untouched() const { return holds({}); }

private:
    std::vector<std::uint8_t> m_bytes;
};

HKEY create(HKEY parent, const char* path, DWORD* disposition = nullptr)
{
    HKEY key = nullptr;
    const LSTATUS status =
        RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition);
    EXPECT_EQ(status, ERROR_SUCCESS) << path;
    return key;
}

void set_bytes(HKEY key, const char* name, DWORD type, std::string_view bytes)
{
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS)
        << name;
}

// A string value with its terminating zero.
void set_text(HKEY key, const char* name, const char* text)
{
    set_bytes(key, name, REG_SZ, std::string_view(text, std::strlen(text) + 1));
}

// The text of a REG_SZ value ("<status N>" when it cannot be read).
std::string text_of(HKEY key, const char* name)
{
    char buffer[256] = {};
    DWORD size = sizeof(buffer) - 1;
    const LSTATUS status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    return status == ERROR_SUCCESS ? std::string(buffer) : "<status " + std::to_string(status) + ">";
}

std::vector<std::string> subkey_names(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[300];
        DWORD length = sizeof(name);
        const LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, length);
    }
}

// Removes every subkey of a key, deepest first.
void delete_tree(HKEY key)
{
    char name[300];
    DWORD length = sizeof(name);
    while (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        HKEY child = nullptr;
        ASSERT_EQ(RegOpenKeyExA(key, name, 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
        delete_tree(child);
        RegCloseKey(child);
        ASSERT_EQ(RegDeleteKeyA(key, name), ERROR_SUCCESS) << name;
        length = sizeof(name);
    }
}

// The stand-in reads its store from the file this names; each test gets its own.
void use_store(const std::string& file)
{
    vh::test::set_environment("VORNHALL_REGISTRY", file.c_str());
}

class RegistryTest : public testing::Test {
protected:
    void SetUp() override
    {
        use_store(m_dir.file("registry.db"));
        m_base = create(HKEY_CURRENT_USER, base_path);
        ASSERT_NE(m_base, nullptr);
    }
    void TearDown() override
    {
        delete_tree(m_base);
        RegCloseKey(m_base);
        RegDeleteKeyA(HKEY_CURRENT_USER, base_path);
    }

    vh::test::TempDir m_dir;
    HKEY m_base = nullptr;
};

// ---- Opening ------------------------------------------------------------------------

TEST_F(RegistryTest, OpenOfPredefinedKeysAndBadArguments)
{
    HKEY key = no_key;
    // Documented for HKEY_CLASSES_ROOT with an empty path: the same value back.
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, HKEY_CLASSES_ROOT);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, base_path, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    key = no_key;
    EXPECT_EQ(RegOpenKeyExA(nullptr, "", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(key, no_key);  // a null parent leaves the variable alone
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
}

// ---- Listings -------------------------------------------------------------------------------

TEST_F(RegistryTest, ListingSeesChangesMadeBetweenSteps)
{
    RegCloseKey(create(m_base, "A"));
    RegCloseKey(create(m_base, "C"));
    char name[8];
    DWORD length = sizeof(name);
    ASSERT_EQ(RegEnumKeyExA(m_base, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "A");
    RegCloseKey(create(m_base, "B"));
    length = sizeof(name);
    ASSERT_EQ(RegEnumKeyExA(m_base, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "B");

    set_text(m_base, "one", "1");
    set_text(m_base, "two", "2");
    length = sizeof(name);
    ASSERT_EQ(RegEnumValueA(m_base, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "one");
    ASSERT_EQ(RegDeleteValueA(m_base, "one"), ERROR_SUCCESS);
    length = sizeof(name);
    EXPECT_EQ(RegEnumValueA(m_base, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, EnumKeyBuffersExactlyFittingOneShortAndPastTheEnd)
{
    RegCloseKey(create(m_base, "A"));
    HKEY classed = nullptr;
    char class_one[] = "1";
    ASSERT_EQ(RegCreateKeyExA(m_base, "B2", 0, class_one, 0, KEY_ALL_ACCESS, nullptr, &classed, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(classed);

    struct Row {
        DWORD index;
        DWORD capacity;        // of the name buffer
        DWORD class_capacity;  // 0: no class buffer
        LSTATUS status;
        DWORD length;           // the name length variable afterwards
        std::string_view name;  // the name buffer afterwards ("" when untouched)
        DWORD class_length;
        std::string_view class_bytes;
    };
    using namespace std::string_view_literals;
    const Row rows[] = {
        {1, 3, 0, ERROR_SUCCESS, 2, "B2\0"sv, 0, {}},  // exactly fits, terminator included
        {1, 2, 0, ERROR_MORE_DATA, 2, {}, 0, {}},      // one short: nothing copied, length kept
        {1, 0, 0, ERROR_MORE_DATA, 0, {}, 0, {}},        {1, 3, 2, ERROR_SUCCESS, 2, "B2\0"sv, 1, "1\0"sv},
        {1, 3, 1, ERROR_MORE_DATA, 3, {}, 1, {}},         // the class one short spoils the whole call
        {0, 2, 2, ERROR_SUCCESS, 1, "A\0"sv, 0, "\0"sv},  // no class: empty text
        {2, 9, 9, ERROR_NO_MORE_ITEMS, 9, {}, 9, {}},     // past the end: everything as it was
        {100, 9, 0, ERROR_NO_MORE_ITEMS, 9, {}, 0, {}},
    };
    for (const Row& row : rows) {
        Buffer name(row.capacity);
        Buffer class_text(row.class_capacity);
        DWORD length = row.capacity;
        DWORD class_length = row.class_capacity;
        const LSTATUS status = RegEnumKeyExA(m_base, row.index, name.text(), &length, nullptr,
                                             row.class_capacity != 0 ? class_text.text() : nullptr,
                                             row.class_capacity != 0 ? &class_length : nullptr, nullptr);
        SCOPED_TRACE(testing::Message() << "index " << row.index << ", capacity " << row.capacity);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(length, row.length);
        EXPECT_TRUE(name.holds(row.name));
        if (row.class_capacity != 0) {
            EXPECT_EQ(class_length, row.class_length);
            EXPECT_TRUE(class_text.holds(row.class_bytes));
        }
    }
}

TEST_F(RegistryTest, EnumValueBuffersExactlyFittingOneShortAndPastTheEnd)
{
    using namespace std::string_view_literals;
    set_bytes(m_base, "zeta", REG_SZ, "foobar\0"sv);
    set_bytes(m_base, "raw", REG_SZ, "abcX"sv.substr(0, 3));  // stored without its terminator
    set_bytes(m_base, "num", REG_DWORD, "\x78\x56\x34\x12"sv);

    struct Row {
        DWORD index;
        DWORD name_capacity;
        int data_capacity;  // -1: no data buffer
        LSTATUS status;
        DWORD name_length;  // afterwards
        std::string_view name;
        DWORD type;
        DWORD data_length;
        std::string_view data;
    };
    const Row rows[] = {
        {0, 5, 7, ERROR_SUCCESS, 4, "zeta\0"sv, REG_SZ, 7, "foobar\0"sv},
        {0, 5, -1, ERROR_SUCCESS, 4, "zeta\0"sv, REG_SZ, 7, {}},  // the size alone
        {0, 5, 6, ERROR_MORE_DATA, 5, {}, REG_SZ, 7, {}},         // data one short: the size it needs
        {0, 4, 7, ERROR_MORE_DATA, 4, {}, REG_SZ, 7, {}},         // name one short
        {0, 0, 7, ERROR_MORE_DATA, 0, {}, REG_SZ, 7, {}},
        {1, 4, 3, ERROR_SUCCESS, 3, "raw\0"sv, REG_SZ, 3, "abc"sv},
        {1, 4, 9, ERROR_SUCCESS, 3, "raw\0"sv, REG_SZ, 3, "abc\0"sv},  // a terminator where there is room
        {2, 4, 4, ERROR_SUCCESS, 3, "num\0"sv, REG_DWORD, 4, "\x78\x56\x34\x12"sv},
        {3, 9, 9, ERROR_NO_MORE_ITEMS, 9, {}, no_type, 9, {}},
    };
    for (const Row& row : rows) {
        Buffer name(row.name_capacity);
        Buffer data(row.data_capacity < 0 ? 0 : static_cast<std::size_t>(row.data_capacity));
        DWORD name_length = row.name_capacity;
        DWORD type = no_type;
        DWORD data_length = row.data_capacity < 0 ? 99 : static_cast<DWORD>(row.data_capacity);
        const LSTATUS status = RegEnumValueA(m_base, row.index, name.text(), &name_length, nullptr, &type,
                                             row.data_capacity < 0 ? nullptr : data.data(), &data_length);
        SCOPED_TRACE(testing::Message() << "index " << row.index << ", capacities " << row.name_capacity
                                        << "/" << row.data_capacity);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(name_length, row.name_length);
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(data_length, row.data_length);
        if (status == ERROR_MORE_DATA && row.name_length < 5) {
            // A name one short: nothing copied here; Windows may copy the
            // name cut to fit, and the data. Nothing may pass the capacities.
            const std::string cut = std::string("zeta").substr(0, row.name_length ? row.name_length - 1 : 0);
            EXPECT_TRUE(name.untouched() || (row.name_length != 0 && name.holds(cut + '\0')));
            EXPECT_TRUE(data.untouched() || data.holds("foobar\0"sv));
        } else {
            EXPECT_TRUE(name.holds(row.name));
            EXPECT_TRUE(data.holds(row.data));
        }
    }
}

// ---- Values -----------------------------------------------------------------------------------

TEST_F(RegistryTest, BadArgumentsToValueFunctions)
{
    DWORD reserved = 0;
    DWORD size = 4;
    BYTE data[4] = {};
    char name[8];
    DWORD length = sizeof(name);
    EXPECT_EQ(RegQueryValueExA(m_base, "V", nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(m_base, "V", &reserved, nullptr, data, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueA(m_base, 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueA(m_base, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(m_base, "V", 0, REG_DWORD, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegSetValueExA(m_base, "V", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);  // empty data is data
    EXPECT_EQ(RegQueryValueExA(m_base, "V", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
}

// Data of the largest size a call can give, of a string whose terminator
// was left out: the size must not wrap round to an empty value stored with
// success. The pages are reserved, never touched but the last.
TEST_F(RegistryTest, StringDataOfTheLargestSizeIsNotStoredEmpty)
{
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t length = std::size_t{0xFFFFFFFF} + page;
    void* reserved =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    auto* data = static_cast<BYTE*>(reserved);
    data[0xFFFFFFFE] = 'a';
    EXPECT_NE(RegSetValueExA(m_base, "Huge", 0, REG_SZ, data, 0xFFFFFFFF), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(m_base, "Huge", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    munmap(reserved, length);
}

TEST_F(RegistryTest, AHandleKeepsTheRightsItWasOpenedWith)
{
    RegCloseKey(create(m_base, "Sub"));
    struct Row {
        REGSAM access;
        LSTATUS set, query, enum_keys, enum_values;
    };
    const Row rows[] = {
        {KEY_QUERY_VALUE, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_SUCCESS},
        {KEY_SET_VALUE, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {KEY_ENUMERATE_SUB_KEYS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_NO_MORE_ITEMS,
         ERROR_ACCESS_DENIED},
        {KEY_READ, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_NO_MORE_ITEMS, ERROR_SUCCESS},
    };
    const HKEY full = create(m_base, "Sub");
    set_text(full, "V", "v");
    for (const Row& row : rows) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(m_base, "Sub", 0, row.access, &key), ERROR_SUCCESS);
        char name[8];
        DWORD length = sizeof(name);
        DWORD size = 0;
        SCOPED_TRACE(testing::Message() << "access " << std::hex << row.access);
        EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("v"), 2), row.set);
        EXPECT_EQ(RegDeleteValueA(key, "Never"), row.set == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : row.set);
        EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), row.query);
        EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), row.enum_keys);
        length = sizeof(name);
        EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), row.enum_values);
        // Creating and deleting subkeys look at the key, not at the handle.
        HKEY child = nullptr;
        EXPECT_EQ(RegCreateKeyExA(key, "Child", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(child);
        EXPECT_EQ(RegDeleteKeyA(key, "Child"), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    RegCloseKey(full);
}

// ---- The stand-in itself ------------------------------------------------------------------------
//
// Refusals set on keys, the count of open handles and the store file exist
// only here; these cases do not run against Windows.

TEST_F(RegistryTest, RefusalsDecideWhichOpensSucceed)
{
    struct Row {
        DWORD denied;
        REGSAM access;
        LSTATUS status;
    };
    const Row rows[] = {
        {VH_KEY_DENY_READ, KEY_READ, ERROR_ACCESS_DENIED},
        {VH_KEY_DENY_READ, KEY_NOTIFY, ERROR_ACCESS_DENIED},
        {VH_KEY_DENY_READ, KEY_ALL_ACCESS, ERROR_ACCESS_DENIED},
        {VH_KEY_DENY_READ, KEY_SET_VALUE, ERROR_SUCCESS},
        {VH_KEY_DENY_WRITE, KEY_READ, ERROR_SUCCESS},
        {VH_KEY_DENY_WRITE, KEY_CREATE_LINK, ERROR_ACCESS_DENIED},
        {VH_KEY_DENY_WRITE, KEY_WRITE, ERROR_ACCESS_DENIED},
        {VH_KEY_DENY_WRITE, KEY_ALL_ACCESS, ERROR_ACCESS_DENIED},
        {VH_KEY_DENY_READ | VH_KEY_DENY_WRITE, 0, ERROR_SUCCESS},
        {0, KEY_ALL_ACCESS, ERROR_SUCCESS},
    };
    RegCloseKey(create(m_base, "Locked"));
    for (const Row& row : rows) {
        ASSERT_EQ(VhRegSetKeyAccess(m_base, "Locked", row.denied), ERROR_SUCCESS);
        DWORD denied = no_type;
        EXPECT_EQ(VhRegGetKeyAccess(m_base, "locked", &denied), ERROR_SUCCESS);
        EXPECT_EQ(denied, row.denied);
        SCOPED_TRACE(testing::Message() << "denied " << row.denied << ", access " << std::hex << row.access);
        const DWORD before = VhRegOpenHandleCount();
        HKEY key = no_key;
        EXPECT_EQ(RegOpenKeyExA(m_base, "Locked", 0, row.access, &key), row.status);
        RegCloseKey(key);
        key = no_key;
        EXPECT_EQ(RegCreateKeyExA(m_base, "Locked", 0, nullptr, 0, row.access, nullptr, &key, nullptr),
                  row.status);
        RegCloseKey(key);
        EXPECT_EQ(VhRegOpenHandleCount(), before);  // a refused open leaves no handle
    }
    EXPECT_EQ(VhRegSetKeyAccess(m_base, "Locked", 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(VhRegSetKeyAccess(m_base, "Missing", 0), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, AKeyThatRefusesWritingKeepsItsSubkeys)
{
    RegCloseKey(create(m_base, "Locked\\Inner"));
    ASSERT_EQ(VhRegSetKeyAccess(m_base, "Locked", VH_KEY_DENY_WRITE), ERROR_SUCCESS);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(m_base, "Locked\\New\\Deeper", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(m_base, "Locked\\New", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    // Deleting asks the key itself, not its parent.
    EXPECT_EQ(RegDeleteKeyA(m_base, "Locked\\Inner"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(m_base, "Locked"), ERROR_ACCESS_DENIED);
    ASSERT_EQ(VhRegSetKeyAccess(m_base, "Locked", 0), ERROR_SUCCESS);

    // The predefined keys carry what their key allows.
    ASSERT_EQ(VhRegSetKeyAccess(HKEY_USERS, "", VH_KEY_DENY_READ), ERROR_SUCCESS);
    char name[8];
    DWORD length = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(HKEY_USERS, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(VhRegSetKeyAccess(HKEY_USERS, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_USERS, ""), ERROR_ACCESS_DENIED);  // a root cannot go
}

TEST_F(RegistryTest, HandleCountAndPredefinedKeysWithoutAPath)
{
    const DWORD before = VhRegOpenHandleCount();
    struct Row {
        HKEY root;
        const char* path;
        bool same;  // the predefined value itself comes back, as documented
    };
    const Row rows[] = {
        {HKEY_CLASSES_ROOT, "", true},    {HKEY_CLASSES_ROOT, nullptr, false},
        {HKEY_CURRENT_USER, "", false},   {HKEY_CURRENT_USER, nullptr, true},
        {HKEY_CLASSES_ROOT, "\\", false},  // one leading "\" is allowed below HKEY_CLASSES_ROOT
    };
    for (const Row& row : rows) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(row.root, row.path, 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(key == row.root, row.same);
        EXPECT_EQ(VhRegOpenHandleCount(), before + (row.same ? 0 : 1));
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        EXPECT_EQ(VhRegOpenHandleCount(), before);
    }
    const HKEY bad = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000004));  // not one of the four
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(bad, "Software", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, NamesInTheUtf8CodePageFoldBeyondAscii)
{
    RegCloseKey(create(m_base, "\xC3\x84rger"));  // "Ärger"
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(m_base, "\xC3\xA4RGER", 0, KEY_READ, &key), ERROR_SUCCESS);  // "äRGER"
    RegCloseKey(key);
    RegCloseKey(create(m_base, "Zebra"));
    // Folded to upper case, U+00C4 sorts after every ASCII letter.
    EXPECT_EQ(subkey_names(m_base), (std::vector<std::string>{"Zebra", "\xC3\x84rger"}));
}

TEST_F(RegistryTest, ThreadsShareTheHandleTable)
{
    const DWORD before = VhRegOpenHandleCount();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t, &failures] {
            for (int i = 0; i < 50; ++i) {
                const std::string path = "T" + std::to_string(t) + "\\K" + std::to_string(i);
                HKEY key = nullptr;
                if (RegCreateKeyExA(m_base, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr) != ERROR_SUCCESS ||
                    RegSetValueExA(key, "V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4) !=
                        ERROR_SUCCESS ||
                    RegCloseKey(key) != ERROR_SUCCESS) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(VhRegOpenHandleCount(), before);
    for (int t = 0; t < 4; ++t) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(m_base, ("T" + std::to_string(t)).c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(subkey_names(key).size(), 50u);
        RegCloseKey(key);
    }
}

// The store file: which one is used, and what happens when it cannot be used.
class RegistryStoreTest : public testing::Test {
protected:
    void TearDown() override
    {
        if (m_home) {
            vh::test::set_environment("HOME", m_home->c_str());
        }
        vh::test::unset_environment("XDG_DATA_HOME");
    }
    // Runs SQL on a store file directly.
    static void run_sql(const std::string& file, const char* sql)
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    static std::string pragma(const std::string& file, const char* sql)
    {
        sqlite3* db = nullptr;
        sqlite3_stmt* stmt = nullptr;
        std::string answer;
        if (sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
            sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            answer = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return answer;
    }

    vh::test::TempDir m_dir;
    std::optional<std::string> m_home =
        std::getenv("HOME") ? std::optional<std::string>(std::getenv("HOME")) : std::nullopt;
};

TEST_F(RegistryStoreTest, ChangesPersistAndStoresSwitchWithTheEnvironment)
{
    const std::string first = m_dir.file("first.db");
    use_store(first);
    const HKEY key = create(HKEY_CURRENT_USER, "Kept");
    set_text(key, "V", "first");

    use_store(m_dir.file("second.db"));
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_READ, &other), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text_of(key, "V"), "<status 6>");  // a handle into the previous store

    use_store(first);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_READ, &other), ERROR_SUCCESS);
    EXPECT_EQ(text_of(other, "V"), "first");
    RegCloseKey(other);
    EXPECT_EQ(pragma(first, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(vh::test::store_integrity(first), "ok");
}

TEST_F(RegistryStoreTest, DefaultPlaceFollowsXdgDataHomeThenHome)
{
    vh::test::unset_environment("VORNHALL_REGISTRY");
    vh::test::set_environment("XDG_DATA_HOME", m_dir.file("data").c_str());
    RegCloseKey(create(HKEY_CURRENT_USER, "X"));
    EXPECT_TRUE(std::filesystem::exists(m_dir.path() / "data" / "vornhall" / "registry.db"));

    vh::test::unset_environment("XDG_DATA_HOME");
    vh::test::set_environment("HOME", m_dir.file("home").c_str());
    RegCloseKey(create(HKEY_CURRENT_USER, "X"));
    EXPECT_TRUE(
        std::filesystem::exists(m_dir.path() / "home" / ".local" / "share" / "vornhall" / "registry.db"));
}

TEST_F(RegistryStoreTest, AStoreThatCannotBeUsedFailsEveryCall)
{
    const std::string newer = m_dir.file("newer.db");
    run_sql(newer, "CREATE TABLE future(x); PRAGMA user_version = 99;");
    const std::string garbage = m_dir.file("garbage.db");
    vh::test::write_file(garbage, std::string(4096, 'x'));

    struct Row {
        std::string file;
        LSTATUS status;
    };
    const Row rows[] = {
        {newer, ERROR_BADDB},  // written by a newer release: refused, never misread
        {garbage, ERROR_BADDB},
        {m_dir.file("no/such/folder/registry.db"), ERROR_CANTOPEN},
        {m_dir.path().string(), ERROR_CANTOPEN},  // a folder
    };
    for (const Row& row : rows) {
        use_store(row.file);
        SCOPED_TRACE(row.file);
        HKEY key = nullptr;
        DWORD size = 0;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), row.status);
        EXPECT_EQ(
            RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            row.status);
        EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "V", nullptr, nullptr, nullptr, &size), row.status);
        EXPECT_EQ(
            RegSetValueExA(HKEY_CURRENT_USER, "V", 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
            row.status);
    }
    EXPECT_EQ(pragma(newer, "PRAGMA user_version"), "99");
}

// The store is its user's alone, as the current user's hive is, whatever
// the umask: the folder it is made in 0700, the file and the log and shared
// memory SQLite keeps beside it 0600. A store others could read (as the first
// release left them) is made private when opened; one its owner shared for
// writing keeps its mode, and SQLite gives its side files the same.
TEST_F(RegistryStoreTest, TheStoreIsPrivateToItsUserWhateverTheUmask)
{
    vh::test::unset_environment("VORNHALL_REGISTRY");
    const auto mode_of = [](const std::filesystem::path& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
    };
    const mode_t before = umask(0);
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        umask(mask);
        const std::filesystem::path data = m_dir.path() / ("data" + std::to_string(mask));
        vh::test::set_environment("XDG_DATA_HOME", data.c_str());
        const HKEY key = create(HKEY_CURRENT_USER, "Private");
        set_text(key, "V", "secret");
        RegCloseKey(key);
        SCOPED_TRACE(mask);
        EXPECT_EQ(mode_of(data / "vornhall"), 0700);
        for (const char* file : {"registry.db", "registry.db-wal", "registry.db-shm"}) {
            EXPECT_EQ(mode_of(data / "vornhall" / file), 0600) << file;
        }
    }
    umask(before);

    // As the first release made them: opened, they become private.
    const std::filesystem::path old = m_dir.path() / "old" / "vornhall";
    std::filesystem::create_directories(old);
    vh::test::set_environment("XDG_DATA_HOME", (m_dir.path() / "old").c_str());
    RegCloseKey(create(HKEY_CURRENT_USER, "Made"));
    use_store(m_dir.file("elsewhere.db"));  // closes the old one
    RegCloseKey(create(HKEY_CURRENT_USER, "Other"));
    ASSERT_EQ(chmod(old.c_str(), 0755), 0);
    ASSERT_EQ(chmod((old / "registry.db").c_str(), 0644), 0);
    vh::test::unset_environment("VORNHALL_REGISTRY");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Made", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(mode_of(old), 0700);
    EXPECT_EQ(mode_of(old / "registry.db"), 0600);

    // Shared for writing on purpose: kept, side files alike.
    const std::string shared = m_dir.file("shared.db");
    vh::test::write_file(shared, "");
    ASSERT_EQ(chmod(shared.c_str(), 0660), 0);
    use_store(shared);
    RegCloseKey(create(HKEY_CURRENT_USER, "Team"));
    EXPECT_EQ(mode_of(shared), 0660);
    EXPECT_EQ(mode_of(shared + "-shm"), 0660);
}

// Only an empty file, a store, or a store of the first release is used;
// any other file, another program's database above all, is refused with
// ERROR_BADDB before anything in it changes, and no file is left beside it.
TEST_F(RegistryStoreTest, AFileThatIsNotAStoreIsRefusedAndLeftAsItWas)
{
    const std::string rollback = m_dir.file("notes.sqlite");
    run_sql(rollback, "CREATE TABLE notes(text); INSERT INTO notes VALUES ('keep me');");
    const std::string wal = m_dir.file("history.sqlite");
    run_sql(wal, "PRAGMA journal_mode = WAL; CREATE TABLE visits(url); INSERT INTO visits VALUES ('x');");
    const std::string marked = m_dir.file("marked.sqlite");
    run_sql(marked, "PRAGMA application_id = 1234; CREATE TABLE t(x);");
    // Our identifier, but not our tables: still not a store, still in rollback mode afterwards.
    const std::string lookalike = m_dir.file("lookalike.sqlite");
    run_sql(lookalike, "PRAGMA application_id = 1449677415; CREATE TABLE t(x);");
    const std::string text = m_dir.file("settings.ini");
    vh::test::write_file(text, "[Section]\nkey=value\n");
    const std::string short_file = m_dir.file("short.db");
    vh::test::write_file(short_file, "x");
    // Another program's database whose latest changes are still in its log.
    const std::string hot = m_dir.file("hot.sqlite");
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(hot.c_str(), &db), SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        EXPECT_EQ(sqlite3_exec(db, "PRAGMA journal_mode = WAL; CREATE TABLE t(x); INSERT INTO t VALUES (1);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_TRUE(std::filesystem::exists(hot + "-wal"));
    for (const std::string& file : {rollback, wal, marked, lookalike, text, short_file, hot}) {
        SCOPED_TRACE(file);
        std::vector<std::string> before;
        std::vector<std::filesystem::perms> modes;
        for (const char* side : {"", "-wal", "-shm", "-journal", "-changes"}) {
            before.push_back(std::filesystem::exists(file + side) ? vh::test::read_file(file + side)
                                                                  : "<none>");
            modes.push_back(std::filesystem::status(file + side).permissions());
        }
        use_store(file);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_BADDB);
        EXPECT_EQ(
            RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_BADDB);
        use_store(m_dir.file("elsewhere.db"));  // lets go of the file
        RegCloseKey(create(HKEY_CURRENT_USER, "Other"));
        // (The shared memory holds no data: any reader of a database rebuilds it.)
        std::size_t i = 0;
        for (const std::string side : {"", "-wal", "-shm", "-journal", "-changes"}) {
            const std::string now =
                std::filesystem::exists(file + side) ? vh::test::read_file(file + side) : "<none>";
            EXPECT_TRUE(side == "-shm" ? (now == "<none>") == (before[i] == "<none>") : now == before[i])
                << "bytes of " << file << side;
            EXPECT_EQ(std::filesystem::status(file + side).permissions(), modes[i])
                << "mode of " << file << side;
            ++i;
        }
    }
    EXPECT_EQ(pragma(lookalike, "PRAGMA journal_mode"), "delete");
    EXPECT_EQ(pragma(wal, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(pragma(rollback, "PRAGMA journal_mode"), "delete");
    EXPECT_EQ(pragma(rollback, "SELECT group_concat(name) FROM sqlite_master"), "notes");

    // An empty file becomes a store.
    const std::string empty = m_dir.file("empty.db");
    vh::test::write_file(empty, "");
    use_store(empty);
    RegCloseKey(create(HKEY_CURRENT_USER, "Made"));
    EXPECT_EQ(pragma(empty, "PRAGMA application_id"), "1449677415");
}

// A store file removed and made anew may get the inode number of the old
// one: handles opened on the old store must not reach the new store's keys.
TEST_F(RegistryStoreTest, HandlesOfAStoreMadeAnewAreStale)
{
    const std::string file = m_dir.file("again.db");
    use_store(file);
    const HKEY old = create(HKEY_CURRENT_USER, "App");
    for (const char* side : {"", "-wal", "-shm"}) {
        std::filesystem::remove(file + side);
    }
    const HKEY made = create(HKEY_CURRENT_USER, "Bank");
    EXPECT_EQ(RegSetValueExA(old, "v", 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
              ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(made, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(old);
    RegCloseKey(made);
}

// A log or shared memory beside the store that someone else could have put
// there (another user's, writable by others, a link) is never used: the
// store is refused and nothing is written into it.
TEST_F(RegistryStoreTest, SideFilesSomeoneElseCouldHavePlacedAreRefused)
{
    const std::string file = m_dir.file("planted.db");
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked);
        vh::test::write_file(file, "");
        const std::string log = file + "-wal";
        if (linked) {
            ASSERT_EQ(symlink(m_dir.file("elsewhere").c_str(), log.c_str()), 0);
        } else {
            vh::test::write_file(log, "");
            if (geteuid() != 0) {
                GTEST_SKIP() << "giving a file to another user needs root";
            }
            ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
            ASSERT_EQ(chmod(log.c_str(), 0666), 0);
        }
        use_store(file);
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Secret", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_CANTOPEN);
        use_store(m_dir.file("elsewhere.db"));
        EXPECT_EQ(vh::test::read_file(file), "");
        std::filesystem::remove(log);
    }
}

// A store as the first release made it, less its version: the schema, the
// four roots, and a key "Old" holding the text value "V" = "kept".
constexpr const char* first_release_store = R"sql(
    PRAGMA journal_mode = WAL;
    CREATE TABLE keys (id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER REFERENCES keys(id),
        name BLOB NOT NULL, folded BLOB NOT NULL, class BLOB, denied INTEGER NOT NULL DEFAULT 0,
        version INTEGER NOT NULL DEFAULT 0, written INTEGER NOT NULL DEFAULT 0);
    CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded);
    CREATE TABLE vals (key INTEGER NOT NULL REFERENCES keys(id), folded BLOB NOT NULL, name BLOB NOT NULL,
        seq INTEGER NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (key, folded))
        WITHOUT ROWID;
    CREATE UNIQUE INDEX vals_in_order ON vals(key, seq);
    INSERT INTO keys(id, parent, name, folded) VALUES
        (1, NULL, CAST('HKEY_CLASSES_ROOT' AS BLOB), x''), (2, NULL, CAST('HKEY_CURRENT_USER' AS BLOB), x''),
        (3, NULL, CAST('HKEY_LOCAL_MACHINE' AS BLOB), x''), (4, NULL, CAST('HKEY_USERS' AS BLOB), x'');
    INSERT INTO keys(id, parent, name, folded) VALUES (5, 2, x'4f006c006400', x'004f004c0044');
    INSERT INTO vals VALUES (5, x'0056', x'5600', 1, 1, CAST('kept' || char(0) AS BLOB));
)sql";

// A store of the first release (its schema, version 1, no application
// identifier) is taken over as it is, with every key and value, and marked.
TEST_F(RegistryStoreTest, AStoreOfTheFirstReleaseIsTakenOver)
{
    const std::string file = m_dir.file("first.db");
    run_sql(file, (std::string(first_release_store) + "PRAGMA user_version = 1;").c_str());
    vh::test::write_file(file + "-changes", std::string(4096, '\0'));
    // Left as a process of the first release leaves it: a log beside it, all readable by others.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        EXPECT_EQ(sqlite3_exec(db, "UPDATE keys SET written = 1 WHERE id = 5", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    for (const char* side : {"", "-wal", "-shm"}) {
        chmod((file + side).c_str(), 0644);
    }
    // Reached through a symbolic link: the files beside the store itself are the ones that count.
    const std::string link = m_dir.file("link.db");
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    use_store(link);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "old", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(text_of(key, "v"), "kept");
    RegCloseKey(key);
    EXPECT_EQ(pragma(file, "PRAGMA user_version"), "2");
    EXPECT_EQ(pragma(file, "PRAGMA application_id"), "1449677415");
    EXPECT_FALSE(std::filesystem::exists(file + "-changes"));
    for (const char* side : {"", "-wal", "-shm"}) {
        EXPECT_EQ(std::filesystem::status(file + side).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << side;
    }
}

// A store of schema version 2 as the release before volatile keys made it:
// opened, it gets their columns and keeps every key and value, and a
// process of that release, which does not know the columns, can still use it.
TEST_F(RegistryStoreTest, AVersionTwoStoreMadeBeforeVolatileKeysGetsTheirColumns)
{
    const std::string file = m_dir.file("second.db");
    run_sql(file, (std::string(first_release_store) +
                   "PRAGMA application_id = 1449677415; CREATE TABLE store (serial INTEGER NOT NULL);"
                   "INSERT INTO store VALUES (7); PRAGMA user_version = 2;")
                      .c_str());
    use_store(file);
    HKEY old = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "old", 0, KEY_READ, &old), ERROR_SUCCESS);
    EXPECT_EQ(text_of(old, "v"), "kept");
    RegCloseKey(old);
    HKEY session = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Session", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &session, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(session);
    EXPECT_EQ(pragma(file, "PRAGMA user_version"), "2");
    EXPECT_EQ(pragma(file, "SELECT count(*) FROM keys WHERE boot IS NOT NULL"), "1");
    EXPECT_EQ(pragma(file, "SELECT serial FROM store"), "7");
    // What that release's statements do still works.
    run_sql(file,
            "INSERT INTO keys(parent, name, folded, class, written) VALUES (2, x'4e00', x'004e', NULL, 1);");
    EXPECT_EQ(vh::test::store_integrity(file), "ok");
}

// A volatile key made in an earlier start of the system is gone, with
// everything below it, when a store is opened in this one; lasting keys
// stay, and a handle to the gone key reports it removed.
TEST_F(RegistryStoreTest, VolatileKeysEndWithTheStartOfTheSystem)
{
    const std::string file = m_dir.file("volatile.db");
    use_store(file);
    const HKEY parent = create(HKEY_CURRENT_USER, "App");
    HKEY session = nullptr;
    ASSERT_EQ(RegCreateKeyExA(parent, "Session\\Inner", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &session, nullptr),
              ERROR_SUCCESS);
    set_text(session, "V", "this start");
    RegCloseKey(create(parent, "Kept"));
    EXPECT_EQ(subkey_names(parent), (std::vector<std::string>{"Kept", "Session"}));

    // The store opened anew, as a process started now opens it (the second
    // registry state of this process); this process's handles stay.
    const auto open_anew = [&] {
        ASSERT_EQ(VhRegSelectState(1), ERROR_SUCCESS);
        for (const std::string& place : {m_dir.file("elsewhere.db"), file}) {
            use_store(place);
            HKEY root = nullptr;
            EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &root), ERROR_SUCCESS);
            RegCloseKey(root);
        }
        ASSERT_EQ(VhRegSelectState(0), ERROR_SUCCESS);
    };
    // In the same start of the system, nothing changes.
    open_anew();
    EXPECT_EQ(text_of(session, "V"), "this start");

    // As if the system had started again since the keys were made.
    run_sql(file,
            "UPDATE keys SET boot = CAST('an earlier start' AS BLOB) WHERE boot IS NOT NULL;"
            "UPDATE store SET volatile_boot = CAST('an earlier start' AS BLOB);");
    open_anew();
    EXPECT_EQ(subkey_names(parent), (std::vector<std::string>{"Kept"}));
    EXPECT_EQ(text_of(session, "V"), "<status 1018>");
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExA(parent, "Session", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(pragma(file, "SELECT count(*) FROM keys WHERE boot IS NOT NULL"), "0");
    EXPECT_EQ(pragma(file, "SELECT count(*) FROM vals"), "0");
    EXPECT_EQ(pragma(file, "SELECT volatile_boot IS NULL FROM store"), "1");
    EXPECT_EQ(vh::test::store_integrity(file), "ok");
    RegCloseKey(session);
    RegCloseKey(parent);
}

}  // namespace
