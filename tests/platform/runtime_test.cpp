// Conformance of the automation runtime and code-page stand-ins: strings,
// Variants, safe arrays and UTF-16 <-> byte conversion, at the cases where a
// mistake would lose, corrupt or misreport a value. Leaks and stray frees are
// caught by the sanitized build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "platform/win32.h"
#include "tests/support/environment.h"

namespace {

using namespace std::string_view_literals;

std::u16string text_of(BSTR b)
{
    return b != nullptr ? std::u16string(b, SysStringLen(b)) : std::u16string();
}

// A Variant that is cleared when it goes.
struct Var : VARIANT {
    Var() { VariantInit(this); }
    ~Var() { VariantClear(this); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
};

// A source value for the conversion tables: the kind and the payload it needs.
struct Value {
    VARTYPE vt;
    long long integer = 0;  // integer kinds, VT_BOOL, VT_CY (raw), VT_ERROR
    double real = 0.0;      // VT_R4, VT_R8, VT_DATE
    std::u16string_view text = {};
};

void fill(VARIANT& v, const Value& value)
{
    v.vt = value.vt;
    v.llVal = value.integer;  // the low bytes are the narrower kinds' payload
    if (value.vt == VT_R8 || value.vt == VT_DATE) {
        v.dblVal = value.real;
    } else if (value.vt == VT_R4) {
        v.fltVal = static_cast<float>(value.real);
    } else if (value.vt == VT_BSTR) {
        v.bstrVal = SysAllocStringLen(value.text.data(), static_cast<UINT>(value.text.size()));
    }
}

long long integer_of(const VARIANT& v)
{
    switch (v.vt) {
        case VT_I1:
            return v.cVal;
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_UI4:
            return v.ulVal;
        case VT_UI8:
            return static_cast<long long>(v.ullVal);
        case VT_BOOL:
            return v.boolVal;
        case VT_CY:
            return v.cyVal.int64;
        case VT_I8:
            return v.llVal;
        default:
            return v.lVal;
    }
}

// An object that only counts its references.
class Counted : public IUnknown {
public:
    HRESULT QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override { return --m_refs; }
    ULONG refs() const { return m_refs; }

private:
    ULONG m_refs = 1;
};

// ---- Strings --------------------------------------------------------------------

TEST(Bstr, CountsBytesAheadAndKeepsNulsInside)
{
    BSTR b = SysAllocStringLen(u"a\0b", 3);
    ASSERT_NE(b, nullptr);
    DWORD prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(b) - 4, 4);
    EXPECT_EQ(prefix, 6u);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(SysStringByteLen(b), 6u);
    EXPECT_EQ(text_of(b), u"a\0b"sv);
    EXPECT_EQ(b[3], 0);

    Var source, copy;
    source.vt = VT_BSTR;
    source.bstrVal = b;
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_NE(copy.bstrVal, b) << "a copy shares the text";
    b[0] = u'x';
    EXPECT_EQ(text_of(copy.bstrVal), u"a\0b"sv);
}

TEST(Bstr, NullAndEmptyStayApart)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);

    BSTR zeros = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(text_of(zeros), std::u16string(4, u'\0'));
    SysFreeString(zeros);

    Var null_text, copy;
    null_text.vt = VT_BSTR;
    null_text.bstrVal = nullptr;
    ASSERT_EQ(VariantCopy(&copy, &null_text), S_OK);
    EXPECT_EQ(copy.bstrVal, nullptr) << "copying made a null string empty";
}

TEST(Bstr, ByteLengthsAndReallocation)
{
    BSTR odd = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(odd), 3u);
    EXPECT_EQ(SysStringLen(odd), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(odd), "abc");
    EXPECT_EQ(odd[2], 0) << "no zero unit after an odd byte count";
    SysFreeString(odd);

    BSTR b = SysAllocString(u"abc");
    ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 5));
    EXPECT_EQ(text_of(b), u"abc\0\0"sv) << "growing without text lost the old text";
    ASSERT_TRUE(SysReAllocStringLen(&b, b + 1, 2));
    EXPECT_EQ(text_of(b), u"bc") << "text from inside the old string";
    SysFreeString(b);
}

// ---- Variants -------------------------------------------------------------------

TEST(Variant, ArrayCopyIsDeepAndClearFreesIt)
{
    Var original, copy;
    original.vt = VT_ARRAY | VT_VARIANT;
    original.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    Var item;
    item.vt = VT_BSTR;
    item.bstrVal = SysAllocString(u"kept");
    LONG index = 1;
    ASSERT_EQ(SafeArrayPutElement(original.parray, &index, &item), S_OK);

    ASSERT_EQ(VariantCopy(&copy, &original), S_OK);
    ASSERT_NE(copy.parray, original.parray);
    Var other;
    other.vt = VT_I4;
    other.lVal = 7;
    ASSERT_EQ(SafeArrayPutElement(original.parray, &index, &other), S_OK);
    Var read;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &index, &read), S_OK);
    ASSERT_EQ(read.vt, VT_BSTR);
    EXPECT_EQ(text_of(read.bstrVal), u"kept");
}

TEST(Variant, ReferencesOwnNothingAndDereferenceOnCopy)
{
    BSTR owned = SysAllocString(u"mine");
    VARIANT ref;
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &owned;
    Var copy;
    ASSERT_EQ(VariantCopyInd(&copy, &ref), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, owned);
    EXPECT_EQ(VariantClear(&ref), S_OK);
    EXPECT_EQ(ref.vt, VT_EMPTY);
    EXPECT_EQ(text_of(owned), u"mine") << "clearing a reference freed the referent";
    SysFreeString(owned);

    Counted object;
    {
        Var a, b;
        a.vt = VT_UNKNOWN;
        a.punkVal = &object;
        object.AddRef();
        ASSERT_EQ(VariantCopy(&b, &a), S_OK);
        EXPECT_EQ(object.refs(), 3u);
    }
    EXPECT_EQ(object.refs(), 1u);

    Var bad;
    bad.vt = 15;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    bad.vt = VT_EMPTY;
}

struct IntegerCase {
    const char* fault;
    Value from;
    VARTYPE to;
    HRESULT hr;
    long long expected = 0;
};

TEST(ChangeType, ToNumbersAndBooleans)
{
    const IntegerCase cases[] = {
        {"40000 overflows I2", {VT_I4, 40000}, VT_I2, DISP_E_OVERFLOW},
        {"32767 fits I2", {VT_I4, 32767}, VT_I2, S_OK, 32767},
        {"-32768 fits I2", {VT_I4, -32768}, VT_I2, S_OK, -32768},
        {"256 overflows UI1", {VT_I2, 256}, VT_UI1, DISP_E_OVERFLOW},
        {"-1 overflows UI8", {VT_I4, -1}, VT_UI8, DISP_E_OVERFLOW},
        {"UI2 to I2 keeps the bits", {VT_UI2, 65535}, VT_I2, S_OK, -1},
        {"2.5 rounds to even", {VT_R8, 0, 2.5}, VT_I4, S_OK, 2},
        {"3.5 rounds to even", {VT_R8, 0, 3.5}, VT_I4, S_OK, 4},
        {"-2.5 rounds to even", {VT_R8, 0, -2.5}, VT_I4, S_OK, -2},
        {"1e10 overflows I4", {VT_R8, 0, 1e10}, VT_I4, DISP_E_OVERFLOW},
        {"currency rounds to even", {VT_CY, 25000}, VT_I4, S_OK, 2},
        {"1.5 to currency", {VT_R8, 0, 1.5}, VT_CY, S_OK, 15000},
        {"blanks around text", {VT_BSTR, 0, 0, u"  12 "}, VT_I2, S_OK, 12},
        {"thousands commas", {VT_BSTR, 0, 0, u"1,000"}, VT_I4, S_OK, 1000},
        {"text 2.5 rounds to even", {VT_BSTR, 0, 0, u"2.5"}, VT_I2, S_OK, 2},
        {"text 0.6 rounds up", {VT_BSTR, 0, 0, u"0.6"}, VT_I2, S_OK, 1},
        {"text exponent", {VT_BSTR, 0, 0, u"1.5e3"}, VT_I4, S_OK, 1500},
        {"hexadecimal text", {VT_BSTR, 0, 0, u"&H1F"}, VT_I4, S_OK, 31},
        {"I8 limit from text", {VT_BSTR, 0, 0, u"9223372036854775807"}, VT_I8, S_OK, 9223372036854775807},
        {"text 70000 overflows I2", {VT_BSTR, 0, 0, u"70000"}, VT_I2, DISP_E_OVERFLOW},
        {"letters after digits", {VT_BSTR, 0, 0, u"12abc"}, VT_I4, DISP_E_TYPEMISMATCH},
        {"empty text", {VT_BSTR, 0, 0, u""}, VT_I4, DISP_E_TYPEMISMATCH},
        {"NUL is not a blank", {VT_BSTR, 0, 0, u"12\0"sv}, VT_I4, DISP_E_TYPEMISMATCH},
        {"Empty is zero", {VT_EMPTY}, VT_I4, S_OK, 0},
        {"Null has no number", {VT_NULL}, VT_I4, DISP_E_TYPEMISMATCH},
        {"Null does not become Empty", {VT_NULL}, VT_EMPTY, DISP_E_TYPEMISMATCH},
        {"an error value has no number", {VT_ERROR, DISP_E_PARAMNOTFOUND}, VT_I4, DISP_E_TYPEMISMATCH},
        {"true is -1", {VT_BOOL, VARIANT_TRUE}, VT_I2, S_OK, -1},
        {"unsigned true is all bits", {VT_BOOL, VARIANT_TRUE}, VT_UI1, S_OK, 255},
        {"5 is true (-1)", {VT_I4, 5}, VT_BOOL, S_OK, VARIANT_TRUE},
        {"text True", {VT_BSTR, 0, 0, u"True"}, VT_BOOL, S_OK, VARIANT_TRUE},
        {"text FALSE", {VT_BSTR, 0, 0, u"FALSE"}, VT_BOOL, S_OK, VARIANT_FALSE},
        {"numeric text 0", {VT_BSTR, 0, 0, u"0"}, VT_BOOL, S_OK, VARIANT_FALSE},
        {"text yes", {VT_BSTR, 0, 0, u"yes"}, VT_BOOL, DISP_E_TYPEMISMATCH},
        {"kind 15 is refused", {15}, VT_I4, DISP_E_BADVARTYPE},
        {"target kind 15 is refused", {VT_I4, 1}, 15, DISP_E_BADVARTYPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        Var source, result;
        fill(source, c.from);
        ASSERT_EQ(VariantChangeType(&result, &source, 0, c.to), c.hr);
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(result.vt, c.to);
            EXPECT_EQ(integer_of(result), c.expected);
        } else {
            EXPECT_EQ(result.vt, VT_EMPTY);
        }
        if (c.from.vt == 15) {
            source.vt = VT_EMPTY;
        }
    }
}

TEST(ChangeType, ToText)
{
    const struct {
        Value from;
        USHORT flags;
        std::u16string_view expected;
    } cases[] = {
        {{VT_I4, 4}, 0, u"4"},
        {{VT_I4, -1}, 0, u"-1"},
        {{VT_UI8, -1}, 0, u"18446744073709551615"},
        {{VT_R8, 0, 1.5}, 0, u"1.5"},
        {{VT_R8, 0, 0.1 + 0.2}, 0, u"0.3"},  // 15 significant digits
        {{VT_R8, 0, 123456789012345.0}, 0, u"123456789012345"},
        {{VT_R8, 0, 1e20}, 0, u"1E+20"},
        {{VT_R8, 0, -0.0}, 0, u"0"},
        {{VT_R4, 0, 1.1}, 0, u"1.1"},
        {{VT_CY, 15000}, 0, u"1.5"},
        {{VT_CY, -20000}, 0, u"-2"},
        {{VT_BOOL, VARIANT_TRUE}, 0, u"-1"},
        {{VT_BOOL, VARIANT_TRUE}, VARIANT_ALPHABOOL, u"True"},
        {{VT_BOOL, VARIANT_FALSE}, VARIANT_ALPHABOOL, u"False"},
        {{VT_EMPTY}, 0, u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.from.vt << " expecting length " << c.expected.size());
        Var source, result;
        fill(source, c.from);
        ASSERT_EQ(VariantChangeType(&result, &source, c.flags, VT_BSTR), S_OK);
        ASSERT_NE(result.bstrVal, nullptr);
        EXPECT_EQ(text_of(result.bstrVal), c.expected);
    }
}

TEST(ChangeType, RealsInPlaceAndThroughReferences)
{
    Var v;
    fill(v, {VT_BSTR, 0, 0, u"1e400"});
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_R8), DISP_E_OVERFLOW);
    EXPECT_EQ(text_of(v.bstrVal), u"1e400") << "a failed conversion touched its destination";
    VariantClear(&v);
    fill(v, {VT_R8, 0, 1e39});
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_R4), DISP_E_OVERFLOW);

    fill(v, {VT_BSTR, 0, 0, u"-1.5E3"});
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_R8), S_OK);  // the string is freed
    EXPECT_EQ(v.vt, VT_R8);
    EXPECT_EQ(v.dblVal, -1500.0);

    Var inner;
    fill(inner, {VT_BSTR, 0, 0, u" 42"});
    VARIANT ref;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &inner;
    Var result;
    ASSERT_EQ(VariantChangeType(&result, &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(result.lVal, 42);
    EXPECT_EQ(inner.vt, VT_BSTR) << "the referenced Variant changed";
}

// ---- Safe arrays ----------------------------------------------------------------

// A 2 x (n + 1) array of strings holding "i,j" at (i, j).
SAFEARRAY* make_table(ULONG n)
{
    SAFEARRAYBOUND bounds[] = {{2, 0}, {n + 1, 0}};
    SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 2, bounds);
    for (LONG j = 0; j <= static_cast<LONG>(n); ++j) {
        for (LONG i = 0; i < 2; ++i) {
            LONG at[] = {i, j};
            const std::u16string text = std::u16string(1, char16_t(u'0' + i)) + u"," + char16_t(u'0' + j);
            BSTR b = SysAllocString(text.c_str());
            EXPECT_EQ(SafeArrayPutElement(array, at, b), S_OK);
            SysFreeString(b);
        }
    }
    return array;
}

TEST(SafeArray, TwoDimensionsStoreFirstIndexFastest)
{
    SAFEARRAY* array = make_table(3);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->fFeatures, FADF_BSTR | FADF_HAVEVARTYPE);
    EXPECT_EQ(array->rgsabound[0].cElements, 4u) << "bounds not stored last dimension first";
    LONG lower = -1, upper = -1;
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(upper, 1);
    EXPECT_EQ(SafeArrayGetUBound(array, 2, &upper), S_OK);
    EXPECT_EQ(upper, 3);
    EXPECT_EQ(SafeArrayGetLBound(array, 2, &lower), S_OK);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(SafeArrayGetUBound(array, 0, &upper), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(array, 3, &lower), DISP_E_BADINDEX);

    BSTR* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, reinterpret_cast<void**>(&data)), S_OK);
    EXPECT_EQ(text_of(data[0]), u"0,0");
    EXPECT_EQ(text_of(data[1]), u"1,0");
    EXPECT_EQ(text_of(data[2]), u"0,1");
    EXPECT_EQ(text_of(data[2 * 3 + 1]), u"1,3");
    EXPECT_EQ(SafeArrayUnaccessData(array), S_OK);

    const LONG outside[][2] = {{2, 0}, {0, 4}, {-1, 0}, {0, -1}};
    for (const auto& at : outside) {
        LONG index[] = {at[0], at[1]};
        BSTR out = nullptr;
        void* element = nullptr;
        EXPECT_EQ(SafeArrayGetElement(array, index, &out), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayPutElement(array, index, out), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayPtrOfIndex(array, index, &element), DISP_E_BADINDEX);
    }
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(SafeArray, RedimChangesOnlyTheLastDimensionAndKeepsContents)
{
    SAFEARRAY* array = make_table(1);
    SAFEARRAYBOUND grown{4, 0};
    ASSERT_EQ(SafeArrayRedim(array, &grown), S_OK);
    LONG upper = 0;
    SafeArrayGetUBound(array, 1, &upper);
    EXPECT_EQ(upper, 1);
    SafeArrayGetUBound(array, 2, &upper);
    EXPECT_EQ(upper, 3);
    for (LONG j = 0; j < 4; ++j) {
        LONG at[] = {1, j};
        BSTR out = nullptr;
        ASSERT_EQ(SafeArrayGetElement(array, at, &out), S_OK);
        EXPECT_EQ(text_of(out), j < 2 ? std::u16string(u"1,") + char16_t(u'0' + j) : u"");
        EXPECT_EQ(out == nullptr, j >= 2) << "a new element is not empty";
        SysFreeString(out);
    }
    SAFEARRAYBOUND shrunk{1, 0};
    ASSERT_EQ(SafeArrayRedim(array, &shrunk), S_OK);  // the dropped strings are freed
    LONG gone[] = {0, 1};
    BSTR out = nullptr;
    EXPECT_EQ(SafeArrayGetElement(array, gone, &out), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(SafeArray, GrowingByOneDoesNotMoveTheStorageEachTime)
{
    // A string stored after each step takes the memory just past the array,
    // so storage that grows by exactly one element has to move every time.
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 0);
    BSTR item = SysAllocString(u"item");
    int moves = 0;
    for (ULONG n = 1; n <= 20000; ++n) {
        void* before = array->pvData;
        SAFEARRAYBOUND bound{n, 0};
        ASSERT_EQ(SafeArrayRedim(array, &bound), S_OK);
        moves += array->pvData != before;
        LONG last = static_cast<LONG>(n - 1);
        ASSERT_EQ(SafeArrayPutElement(array, &last, item), S_OK);
    }
    EXPECT_LT(moves, 64);
    LONG probe = 4321;
    BSTR out = nullptr;
    SafeArrayGetElement(array, &probe, &out);
    EXPECT_EQ(text_of(out), u"item");
    SysFreeString(out);
    SysFreeString(item);
    SafeArrayDestroy(array);
}

TEST(SafeArray, LockedArraysStay)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 1);
    ASSERT_EQ(SafeArrayLock(array), S_OK);
    SAFEARRAYBOUND bound{2, 0};
    EXPECT_EQ(SafeArrayRedim(array, &bound), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
    VARIANT holder;
    holder.vt = VT_ARRAY | VT_BSTR;
    holder.parray = array;
    EXPECT_EQ(VariantClear(&holder), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnlock(array), S_OK);
    EXPECT_EQ(SafeArrayUnlock(array), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(SafeArray, CopyIsDeepAndKeepsKind)
{
    const struct {
        VARTYPE vt;
        USHORT features;
    } kinds[] = {
        {VT_BSTR, FADF_BSTR | FADF_HAVEVARTYPE},
        {VT_VARIANT, FADF_VARIANT | FADF_HAVEVARTYPE},
        {VT_UNKNOWN, FADF_UNKNOWN | FADF_HAVEIID},
        {VT_DISPATCH, FADF_DISPATCH | FADF_HAVEIID},
        {VT_I2, FADF_HAVEVARTYPE},
    };
    for (const auto& kind : kinds) {
        SAFEARRAY* array = SafeArrayCreateVector(kind.vt, 0, 1);
        SAFEARRAY* copy = nullptr;
        ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
        VARTYPE vt = VT_EMPTY;
        EXPECT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
        EXPECT_EQ(vt, kind.vt);
        EXPECT_EQ(copy->fFeatures, kind.features);
        SafeArrayDestroy(array);
        SafeArrayDestroy(copy);
    }
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);

    SAFEARRAY* table = make_table(2);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(table, &copy), S_OK);
    LONG at[] = {1, 2};
    BSTR other = SysAllocString(u"changed");
    SafeArrayPutElement(table, at, other);
    SysFreeString(other);
    BSTR out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(copy, at, &out), S_OK);
    EXPECT_EQ(text_of(out), u"1,2");
    SysFreeString(out);
    SafeArrayDestroy(table);
    SafeArrayDestroy(copy);

    Counted object;
    SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
    LONG first = 0;
    SafeArrayPutElement(objects, &first, &object);
    ASSERT_EQ(SafeArrayCopy(objects, &copy), S_OK);
    EXPECT_EQ(object.refs(), 3u);
    SafeArrayDestroy(objects);
    SafeArrayDestroy(copy);
    EXPECT_EQ(object.refs(), 1u);
}

// ---- Code pages -----------------------------------------------------------------

std::string to_bytes(UINT code_page, std::u16string_view wide, BOOL* used = nullptr,
                     const char* fallback = nullptr)
{
    std::string bytes(wide.size() * 4, '\x7F');
    const int n = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(),
                                      static_cast<int>(bytes.size()), fallback, used);
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
}

std::u16string to_wide(UINT code_page, std::string_view bytes, DWORD flags = 0)
{
    std::u16string wide(bytes.size(), u'\x7F');
    const int n = MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()),
                                      wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(n));
    return wide;
}

TEST(CodePage, NulsAreConvertedOneForOne)
{
    for (UINT cp : {CP_UTF8, CP_1252}) {
        EXPECT_EQ(to_bytes(cp, u"\0\0\0\0\0"sv), std::string(5, '\0'));
        EXPECT_EQ(to_wide(cp, "\0\0\0\0\0"sv), std::u16string(5, u'\0'));
    }
}

TEST(CodePage, Windows1252)
{
    BOOL used = TRUE;
    EXPECT_EQ(to_bytes(CP_1252, u"a\u20AC\u00FF\u0081", &used), "a\x80\xFF\x81");
    EXPECT_FALSE(used);
    EXPECT_EQ(to_bytes(CP_1252, u"x\u4E2Dy", &used), "x?y");
    EXPECT_TRUE(used) << "a replaced character went unreported";
    EXPECT_EQ(to_bytes(CP_1252, u"x\u0100y", &used), "xAy");  // its best-fit byte, as on Windows
    EXPECT_FALSE(used);
    EXPECT_EQ(to_bytes(CP_1252, u"\U0001F600", nullptr, "*"), "**");

    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::u16string wide = to_wide(CP_1252, all);
    ASSERT_EQ(wide.size(), 256u);
    EXPECT_EQ(wide[0x80], 0x20AC);
    EXPECT_EQ(wide[0x9F], 0x0178);
    EXPECT_EQ(wide[0x8A], 0x0160);
    EXPECT_EQ(wide[0x8D], 0x008D);
    EXPECT_EQ(wide[0x99], 0x2122);
    EXPECT_EQ(to_bytes(CP_1252, wide), all) << "the table differs between the two directions";
}

TEST(CodePage, Utf8)
{
    const struct {
        std::u16string_view wide;
        std::string_view bytes;
    } both_ways[] = {
        {u"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
    };
    for (const auto& c : both_ways) {
        EXPECT_EQ(to_bytes(CP_UTF8, c.wide), c.bytes);
        EXPECT_EQ(to_wide(CP_UTF8, c.bytes), c.wide);
    }
    EXPECT_EQ(to_bytes(CP_UTF8, u"a\xD800"), "a\xEF\xBF\xBD") << "lone high surrogate";
    EXPECT_EQ(to_bytes(CP_UTF8, u"\xDC00-"), "\xEF\xBF\xBD-") << "lone low surrogate";

    const struct {
        std::string_view bytes;
        std::u16string_view wide;
    } invalid[] = {
        {"\xC3(", u"\xFFFD("},                              // missing continuation
        {"a\xE2\x82", u"a\xFFFD"},                          // truncated at the end
        {"\xC0\x80", u"\xFFFD\xFFFD"},                      // overlong
        {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},            // encoded surrogate
        {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},  // past U+10FFFF
    };
    for (const auto& c : invalid) {
        EXPECT_EQ(to_wide(CP_UTF8, c.bytes), c.wide);
    }
    SetLastError(0);
    EXPECT_EQ(to_wide(CP_UTF8, "\xC3(", 0x08 /* MB_ERR_INVALID_CHARS */), u"");
    EXPECT_EQ(GetLastError(), 1113u);
}

TEST(CodePage, BufferSizes)
{
    const std::u16string_view wide = u"ab\u20AC";  // 5 bytes in UTF-8
    char bytes[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.data(), 3, nullptr, 0, nullptr, nullptr), 5);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.data(), 3, bytes, 0, nullptr, nullptr), 5);
    std::memset(bytes, '#', sizeof bytes);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.data(), 3, bytes, 5, nullptr, nullptr), 5);
    EXPECT_EQ(bytes[5], '#') << "wrote past the size that fits exactly";
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.data(), 3, bytes, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ab", -1, bytes, 8, nullptr, nullptr), 3);
    EXPECT_EQ(bytes[2], '\0') << "length -1 includes the terminator";

    char16_t units[4];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, nullptr, 0), 2);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, units, 2), 2);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, units, 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    BOOL used = FALSE;
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, bytes, 8, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "UTF-8 takes no used-default flag";
    EXPECT_EQ(WideCharToMultiByte(437, 0, u"a", 1, bytes, 8, nullptr, nullptr), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, units, 4), 0);
}

// The ANSI code page is read once per process, so each choice runs in a
// fresh child process.
TEST(CodePage, AnsiCodePageFollowsTheEnvironment)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* setting;
        UINT expected;
    } cases[] = {{nullptr, CP_UTF8},
                 {"1252", CP_1252},
                 {"Windows-1252", CP_1252},
                 {"CP1252", CP_1252},
                 {"850", CP_UTF8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting != nullptr ? c.setting : "(unset)");
        if (c.setting != nullptr) {
            vh::test::set_environment("VORNHALL_CODEPAGE", c.setting);
        } else {
            vh::test::unset_environment("VORNHALL_CODEPAGE");
        }
        const std::string euro = c.expected == CP_1252 ? "\x80" : "\xE2\x82\xAC";
        EXPECT_EXIT(std::exit(GetACP() == c.expected && to_bytes(CP_ACP, u"\u20AC") == euro ? 0 : 1),
                    testing::ExitedWithCode(0), "");
    }
    vh::test::unset_environment("VORNHALL_CODEPAGE");
}

TEST(LastError, IsPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen_by_thread = 1;
    std::thread([&] {
        seen_by_thread = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    }).join();
    EXPECT_EQ(seen_by_thread, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
