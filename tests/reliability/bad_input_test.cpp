// Bad input through late binding, for every member of both classes: NULs
// inside names, values and paths; strings of 1 MB; empty and null strings;
// root values outside the four roots; Variant kinds that have no business
// in a parameter; wrong argument counts. Each row names the status the
// caller gets and whether the file or the store may change; everything
// else must stay exactly as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ini/ini_handler.h"
#include "registry/registry_handler.h"
#include "tests/support/environment.h"
#include "tests/support/late_bound.h"
#include "tests/support/registry_dump.h"
#include "tests/support/temp_dir.h"

namespace vh {
namespace {

using Args = std::vector<Variant>;

struct Row {
    const char* what;
    const char16_t* member;
    std::function<Args()> args;
    HRESULT status;  // the member's own status, or the dispatch layer's
    bool changes = false;
};

Variant text(std::u16string value)
{
    return Variant::from_string(Bstr(value));
}
Variant null_string()
{
    return Variant::from_string(Bstr());
}
Variant number(std::int32_t value)
{
    return Variant::from_int32(value);
}
Variant megabyte(char16_t c)
{
    return text(std::u16string(1 << 20, c));
}
Variant with_nul(const std::u16string& before, const std::u16string& after)
{
    return text(before + std::u16string(1, u'\0') + after);
}
Variant kind(VARTYPE vt)
{
    Variant v;
    v.get().vt = vt;
    v.get().llVal = 0;
    return v;
}
Variant floating(double value)
{
    Variant v;
    v.get().vt = VT_R8;
    v.get().dblVal = value;
    return v;
}
Variant string_array()
{
    SafeArray names = SafeArray::vector(VT_BSTR, 1);
    names.put_string(0, Bstr(u"a"));
    return Variant::from_array(std::move(names));
}

constexpr HRESULT ok = S_OK;
constexpr HRESULT mismatch = DISP_E_TYPEMISMATCH;
constexpr HRESULT count = DISP_E_BADPARAMCOUNT;
constexpr HRESULT invalid_argument = error_status(err::invalid_argument);
constexpr HRESULT bad_file_name = error_status(err::bad_file_name);
HRESULT win32(DWORD code)
{
    return HRESULT_FROM_WIN32(code);
}

const HKEYS user = HKEYS::current_user;
Variant user_root()
{
    return number(static_cast<std::int32_t>(user));
}

class BadInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        vh::test::use_private_folder(dir.path());
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        test::write_file(dir.file("a.ini"), "; settings\r\n[s]\r\nk=v\r\n\r\n[t]\r\nx=1\r\n");
        ini = make_ini_handler();
        const Bstr file(from_utf8(dir.file("a.ini")));
        ASSERT_EQ(ini->put_FileName(file.get()), S_OK);
        registry = make_registry_handler();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Bad\\Sub", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  0L);
        RegCloseKey(key);
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Bad", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  0L);
        const DWORD one = 1;
        RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
        RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>("unnamed"), 8);
        RegCloseKey(key);
        handles = VhRegOpenHandleCount();
    }

    void TearDown() override { std::filesystem::current_path(previous); }

    // What a row may not change: the file, the other files, and the store.
    std::string snapshot()
    {
        std::string state = test::read_file(dir.file("a.ini"));
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            state += "\n" + entry.path().filename().string();
        }
        return state + "\n" + test::dump(HKEY_CURRENT_USER) + test::dump(HKEY_CLASSES_ROOT);
    }

    void run(IDispatch* object, const std::vector<Row>& rows)
    {
        for (const Row& row : rows) {
            SCOPED_TRACE(row.what);
            const std::string before = snapshot();
            Args args = row.args();
            std::vector<VARIANT> raw;
            for (Variant& a : args) {
                raw.push_back(a.get());
            }
            const test::Call call = test::invoke(object, test::id_of(object, row.member),
                                                 DISPATCH_METHOD | DISPATCH_PROPERTYGET, raw);
            const HRESULT status = call.status == DISP_E_EXCEPTION ? call.excep->scode : call.status;
            EXPECT_EQ(status, row.status) << std::hex << status;
            if (!row.changes) {
                EXPECT_EQ(snapshot(), before);
            }
            EXPECT_EQ(VhRegOpenHandleCount(), handles) << "a key left open";
        }
    }

    test::TempDir dir;
    std::filesystem::path previous;
    ComPtr<_iniHandler> ini;
    ComPtr<_RegistryHandler> registry;
    DWORD handles = 0;
};

TEST_F(BadInput, IniHandlerMembers)
{
    const std::vector<Row> rows{
        {"GetValue: NUL in the key", u"GetValue",
         [] {
             return Args{text(u"s"), with_nul(u"k", u"x")};
         },
         ok},
        {"GetValue: 1 MB key", u"GetValue",
         [] {
             return Args{text(u"s"), megabyte(u'k'), text(u"d")};
         },
         ok},
        {"GetValue: null section and key", u"GetValue",
         [] {
             return Args{null_string(), null_string()};
         },
         ok},
        {"GetValue: Null", u"GetValue",
         [] {
             return Args{kind(VT_NULL), text(u"k")};
         },
         mismatch},
        {"GetValue: an array", u"GetValue",
         [] {
             return Args{string_array(), text(u"k")};
         },
         mismatch},
        {"GetValue: a null object", u"GetValue",
         [] {
             return Args{kind(VT_DISPATCH), text(u"k")};
         },
         DISP_E_BADVARTYPE},
        {"GetValue: one argument", u"GetValue", [] { return Args{text(u"s")}; }, count},
        {"GetValue: four arguments", u"GetValue",
         [] {
             return Args{text(u"s"), text(u"k"), text(u"d"), text(u"x")};
         },
         count},
        {"GetValue: numbers for names", u"GetValue",
         [] {
             return Args{number(1), floating(2.5)};
         },
         ok},
        {"WriteValue: NUL in the section", u"WriteValue",
         [] {
             return Args{with_nul(u"s", u"t"), text(u"k"), text(u"v")};
         },
         ok},
        {"WriteValue: NUL in the value", u"WriteValue",
         [] {
             return Args{text(u"s"), text(u"k"), with_nul(u"a", u"b")};
         },
         ok},
        {"WriteValue: line break in the value", u"WriteValue",
         [] {
             return Args{text(u"s"), text(u"k"), text(u"a\r\n[x]")};
         },
         ok},
        {"WriteValue: line break in the key", u"WriteValue",
         [] {
             return Args{text(u"s"), text(u"k\nj"), text(u"v")};
         },
         ok},
        {"WriteValue: 1 MB value", u"WriteValue",
         [] {
             return Args{text(u"s"), text(u"big"), megabyte(u'v')};
         },
         ok, true},
        {"WriteValue: Empty value", u"WriteValue",
         [] {
             return Args{text(u"s"), text(u"k"), kind(VT_EMPTY)};
         },
         ok, true},
        {"WriteValue: two arguments", u"WriteValue",
         [] {
             return Args{text(u"s"), text(u"k")};
         },
         count},
        {"WriteValue: Null value", u"WriteValue",
         [] {
             return Args{text(u"s"), text(u"k"), kind(VT_NULL)};
         },
         mismatch},
        {"DeleteSection: NUL", u"DeleteSection", [] { return Args{with_nul(u"s", u"")}; }, ok},
        {"DeleteSection: missing section", u"DeleteSection", [] { return Args{text(u"none")}; }, ok},
        {"DeleteSection: no argument", u"DeleteSection", [] { return Args{}; }, count},
        {"DeleteKey: NUL in the key", u"DeleteKey",
         [] {
             return Args{text(u"s"), with_nul(u"k", u"")};
         },
         ok},
        {"DeleteKey: 1 MB section", u"DeleteKey",
         [] {
             return Args{megabyte(u's'), text(u"k")};
         },
         ok},
        {"GetAllSections: an argument", u"GetAllSections", [] { return Args{text(u"s")}; }, count},
        {"GetAllKeys: Null", u"GetAllKeys", [] { return Args{kind(VT_NULL)}; }, mismatch},
        {"GetAllKeys: 1 MB section", u"GetAllKeys", [] { return Args{megabyte(u's')}; }, ok},
        {"GetAllKeys: null section", u"GetAllKeys", [] { return Args{null_string()}; }, ok},
    };
    run(ini.get(), rows);
}

TEST_F(BadInput, BindingAFileName)
{
    // FileName is assigned, not called: the rows go through the assignment.
    const std::vector<std::pair<Variant, HRESULT>> rows = [] {
        std::vector<std::pair<Variant, HRESULT>> r;
        r.emplace_back(with_nul(u"b.ini", u"x"), bad_file_name);
        r.emplace_back(megabyte(u'f'), bad_file_name);
        r.emplace_back(text(u""), bad_file_name);
        r.emplace_back(null_string(), bad_file_name);
        r.emplace_back(kind(VT_NULL), mismatch);
        r.emplace_back(string_array(), mismatch);
        r.emplace_back(text(u"no/such/dir/c.ini"), error_status(err::path_not_found));
        r.emplace_back(text(u"."), error_status(err::path_file_access));
        return r;
    }();
    for (const auto& [name, expected] : rows) {
        const std::string before = snapshot();
        VARIANT value = name.get();
        const test::Call put =
            test::invoke(ini.get(), 0x68030000, DISPATCH_PROPERTYPUT, {value}, {DISPID_PROPERTYPUT});
        EXPECT_EQ(put.status == DISP_E_EXCEPTION ? put.excep->scode : put.status, expected);
        EXPECT_EQ(snapshot(), before);
        Bstr bound;
        ASSERT_EQ(ini->get_FileName(bound.put()), S_OK);
        EXPECT_EQ(bound.view(), from_utf8(dir.file("a.ini"))) << "a failed assignment keeps the binding";
    }
}

TEST_F(BadInput, RegistryHandlerMembers)
{
    const std::vector<Row> rows{
        {"CheckRegistryKey: root 0", u"CheckRegistryKey",
         [] {
             return Args{number(0), text(u"Software")};
         },
         ok},
        {"CheckRegistryKey: root past the four", u"CheckRegistryKey",
         [] {
             return Args{number(static_cast<std::int32_t>(0x80000004u)), text(u"Software")};
         },
         ok},
        {"CheckRegistryKey: NUL in the path", u"CheckRegistryKey",
         [] {
             return Args{user_root(), with_nul(u"Software", u"Bad")};
         },
         ok},
        {"CheckRegistryKey: 1 MB path", u"CheckRegistryKey",
         [] {
             return Args{user_root(), megabyte(u'k')};
         },
         ok},
        {"CheckRegistryKey: null path", u"CheckRegistryKey",
         [] {
             return Args{user_root(), null_string()};
         },
         ok},
        {"CheckRegistryKey: Null root", u"CheckRegistryKey",
         [] {
             return Args{kind(VT_NULL), text(u"Software")};
         },
         mismatch},
        {"CheckRegistryKey: text root", u"CheckRegistryKey",
         [] {
             return Args{text(u"HKCU"), text(u"Software")};
         },
         mismatch},
        {"CheckRegistryKey: root too large", u"CheckRegistryKey",
         [] {
             return Args{floating(1e12), text(u"Software")};
         },
         DISP_E_OVERFLOW},
        {"CheckRegistryKey: one argument", u"CheckRegistryKey", [] { return Args{user_root()}; }, count},
        {"WriteRegValue: NUL in the path", u"WriteRegValue",
         [] {
             return Args{user_root(), with_nul(u"Software\\Bad", u"x"), text(u"n"), number(1)};
         },
         invalid_argument},
        {"WriteRegValue: NUL in the name", u"WriteRegValue",
         [] {
             return Args{user_root(), text(u"Software\\Bad"), with_nul(u"v", u"x"), number(1)};
         },
         invalid_argument},
        {"WriteRegValue: root past the four", u"WriteRegValue",
         [] {
             return Args{number(5), text(u"Software\\Bad"), text(u"n"), number(1)};
         },
         win32(ERROR_INVALID_HANDLE)},
        {"WriteRegValue: 1 MB path", u"WriteRegValue",
         [] {
             return Args{user_root(), megabyte(u'k'), text(u"n"), number(1)};
         },
         win32(ERROR_INVALID_PARAMETER)},
        {"WriteRegValue: 1 MB name", u"WriteRegValue",
         [] {
             return Args{user_root(), text(u"Software\\Bad"), megabyte(u'n'), number(1)};
         },
         win32(ERROR_INVALID_PARAMETER)},
        {"WriteRegValue: 1 MB text", u"WriteRegValue",
         [] {
             return Args{user_root(), text(u"Software\\Bad"), text(u"big"), megabyte(u't')};
         },
         ok, true},
        {"WriteRegValue: an array", u"WriteRegValue",
         [] {
             return Args{user_root(), text(u"Software\\Bad"), text(u"n"), string_array()};
         },
         ok},
        {"WriteRegValue: an error value", u"WriteRegValue",
         [] {
             return Args{user_root(), text(u"Software\\Bad"), text(u"n"), kind(VT_ERROR)};
         },
         ok},
        {"WriteRegValue: three arguments", u"WriteRegValue",
         [] {
             return Args{user_root(), text(u"Software\\Bad"), text(u"n")};
         },
         count},
        {"ReadRegValue: NUL in the name", u"ReadRegValue",
         [] {
             return Args{user_root(), text(u"Software\\Bad"), with_nul(u"v", u"")};
         },
         ok},
        {"ReadRegValue: root past the four", u"ReadRegValue",
         [] {
             return Args{number(7), text(u"Software\\Bad"), text(u"v")};
         },
         ok},
        {"ReadRegValue: 1 MB name", u"ReadRegValue",
         [] {
             return Args{user_root(), text(u"Software\\Bad"), megabyte(u'v')};
         },
         ok},
        {"ReadRegValue: Null path", u"ReadRegValue",
         [] {
             return Args{user_root(), kind(VT_NULL), text(u"v")};
         },
         mismatch},
        {"EnumKeys: root 0", u"EnumKeys",
         [] {
             return Args{number(0), text(u"Software")};
         },
         ok},
        {"EnumKeys: 1 MB path", u"EnumKeys",
         [] {
             return Args{user_root(), megabyte(u'k')};
         },
         ok},
        {"EnumValues: NUL in the path", u"EnumValues",
         [] {
             return Args{user_root(), with_nul(u"Software", u"")};
         },
         ok},
        {"EnumValues: three arguments", u"EnumValues",
         [] {
             return Args{user_root(), text(u"Software"), text(u"x")};
         },
         count},
        {"DeleteKey: empty path", u"DeleteKey",
         [] {
             return Args{user_root(), text(u"")};
         },
         invalid_argument},
        {"DeleteKey: null path", u"DeleteKey",
         [] {
             return Args{user_root(), null_string()};
         },
         invalid_argument},
        {"DeleteKey: NUL in the path", u"DeleteKey",
         [] {
             return Args{user_root(), with_nul(u"Software", u"Bad")};
         },
         invalid_argument},
        {"DeleteKey: leading separator", u"DeleteKey",
         [] {
             return Args{user_root(), text(u"\\Software")};
         },
         invalid_argument},
        {"DeleteKey: root past the four", u"DeleteKey",
         [] {
             return Args{number(9), text(u"Software\\Bad")};
         },
         win32(ERROR_INVALID_HANDLE)},
        // The walk's 16-bit scan position cannot cut a path this long back.
        {"DeleteKey: 1 MB path", u"DeleteKey",
         [] {
             return Args{user_root(), megabyte(u'k')};
         },
         error_status(err::overflow)},
        {"DeleteValue: NUL in the name", u"DeleteValue",
         [] {
             return Args{user_root(), text(u"Software\\Bad"), with_nul(u"v", u"")};
         },
         ok},
        {"DeleteValue: missing key", u"DeleteValue",
         [] {
             return Args{user_root(), text(u"Software\\None"), text(u"v")};
         },
         ok},
        {"DeleteValue: root past the four", u"DeleteValue",
         [] {
             return Args{number(3), text(u"Software\\Bad"), text(u"v")};
         },
         win32(ERROR_INVALID_HANDLE)},
        {"DeleteAllValues: missing key", u"DeleteAllValues",
         [] {
             return Args{user_root(), text(u"Software\\None")};
         },
         ok},
        {"DeleteAllValues: an object for the path", u"DeleteAllValues",
         [] {
             return Args{user_root(), kind(VT_UNKNOWN)};
         },
         mismatch},
    };
    run(registry.get(), rows);
}

}  // namespace
}  // namespace vh
