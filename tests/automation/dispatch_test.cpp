// Late binding from the member tables, as script hosts use it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "automation/members.h"
#include "ini/ini_handler.h"
#include "ini/ini_members.h"
#include "registry/registry_handler.h"
#include "tests/support/environment.h"
#include "tests/support/late_bound.h"
#include "tests/support/temp_dir.h"

namespace vh {
namespace {

using test::Call;
using test::invoke;

constexpr WORD method = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

class LateBinding : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::set_environment("VORNHALL_WINDIR", dir.path().string().c_str());
        ini_interface = make_ini_handler();
        ini = ini_interface.get();
        file = Bstr(from_utf8(dir.file("a.ini")));
    }

    // A by-value string argument.
    static VARIANT arg(const Bstr& text)
    {
        VARIANT v;
        v.vt = VT_BSTR;
        v.bstrVal = text.get();
        return v;
    }

    test::TempDir dir;
    ComPtr<_iniHandler> ini_interface;
    IDispatch* ini = nullptr;
    Bstr file;
};

TEST_F(LateBinding, NamesResolveWithoutRegardToCaseToTheTableIdentifiers)
{
    EXPECT_EQ(test::id_of(ini, u"FileName"), 0x68030000);
    EXPECT_EQ(test::id_of(ini, u"filename"), 0x68030000);
    EXPECT_EQ(test::id_of(ini, u"GETVALUE"), 0x60030001);
    EXPECT_EQ(test::id_of(ini, u"DeleteKey"), 0x60030006);
    EXPECT_EQ(test::id_of(ini, u"CheckRegistryKey"), DISPID_UNKNOWN);
    for (const Member& m : ini_handler_table().members) {
        EXPECT_NE(m.id, 0x60030000) << "no member of _iniHandler has 0x60030000";
    }
    auto registry = make_registry_handler();
    EXPECT_EQ(test::id_of(registry.get(), u"CheckRegistryKey"), 0x60030000);
    EXPECT_EQ(test::id_of(registry.get(), u"DeleteKey"), 0x60030004);
}

TEST_F(LateBinding, FileNameIsReadAndAssignedOnOneIdentifier)
{
    Call put = invoke(ini, 0x68030000, DISPATCH_PROPERTYPUT, {arg(file)}, {DISPID_PROPERTYPUT});
    ASSERT_EQ(put.status, S_OK);
    Call get = invoke(ini, 0x68030000, DISPATCH_PROPERTYGET, {});
    ASSERT_EQ(get.status, S_OK);
    EXPECT_EQ(get.result.to_string().view(), file.view());
    // A method call of the read, as JScript makes it, is that read.
    EXPECT_EQ(invoke(ini, 0x68030000, DISPATCH_METHOD, {}).result.kind(), VT_BSTR);
}

TEST_F(LateBinding, OptionalDefaultMayBeLeftOutOrNamed)
{
    ASSERT_EQ(invoke(ini, 0x68030000, DISPATCH_PROPERTYPUT, {arg(file)}, {DISPID_PROPERTYPUT}).status, S_OK);
    const Bstr section(u"s"), key(u"k"), fallback(u"  dflt  ");
    Call two = invoke(ini, 0x60030001, method, {arg(section), arg(key)});
    ASSERT_EQ(two.status, S_OK);
    EXPECT_EQ(two.result.kind(), VT_BSTR);
    EXPECT_EQ(two.result.to_string().view(), u"");

    VARIANT missing;
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    EXPECT_EQ(invoke(ini, 0x60030001, method, {arg(section), arg(key), missing}).result.to_string().view(),
              u"");

    Call named = invoke(ini, 0x60030001, method, {arg(section), arg(key), arg(fallback)}, {2});
    ASSERT_EQ(named.status, S_OK);
    EXPECT_EQ(named.result.to_string().view(), u"dflt");
}

TEST_F(LateBinding, WrongArgumentCountsAndKindsAreRejectedBeforeTheMemberRuns)
{
    const Bstr section(u"s");
    EXPECT_EQ(invoke(ini, 0x60030001, method, {arg(section)}).status, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(invoke(ini, 0x60030006, method, {arg(section), arg(section), arg(section)}).status,
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(invoke(ini, 0x60030000, method, {}).status, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(invoke(ini, 0x60030001, DISPATCH_PROPERTYPUT, {arg(section)}, {DISPID_PROPERTYPUT}).status,
              DISP_E_MEMBERNOTFOUND);

    // Null has no string form: the mismatch names the argument's position
    // in rgvarg (last argument first).
    VARIANT null_value;
    null_value.vt = VT_NULL;
    Call bad = invoke(ini, 0x60030006, method, {null_value, arg(section)});
    EXPECT_EQ(bad.status, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(bad.arg_error, 1u);
}

TEST_F(LateBinding, ArgumentsOfOtherKindsAreConvertedToTheDeclaredKind)
{
    ASSERT_EQ(invoke(ini, 0x68030000, DISPATCH_PROPERTYPUT, {arg(file)}, {DISPID_PROPERTYPUT}).status, S_OK);
    Variant section = Variant::from_int32(12);
    Variant key = Variant::from_bool(true);
    Variant value = Variant::from_int32(-5);
    Call write = test::call(ini, u"WriteValue", {&section, &key, &value});
    ASSERT_EQ(write.status, S_OK);
    EXPECT_EQ(write.result.kind(), VT_BOOL);
    EXPECT_EQ(write.result.get().boolVal, VARIANT_TRUE);
    Variant section_text = test::text(u"12");
    // The platform's conversion without options: a Boolean becomes "-1".
    Variant key_text = test::text(u"-1");
    EXPECT_EQ(test::call(ini, u"GetValue", {&section_text, &key_text}).result.to_string().view(), u"-5");
}

TEST_F(LateBinding, ByReferenceVariantsOfAnotherKindAreConvertedAndWrittenBack)
{
    // Script hosts pass their variables as references to Variants. The
    // member sees the declared kinds, and the variables come back holding
    // what the member left in them.
    auto registry = make_registry_handler();
    VARIANT root;
    root.vt = VT_I2;
    root.iVal = 1;
    VARIANT path;
    path.vt = VT_I4;
    path.lVal = 123;
    VARIANT root_ref;
    root_ref.vt = VT_BYREF | VT_VARIANT;
    root_ref.pvarVal = &root;
    VARIANT path_ref;
    path_ref.vt = VT_BYREF | VT_VARIANT;
    path_ref.pvarVal = &path;
    Call listing = invoke(registry.get(), 0x60030003, method, {root_ref, path_ref});
    EXPECT_EQ(root.vt, VT_I4);
    EXPECT_EQ(root.lVal, 1);
    ASSERT_EQ(path.vt, VT_BSTR);
    EXPECT_EQ(Bstr::copy_of(path.bstrVal).view(), u"123");
    VariantClear(&path);
    (void)listing;
}

TEST_F(LateBinding, RootKeysTakeTheUnsignedReadingOfScriptNumbers)
{
    // JScript's 0x80000001 is the double 2147483649: it means HKEY_CURRENT_USER.
    test::set_environment("VORNHALL_REGISTRY", (dir.path() / "registry.db").string().c_str());
    auto registry = make_registry_handler();
    VARIANT root;
    root.vt = VT_R8;
    root.dblVal = 2147483649.0;
    const Bstr path(u"Software\\Missing");
    Call check = invoke(registry.get(), 0x60030000, method, {root, arg(path)});
    ASSERT_EQ(check.status, S_OK);
    EXPECT_EQ(check.result.get().lVal, 2);
    root.dblVal = 4294967296.0;
    EXPECT_EQ(invoke(registry.get(), 0x60030000, method, {root, arg(path)}).status, DISP_E_OVERFLOW);
}

TEST_F(LateBinding, FailingMemberGivesExceptionWithItsStatusAndADescription)
{
    const Bstr missing(from_utf8(dir.file("no/such/dir/a.ini")));
    Call put = invoke(ini, 0x68030000, DISPATCH_PROPERTYPUT, {arg(missing)}, {DISPID_PROPERTYPUT});
    EXPECT_EQ(put.status, DISP_E_EXCEPTION);
    EXPECT_EQ(put.excep->scode, error_status(err::path_not_found));
    EXPECT_EQ(Bstr::copy_of(put.excep->bstrDescription).view(), u"Path not found");
    EXPECT_EQ(Bstr::copy_of(put.excep->bstrSource).view(), u"Vornhall.iniHandler");
}

// A null place for the answer is refused before the index is looked at; an
// index past the last gives DISP_E_BADINDEX and a null answer. The count is
// 1 where the module carries a type library (Windows), 0 here.
TEST_F(LateBinding, TypeInformationIsAskedForWithAPlaceForIt)
{
    UINT count = 7;
    EXPECT_EQ(ini->GetTypeInfoCount(nullptr), E_INVALIDARG);
    ASSERT_EQ(ini->GetTypeInfoCount(&count), S_OK);
    EXPECT_LE(count, 1u);
    EXPECT_EQ(ini->GetTypeInfo(0, 0, nullptr), E_POINTER);
    EXPECT_EQ(ini->GetTypeInfo(5, 0, nullptr), E_POINTER);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(this);
    EXPECT_EQ(ini->GetTypeInfo(count, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(info, nullptr);
}

TEST_F(LateBinding, TableSlotsMatchTheInterfaceFunctions)
{
    // Early-bound callers reach a member by its slot in the table of
    // operations: slot 8 must be the read of FileName, 13 DeleteSection.
    ASSERT_EQ(invoke(ini, 0x68030000, DISPATCH_PROPERTYPUT, {arg(file)}, {DISPID_PROPERTYPUT}).status, S_OK);
    using GetName = HRESULT (*)(_iniHandler*, BSTR*);
    auto** table = *reinterpret_cast<void***>(ini_interface.get());
    BSTR name = nullptr;
    ASSERT_EQ(reinterpret_cast<GetName>(table[8])(ini_interface.get(), &name), S_OK);
    EXPECT_EQ(Bstr::attach(name).view(), file.view());
    for (const Member& m : ini_handler_table().members) {
        EXPECT_GE(m.slot, 7);
        EXPECT_LE(m.slot, 14);
    }
}

}  // namespace
}  // namespace vh
