// The value types the members compute with: strings that keep NULs and the
// null/empty distinction, checked 16-bit arithmetic, and the array layout
// the listings rely on.
#include <gtest/gtest.h>

#include "automation/values.h"

namespace vh {
namespace {

HRESULT status_of(auto&& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e.status();
    }
    return S_OK;
}

TEST(Strings, KeepNulsThroughCopyConcatenationAndComparison)
{
    const Bstr a(Text(u"a\0b", 3));
    const Bstr copy = a;
    EXPECT_EQ(copy.size(), 3u);
    EXPECT_EQ(SysStringByteLen(copy.get()), 6u);
    const Bstr joined = concat(a.view(), Text(u"\0", 1));
    EXPECT_EQ(joined.view(), Text(u"a\0b\0", 4));
    EXPECT_FALSE(Bstr(Text(u"a\0b", 3)) == Bstr(Text(u"a\0c", 3)));
}

TEST(Strings, NullAndEmptyCompareEqualButStayDistinct)
{
    const Bstr null;
    const Bstr empty(Text{});
    EXPECT_TRUE(null == empty);
    EXPECT_EQ(null.size(), 0u);
    EXPECT_TRUE(null.is_null());
    EXPECT_FALSE(empty.is_null());
    EXPECT_TRUE(Bstr(null).is_null());
    EXPECT_FALSE(Bstr(empty).is_null());
}

TEST(Strings, Operations)
{
    EXPECT_EQ(trim_spaces(u"  a b\t ").view(), u"a b\t");
    EXPECT_EQ(trim_spaces(u"   ").view(), u"");
    EXPECT_EQ(decimal(4).view(), u"4");
    EXPECT_EQ(decimal(-1).view(), u"-1");
    EXPECT_EQ(repeat(u'\0', 255).size(), 255u);
    EXPECT_EQ(lower(u"CoUnT\u00C4").view(), u"count\u00E4");
    EXPECT_EQ(status_of([] { left(u"abc", -1); }), error_status(err::invalid_argument));
    EXPECT_EQ(left(u"abc", 5).view(), u"abc");
}

TEST(Strings, SplitGivesOnePieceMoreThanSeparatorsAndNoneForEmptyText)
{
    const SafeArray none = split(u"", u'\0');
    EXPECT_EQ(none.upper_bound(1), -1);
    const SafeArray pieces = split(Text(u"A\0B\0", 4), u'\0');
    ASSERT_EQ(pieces.upper_bound(1), 2);
    EXPECT_EQ(pieces.get_string(0).view(), u"A");
    EXPECT_EQ(pieces.get_string(1).view(), u"B");
    EXPECT_EQ(pieces.get_string(2).view(), u"");
}

TEST(CheckedIntegers, OverflowRaisesErrorSixInsteadOfWrapping)
{
    EXPECT_EQ(status_of([] { add16(32767, 1); }), error_status(err::overflow));
    EXPECT_EQ(status_of([] { to_int16(40000); }), error_status(err::overflow));
    EXPECT_EQ(status_of([] { to_int16(-32769); }), error_status(err::overflow));
    EXPECT_EQ(to_int16(-32768), -32768);
    EXPECT_EQ(status_of([] { add32(INT32_MAX, 1); }), error_status(err::overflow));
    EXPECT_EQ(error_status(err::overflow), static_cast<HRESULT>(0x800A0006));
}

TEST(CheckedIntegers, LoopEndingAt32767OverflowsAtItsLastIncrease)
{
    int passes = 0;
    EXPECT_EQ(status_of([&] { for_int16(32765, 32767, [&](std::int16_t) { ++passes; }); }),
              error_status(err::overflow));
    EXPECT_EQ(passes, 3);
    passes = 0;
    for_int16(0, 32766, [&](std::int16_t) { ++passes; });
    EXPECT_EQ(passes, 32767);
}

TEST(Arrays, TwoDimensionalStorageAlternatesFirstIndexFastest)
{
    SafeArray table = SafeArray::matrix(VT_BSTR, 1, 2);
    for (std::int32_t j = 0; j <= 2; ++j) {
        table.put_string(0, j, decimal(j));
        table.put_string(1, j, concat(u"name", decimal(j).view()));
    }
    EXPECT_EQ(table.upper_bound(1), 1);
    EXPECT_EQ(table.upper_bound(2), 2);
    auto* storage = static_cast<BSTR*>(table.get()->pvData);
    const char16_t* expected[] = {u"0", u"name0", u"1", u"name1", u"2", u"name2"};
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(Bstr::copy_of(storage[k]).view(), expected[k]) << k;
    }
    // Growing the second index keeps every entry where it was.
    table.redim_last(3);
    EXPECT_EQ(table.upper_bound(2), 3);
    EXPECT_EQ(table.get_string(1, 2).view(), u"name2");
    EXPECT_TRUE(table.get_string(1, 3).is_null());
}

TEST(Arrays, BadIndexesRaiseErrorNine)
{
    SafeArray list = SafeArray::vector(VT_BSTR, 0);
    EXPECT_EQ(status_of([&] { list.get_string(1); }), error_status(err::subscript));
    EXPECT_EQ(status_of([&] { list.get_string(-1); }), error_status(err::subscript));
    EXPECT_EQ(status_of([&] { list.get_string(0, 0); }), error_status(err::subscript));
    EXPECT_EQ(status_of([&] { SafeArray().upper_bound(1); }), error_status(err::subscript));
    EXPECT_EQ(status_of([] { Variant().array(); }), error_status(err::type_mismatch));
}

TEST(Variants, CopyIsDeepAndFreeingLeavesEmpty)
{
    SafeArray list = SafeArray::vector(VT_BSTR, 1);
    list.put_string(1, Bstr(u"x"));
    Variant original = Variant::from_array(std::move(list));
    EXPECT_EQ(original.kind(), VT_ARRAY | VT_BSTR);
    Variant copy = original;
    EXPECT_NE(copy.array(), original.array());
    original.clear();
    EXPECT_TRUE(original.is_empty());
    EXPECT_EQ(get_string(copy.array(), 1).view(), u"x");
}

}  // namespace
}  // namespace vh
