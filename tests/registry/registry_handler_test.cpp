// RegistryHandler through its table of operations, on a private tree of
// the current user's keys. The registry calls of the members are watched on
// their way to the system's functions (tests/support/private_registry.h).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "automation/interfaces.h"
#include "registry/registry_handler.h"
#include "registry/registry_interface.h"
#include "tests/support/private_registry.h"

namespace vh {
namespace {

constexpr HKEYS user = HKEYS::current_user;

class RegistryHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry = make_registry_handler();
        test::reset_registry_calls();
        keys_before = test::open_key_count();
    }

    void TearDown() override { EXPECT_EQ(test::open_key_count(), keys_before) << "a member left a key open"; }

    static HKEY root() { return HKEY_CURRENT_USER; }

    static void create(const char* path)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(root(), path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0L);
        RegCloseKey(key);
    }

    static void set_raw(const char* path, const char* name, DWORD type, const std::string& bytes)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(root(), path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0L);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  0L);
        RegCloseKey(key);
    }

    static std::pair<DWORD, std::string> stored(DWORD type, const std::string& bytes)
    {
        return {type, bytes};
    }

    // The type and bytes of a stored value; type 0 when it is missing.
    static std::pair<DWORD, std::string> raw(const char* path, const char* name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root(), path, 0, KEY_READ, &key) != 0) {
            return {0, ""};
        }
        DWORD type = 0;
        DWORD size = 0;
        std::string bytes;
        if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == 0) {
            bytes.resize(size);
            RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size);
        } else {
            type = 0;
        }
        RegCloseKey(key);
        return {type, bytes};
    }

    static bool exists(const char* path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root(), path, 0, KEY_READ, &key) != 0) {
            return false;
        }
        RegCloseKey(key);
        return true;
    }

    LONG check(const std::u16string& path)
    {
        LONG result = 0;
        EXPECT_EQ(registry->CheckRegistryKey(user, Bstr(path).get(), &result), S_OK);
        return result;
    }

    Bstr write(const std::u16string& path, const std::u16string& name, const Variant& value,
               HRESULT expected = S_OK)
    {
        Bstr result;
        EXPECT_EQ(
            registry->WriteRegValue(user, Bstr(path).get(), Bstr(name).get(), value.get(), result.put()),
            expected);
        return result;
    }

    Variant read(const std::u16string& path, const std::u16string& name)
    {
        HKEYS root_key = user;
        Bstr key(path);
        Bstr value_name(name);
        Variant result;
        EXPECT_EQ(registry->ReadRegValue(&root_key, &key.slot(), &value_name.slot(), result.put()), S_OK);
        return result;
    }

    // The names of a listing result (strings or Variants holding strings).
    static std::vector<std::u16string> names(const Variant& listing)
    {
        std::vector<std::u16string> result;
        SAFEARRAY* array = listing.array();
        for (LONG i = 0; i <= upper_bound(array, 1); ++i) {
            if (listing.kind() == (VT_ARRAY | VT_BSTR)) {
                result.emplace_back(get_string(array, i).view());
            } else {
                void* element = nullptr;
                SafeArrayPtrOfIndex(array, &i, &element);
                EXPECT_EQ(static_cast<VARIANT*>(element)->vt, VT_BSTR);
                result.emplace_back(Variant::copy_of(*static_cast<VARIANT*>(element)).to_string().view());
            }
        }
        return result;
    }

    test::PrivateRegistry private_tree;
    ComPtr<_RegistryHandler> registry;
    DWORD keys_before = 0;
};

// ---- CheckRegistryKey --------------------------------------------------------------

TEST_F(RegistryHandlerTest, CheckRegistryKeyGivesMinusOneOrTheServiceStatus)
{
    create("Software\\Readable");
    create("Software\\Hidden");
    ASSERT_EQ(test::refuse_access(root(), "Software\\Hidden", test::Refuse::reading), 0L);
    EXPECT_EQ(check(u"Software\\Readable"), -1);
    EXPECT_EQ(check(u"Software\\Hidden"), 5);
    EXPECT_EQ(check(u"Software\\Missing"), 2);
    EXPECT_EQ(check(std::u16string(u"Software\\Readable\0x", 19)), 2) << "a NUL names no key";

    const Bstr path(u"Software\\Readable");
    const BSTR before = path.get();
    LONG result = 0;
    ASSERT_EQ(registry->CheckRegistryKey(user, path.get(), &result), S_OK);
    EXPECT_EQ(path.get(), before);
    EXPECT_EQ(path.view(), u"Software\\Readable");
}

// ---- Listings ------------------------------------------------------------------------

TEST_F(RegistryHandlerTest, EnumKeysListsSubkeysThenTheEndEntry)
{
    create("Software\\L\\b");
    create("Software\\L\\A");
    create("Software\\L\\c");
    HKEYS root_key = user;
    Bstr path(u"Software\\L");
    Variant listing;
    ASSERT_EQ(registry->EnumKeys(&root_key, &path.slot(), listing.put()), S_OK);
    ASSERT_EQ(listing.kind(), VT_ARRAY | VT_BSTR);
    const auto listed = names(listing);
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[0], u"A");
    EXPECT_EQ(listed[1], u"b");
    EXPECT_EQ(listed[2], u"c");

    Bstr leaf(u"Software\\L\\A");
    ASSERT_EQ(registry->EnumKeys(&root_key, &leaf.slot(), listing.put()), S_OK);
    EXPECT_EQ(names(listing).size(), 1u);
}

TEST_F(RegistryHandlerTest, EnumValuesListsNamesAsVariantsThenTheEndEntry)
{
    set_raw("Software\\V", "first", REG_SZ, std::string("1\0", 2));
    set_raw("Software\\V", "second", REG_DWORD, std::string(4, '\0'));
    create("Software\\Empty");
    HKEYS root_key = user;
    Bstr path(u"Software\\V");
    Variant listing;
    ASSERT_EQ(registry->EnumValues(&root_key, &path.slot(), listing.put()), S_OK);
    ASSERT_EQ(listing.kind(), VT_ARRAY | VT_VARIANT);
    const auto listed = names(listing);
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0], u"first");
    EXPECT_EQ(listed[1], u"second");

    Bstr empty(u"Software\\Empty");
    ASSERT_EQ(registry->EnumValues(&root_key, &empty.slot(), listing.put()), S_OK);
    EXPECT_EQ(names(listing).size(), 1u);
    // A key that cannot be opened lists nothing but the end entry, at once.
    Bstr missing(u"Software\\Missing");
    ASSERT_EQ(registry->EnumValues(&root_key, &missing.slot(), listing.put()), S_OK);
    EXPECT_EQ(names(listing).size(), 1u);
    ASSERT_EQ(registry->EnumKeys(&root_key, &missing.slot(), listing.put()), S_OK);
    EXPECT_EQ(names(listing).size(), 1u);
}

TEST_F(RegistryHandlerTest, EnumKeysRoundTripsTheCallersPathAndEnumValuesLeavesIt)
{
    // The ANSI code page cannot carry a lone surrogate: it comes back as
    // the code page's replacement for it.
    const std::u16string replaced = GetACP() == CP_UTF8 ? u"Software\\x\uFFFD" : u"Software\\x?";
    HKEYS root_key = user;
    const std::u16string odd = u"Software\\x\xD800";
    Bstr path(odd);
    Variant listing;
    ASSERT_EQ(registry->EnumValues(&root_key, &path.slot(), listing.put()), S_OK);
    EXPECT_EQ(path.view(), odd);
    ASSERT_EQ(registry->EnumKeys(&root_key, &path.slot(), listing.put()), S_OK);
    EXPECT_EQ(path.view(), replaced);
    EXPECT_EQ(root_key, user);
}

TEST_F(RegistryHandlerTest, EnumValuesCountsWithSixteenBits)
{
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(root(), "Software\\Many", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0L);
    const DWORD one = 1;
    for (int i = 0; i < 32766; ++i) {
        const std::string name = "v" + std::to_string(i);
        ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
                  0L);
    }
    HKEYS root_key = user;
    Bstr path(u"Software\\Many");
    Variant listing;
    ASSERT_EQ(registry->EnumValues(&root_key, &path.slot(), listing.put()), S_OK);
    EXPECT_EQ(upper_bound(listing.array(), 1), 32766);

    ASSERT_EQ(RegSetValueExA(key, "last", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), 0L);
    EXPECT_EQ(registry->EnumValues(&root_key, &path.slot(), listing.put()), error_status(err::overflow));
    EXPECT_TRUE(listing.is_empty());

    // DeleteAllValues has the same limit, and then deletes nothing.
    Variant nothing;
    EXPECT_EQ(registry->DeleteAllValues(&root_key, &path.slot(), nothing.put()), error_status(err::overflow));
    EXPECT_EQ(raw("Software\\Many", "v0").first, REG_DWORD);
    ASSERT_EQ(RegDeleteValueA(key, "last"), 0L);
    ASSERT_EQ(registry->DeleteAllValues(&root_key, &path.slot(), nothing.put()), S_OK);
    EXPECT_TRUE(nothing.is_empty());
    ASSERT_EQ(registry->EnumValues(&root_key, &path.slot(), listing.put()), S_OK);
    EXPECT_EQ(upper_bound(listing.array(), 1), 0);
    RegCloseKey(key);
}

// The longest value name the service takes (16,383 characters) is listed
// whole at any code page, three bytes a character in UTF-8, and the values
// after it are listed, read and deleted too; the entry after a long one is
// asked for with the usual buffer again, so the end entry is 2,000 NULs.
TEST_F(RegistryHandlerTest, TheLongestNamesAreListedWholeAndTheListingGoesOn)
{
    const bool utf8 = GetACP() == CP_UTF8;
    const std::u16string long_name(16383, utf8 ? u'\u4E00' : u'\u00E9');
    std::string ansi;
    for (int i = 0; i < 16383; ++i) {
        ansi += utf8 ? "\xE4\xB8\x80" : "\xE9";
    }
    set_raw("Software\\Long", ansi.c_str(), REG_SZ, std::string("x\0", 2));
    set_raw("Software\\Long", "after", REG_DWORD, std::string("\x07\0\0\0", 4));
    HKEYS root_key = user;
    Bstr path(u"Software\\Long");
    Variant listing;
    ASSERT_EQ(registry->EnumValues(&root_key, &path.slot(), listing.put()), S_OK);
    // (Wine lists values by name, Windows in the order they were made.)
    const auto listed = names(listing);
    ASSERT_EQ(listed.size(), 3u);
    const bool long_first = listed[0].size() > listed[1].size();
    EXPECT_TRUE(listed[long_first ? 0 : 1] == long_name)
        << "listed with " << listed[long_first ? 0 : 1].size() << " characters";
    EXPECT_TRUE(listed[long_first ? 1 : 0] == u"after");
    EXPECT_TRUE(listed[2] == std::u16string(2000, u'\0'))
        << "end entry of " << listed[2].size() << " characters";

    const Variant after = read(u"Software\\Long", u"after");
    ASSERT_EQ(after.kind(), VT_I4);
    EXPECT_EQ(after.get().lVal, 7);
    Variant nothing;
    ASSERT_EQ(registry->DeleteAllValues(&root_key, &path.slot(), nothing.put()), S_OK);
    EXPECT_EQ(raw("Software\\Long", "after").first, 0u);
    EXPECT_EQ(raw("Software\\Long", ansi.c_str()).first, 0u);
}

// ---- Typed values ------------------------------------------------------------------

TEST_F(RegistryHandlerTest, WrittenValuesHaveTheirRegistryLayout)
{
    Variant small;
    small.get().vt = VT_I2;
    small.get().iVal = 5;
    EXPECT_EQ(write(u"Software\\T", u"small", small).view(), u"");
    EXPECT_EQ(raw("Software\\T", "small"), stored(REG_DWORD, std::string("\x05\0\0\0", 4)));
    small.get().iVal = -1;
    write(u"Software\\T", u"minus", small);
    EXPECT_EQ(raw("Software\\T", "minus"), stored(REG_DWORD, std::string("\xFF\xFF\xFF\xFF", 4)));
    write(u"Software\\T", u"text", Variant::from_string(Bstr(u"abc")));
    EXPECT_EQ(raw("Software\\T", "text"), stored(REG_SZ, std::string("abc\0", 4)));
    write(u"Software\\T", u"empty", Variant::from_string(Bstr(u"")));
    EXPECT_EQ(raw("Software\\T", "empty"), stored(REG_SZ, std::string("\0", 1)));
    write(u"Software\\T", u"nul", Variant::from_string(Bstr(Text(u"a\0b", 3))));
    EXPECT_EQ(raw("Software\\T", "nul"), stored(REG_SZ, std::string("a\0b\0", 4)));
    write(u"Software\\T", u"yes", Variant::from_bool(true));
    EXPECT_EQ(raw("Software\\T", "yes"), stored(REG_BINARY, std::string("\xFF", 1)));
    write(u"Software\\T", u"no", Variant::from_bool(false));
    EXPECT_EQ(raw("Software\\T", "no"), stored(REG_BINARY, std::string("\0", 1)));

    EXPECT_EQ(read(u"Software\\T", u"small").kind(), VT_I4);
    EXPECT_EQ(read(u"Software\\T", u"small").get().lVal, 5);
    EXPECT_EQ(read(u"Software\\T", u"minus").get().lVal, -1);
    EXPECT_EQ(read(u"Software\\T", u"text").to_string().view(), u"abc");
    EXPECT_EQ(read(u"Software\\T", u"empty").to_string().view(), u"");
    EXPECT_EQ(read(u"Software\\T", u"yes").get().boolVal, VARIANT_TRUE);
    EXPECT_EQ(read(u"Software\\T", u"no").kind(), VT_BOOL);
    EXPECT_EQ(read(u"Software\\T", u"no").get().boolVal, VARIANT_FALSE);
}

TEST_F(RegistryHandlerTest, KindsWithoutARegistryTypeAreRefusedButTheKeyIsMade)
{
    Variant number;
    number.get().vt = VT_R8;
    number.get().dblVal = 1.5;
    Variant date;
    date.get().vt = VT_DATE;
    date.get().date = 45000;
    Variant byte;
    byte.get().vt = VT_UI1;
    byte.get().bVal = 7;
    Variant null_value;
    null_value.get().vt = VT_NULL;
    Variant empty;
    for (const Variant* value : {&number, &date, &byte, &null_value, &empty}) {
        EXPECT_EQ(write(u"Software\\U", u"v", *value).view(), u"Unsupported value type");
    }
    EXPECT_TRUE(exists("Software\\U"));
    EXPECT_EQ(raw("Software\\U", "v").first, 0u);

    // A reference to a value of a supported kind counts as that kind.
    LONG target = 7;
    Variant reference;
    reference.get().vt = VT_BYREF | VT_I4;
    reference.get().plVal = &target;
    EXPECT_EQ(write(u"Software\\U", u"v", reference).view(), u"");
    EXPECT_EQ(raw("Software\\U", "v"), stored(REG_DWORD, std::string("\x07\0\0\0", 4)));
}

TEST_F(RegistryHandlerTest, ReadingFindsNamesWithoutRegardToCaseAndHandledTypesOnly)
{
    set_raw("Software\\R", "Count", REG_DWORD, std::string("\x2A\0\0\0", 4));
    set_raw("Software\\R", "path", REG_EXPAND_SZ, std::string("%x%\0", 4));
    set_raw("Software\\R", "list", REG_MULTI_SZ, std::string("a\0b\0\0", 5));
    set_raw("Software\\R", "", REG_SZ, std::string("unnamed\0", 8));
    set_raw("Software\\R", "long", REG_BINARY, std::string("\1\2", 2));
    EXPECT_EQ(read(u"Software\\R", u"COUNT").get().lVal, 42);
    EXPECT_TRUE(read(u"Software\\R", u"path").is_empty());
    EXPECT_TRUE(read(u"Software\\R", u"list").is_empty());
    EXPECT_EQ(read(u"Software\\R", u"").to_string().view(), u"unnamed");
    EXPECT_TRUE(read(u"Software\\R", u"missing").is_empty());
    EXPECT_TRUE(read(u"Software\\Missing", u"Count").is_empty());
    // A binary value longer than one byte cannot be read into one: Empty, not False.
    EXPECT_TRUE(read(u"Software\\R", u"long").is_empty());
    // A key that refuses full access reads as Empty, even though it could be read.
    ASSERT_EQ(test::refuse_access(root(), "Software\\R", test::Refuse::changing), 0L);
    EXPECT_TRUE(read(u"Software\\R", u"Count").is_empty());
    EXPECT_FALSE(exists("Software\\Missing"));
}

TEST_F(RegistryHandlerTest, TextValuesReadWhole)
{
    const std::string long_text(2047, 'x');
    set_raw("Software\\S", "fits", REG_SZ, long_text + '\0');
    set_raw("Software\\S", "large", REG_SZ, std::string(5000, 'y') + '\0');
    set_raw("Software\\S", "zero", REG_SZ, "");
    set_raw("Software\\S", "open", REG_SZ, "abc");
    EXPECT_EQ(to_utf8(read(u"Software\\S", u"fits").to_string().view()), long_text);
    EXPECT_EQ(read(u"Software\\S", u"large").to_string().size(), 5000u);
    EXPECT_EQ(read(u"Software\\S", u"zero").to_string().view(), u"");
    EXPECT_EQ(read(u"Software\\S", u"open").to_string().view(), u"abc");
}

// ---- Deletion ------------------------------------------------------------------------

TEST_F(RegistryHandlerTest, DeleteKeyRemovesDepthFirstAndLeavesTheParentPath)
{
    create("Software\\A\\B\\D");
    create("Software\\A\\C");
    create("Software\\Other");
    HKEYS root_key = user;
    Bstr path(u"Software\\A");
    ASSERT_EQ(registry->DeleteKey(&root_key, &path.slot()), S_OK);
    EXPECT_EQ(
        test::registry_calls().removed_keys,
        (std::vector<std::string>{"Software\\A\\B\\D", "Software\\A\\B", "Software\\A\\C", "Software\\A"}));
    EXPECT_EQ(path.view(), u"Software");
    EXPECT_TRUE(exists("Software\\Other"));

    // Directly below the root: the whole tree goes, and the path stays.
    create("Top\\Below");
    Bstr top(u"Top");
    ASSERT_EQ(registry->DeleteKey(&root_key, &top.slot()), S_OK);
    EXPECT_FALSE(exists("Top"));
    EXPECT_EQ(top.view(), u"Top");

    // A missing key: nothing happens, quietly, and the path is cut back.
    Bstr missing(u"Software\\Missing");
    EXPECT_EQ(registry->DeleteKey(&root_key, &missing.slot()), S_OK);
    EXPECT_EQ(missing.view(), u"Software");
}

TEST_F(RegistryHandlerTest, DeleteKeyRefusesPathsThatWouldNameAnotherKey)
{
    create("Software\\Keep");
    HKEYS root_key = user;
    const std::u16string refused[] = {u"", u"\\Software", u"Software\\", u"Software\\\\Keep",
                                      std::u16string(u"Software\0Keep", 13)};
    for (const auto& text : refused) {
        Bstr path(text);
        EXPECT_EQ(registry->DeleteKey(&root_key, &path.slot()), error_status(err::invalid_argument));
        EXPECT_EQ(path.view(), text);
    }
    BSTR null_path = nullptr;
    EXPECT_EQ(registry->DeleteKey(&root_key, &null_path), error_status(err::invalid_argument));
    EXPECT_TRUE(test::registry_calls().removed_keys.empty());
    EXPECT_TRUE(exists("Software\\Keep"));
}

TEST_F(RegistryHandlerTest, DeleteKeyStopsAtAKeyThatRefusesRemoval)
{
    create("Software\\P\\Locked\\Inner");
    create("Software\\P\\Next");
    ASSERT_EQ(test::refuse_access(root(), "Software\\P\\Locked", test::Refuse::changing), 0L);
    HKEYS root_key = user;
    Bstr path(u"Software\\P");
    const HRESULT status = registry->DeleteKey(&root_key, &path.slot());
    EXPECT_EQ(status, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(exists("Software\\P\\Locked"));
    EXPECT_TRUE(exists("Software\\P\\Next")) << "the walk must end at the refusal";
}

TEST_F(RegistryHandlerTest, DeleteValueRemovesOneValueAndIsQuietAboutMissingOnes)
{
    set_raw("Software\\D", "a", REG_SZ, std::string("1\0", 2));
    set_raw("Software\\D", "b", REG_SZ, std::string("2\0", 2));
    HKEYS root_key = user;
    Bstr path(u"Software\\D");
    Bstr name(u"A");
    ASSERT_EQ(registry->DeleteValue(&root_key, &path.slot(), &name.slot()), S_OK);
    EXPECT_EQ(raw("Software\\D", "a").first, 0u);
    EXPECT_EQ(raw("Software\\D", "b").first, REG_SZ);
    EXPECT_EQ(registry->DeleteValue(&root_key, &path.slot(), &name.slot()), S_OK);
    Bstr missing_key(u"Software\\Nothing");
    const std::u16string odd = u"x\xD800";
    Bstr untouched(odd);
    EXPECT_EQ(registry->DeleteValue(&root_key, &missing_key.slot(), &untouched.slot()), S_OK);
    EXPECT_EQ(untouched.view(), odd);

    // Refusals are reported: reading refused, or full access refused.
    ASSERT_EQ(test::refuse_access(root(), "Software\\D", test::Refuse::changing), 0L);
    Bstr b(u"b");
    EXPECT_EQ(registry->DeleteValue(&root_key, &path.slot(), &b.slot()),
              HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    ASSERT_EQ(test::refuse_access(root(), "Software\\D", test::Refuse::reading), 0L);
    EXPECT_EQ(registry->DeleteValue(&root_key, &path.slot(), &b.slot()),
              HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(raw("Software\\D", "b").first, 0u) << "unreadable here, but the value must still be there";
}

TEST_F(RegistryHandlerTest, DeleteAllValuesDeletesEveryListedNameAndKeepsTheKey)
{
    set_raw("Software\\All", "a", REG_SZ, std::string("1\0", 2));
    set_raw("Software\\All", "b", REG_DWORD, std::string(4, '\0'));
    set_raw("Software\\All", "c", REG_BINARY, std::string(1, '\1'));
    create("Software\\All\\Sub");
    HKEYS root_key = user;
    Bstr path(u"Software\\All");
    Variant result = Variant::from_int32(1);
    test::reset_registry_calls();
    ASSERT_EQ(registry->DeleteAllValues(&root_key, &path.slot(), result.put()), S_OK);
    EXPECT_TRUE(result.is_empty());
    // One check of its own, then one per DeleteValue: three values and the end entry.
    EXPECT_EQ(test::registry_calls().read_opens, 5);
    Variant listing;
    ASSERT_EQ(registry->EnumValues(&root_key, &path.slot(), listing.put()), S_OK);
    EXPECT_EQ(upper_bound(listing.array(), 1), 0);
    EXPECT_TRUE(exists("Software\\All\\Sub"));
    EXPECT_EQ(path.view(), u"Software\\All");

    create("Software\\None");
    Bstr none(u"Software\\None");
    EXPECT_EQ(registry->DeleteAllValues(&root_key, &none.slot(), result.put()), S_OK);
}

}  // namespace
}  // namespace vh
