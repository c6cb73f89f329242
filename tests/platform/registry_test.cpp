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
// of open handles) sits apart, in the last part of the file; the store file
// has cases of its own (registry_store_test.cpp).
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "tests/platform/registry_test_support.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace vh::test;

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
// Refusals set on keys and the count of open handles exist only here; these
// cases do not run against Windows.

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

}  // namespace
