// The collection the listings return, through its interface and late-bound.
#include <gtest/gtest.h>

#include <vector>

#include "automation/collection.h"
#include "tests/support/late_bound.h"

namespace vh {
namespace {

class CollectionTest : public ::testing::Test {
protected:
    void add(const std::u16string& item, const VARIANT* key = nullptr, const VARIANT* before = nullptr,
             const VARIANT* after = nullptr, HRESULT expected = S_OK)
    {
        Variant value = test::text(item);
        VARIANT missing;
        missing.vt = VT_ERROR;
        missing.scode = DISP_E_PARAMNOTFOUND;
        auto pick = [&](const VARIANT* v) { return const_cast<VARIANT*>(v != nullptr ? v : &missing); };
        EXPECT_EQ(names->Add(&value.get(), pick(key), pick(before), pick(after)), expected);
    }

    std::vector<std::u16string> items()
    {
        std::vector<std::u16string> result;
        ComPtr<IUnknown> unknown;
        EXPECT_EQ(names->_NewEnum(unknown.put()), S_OK);
        ComPtr<IEnumVARIANT> walk;
        EXPECT_EQ(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(walk.put())), S_OK);
        Variant item;
        ULONG fetched = 0;
        while (walk->Next(1, item.put(), &fetched) == S_OK && fetched == 1) {
            result.emplace_back(item.to_string().view());
        }
        return result;
    }

    ComPtr<_Collection> names = make_collection();
};

TEST_F(CollectionTest, ItemsKeepInsertionOrderAndAreReachedFromOne)
{
    add(u"A");
    add(u"B");
    add(u"A");
    LONG count = 0;
    ASSERT_EQ(names->Count(&count), S_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(items(), (std::vector<std::u16string>{u"A", u"B", u"A"}));
    Variant index = Variant::from_int32(2);
    Variant item;
    ASSERT_EQ(names->Item(&index.get(), item.put()), S_OK);
    EXPECT_EQ(item.to_string().view(), u"B");
    index = Variant::from_int32(0);
    EXPECT_EQ(names->Item(&index.get(), item.put()), error_status(err::subscript));
    EXPECT_TRUE(item.is_empty());
    index = Variant::from_int32(4);
    EXPECT_EQ(names->Item(&index.get(), item.put()), error_status(err::subscript));
}

TEST_F(CollectionTest, ItemsAddedByReferenceAreStoredAsTheirOwnStrings)
{
    BSTR element = SysAllocString(ole(u"by reference"));
    VARIANT reference;
    reference.vt = VT_BYREF | VT_BSTR;
    reference.pbstrVal = &element;
    VARIANT missing;
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    ASSERT_EQ(names->Add(&reference, &missing, &missing, &missing), S_OK);
    SysFreeString(element);
    element = nullptr;
    Variant index = Variant::from_int32(1);
    Variant item;
    ASSERT_EQ(names->Item(&index.get(), item.put()), S_OK);
    EXPECT_EQ(item.kind(), VT_BSTR);
    EXPECT_EQ(item.to_string().view(), u"by reference");
}

TEST_F(CollectionTest, KeysPositionsAndRemoval)
{
    Variant first_key = test::text(u"First");
    add(u"one", &first_key.get());
    add(u"one again", &test::text(u"FIRST").get(), nullptr, nullptr, error_status(457));
    Variant position = Variant::from_int32(1);
    add(u"zero", nullptr, &position.get());
    add(u"two", nullptr, nullptr, &first_key.get());
    EXPECT_EQ(items(), (std::vector<std::u16string>{u"zero", u"one", u"two"}));

    Variant by_key = test::text(u"first");
    Variant item;
    ASSERT_EQ(names->Item(&by_key.get(), item.put()), S_OK);
    EXPECT_EQ(item.to_string().view(), u"one");
    ASSERT_EQ(names->Remove(&by_key.get()), S_OK);
    EXPECT_EQ(names->Item(&by_key.get(), item.put()), error_status(err::invalid_argument));
    EXPECT_EQ(items(), (std::vector<std::u16string>{u"zero", u"two"}));
}

TEST_F(CollectionTest, ScriptHostsReadCountAndEnumerateLateBound)
{
    add(u"A");
    add(u"B");
    IDispatch* dispatch = names.get();
    // JScript reads Count as a property and asks for the enumerator with
    // the method flag alone.
    test::Call count = test::invoke(dispatch, 2, DISPATCH_PROPERTYGET, {});
    ASSERT_EQ(count.status, S_OK);
    EXPECT_EQ(count.result.get().lVal, 2);
    test::Call enumerator = test::invoke(dispatch, DISPID_NEWENUM, DISPATCH_METHOD, {});
    ASSERT_EQ(enumerator.status, S_OK);
    EXPECT_EQ(enumerator.result.kind(), VT_UNKNOWN);
    // The default member is Item.
    Variant index = Variant::from_int32(1);
    test::Call item =
        test::invoke(dispatch, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {index.get()});
    EXPECT_EQ(item.result.to_string().view(), u"A");
}

}  // namespace
}  // namespace vh
