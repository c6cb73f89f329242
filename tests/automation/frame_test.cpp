// The calling frame: status, emptied results after a failure, the result
// stored after the reference is released, by-reference writes kept.
#include <gtest/gtest.h>

#include "automation/frame.h"

namespace vh {
namespace {

// Stands in for an object: counts references and records, at the release,
// what the caller's result variable held.
struct Self {
    int references = 1;
    int releases = 0;
    const BSTR* watched = nullptr;
    bool result_set_before_release = false;

    void AddRef() { ++references; }
    void Release()
    {
        --references;
        ++releases;
        result_set_before_release = watched != nullptr && *watched != nullptr;
    }
};

TEST(Frame, SuccessStoresTheResultAfterTheReleaseAndReturnsZero)
{
    Self self;
    BSTR result = reinterpret_cast<BSTR>(0x1);  // garbage the member must not free
    self.watched = &result;
    const HRESULT status = run_member(&self, &result, [&](Bstr& out) {
        EXPECT_EQ(self.references, 2);
        out = Bstr(u"done");
    });
    EXPECT_EQ(status, S_OK);
    EXPECT_FALSE(self.result_set_before_release);
    EXPECT_EQ(self.references, 1);
    EXPECT_EQ(Bstr::attach(result).view(), u"done");
}

TEST(Frame, ErrorBecomesStatusAndOwningResultsComeBackEmpty)
{
    Self self;
    BSTR text = nullptr;
    EXPECT_EQ(run_member(&self, &text,
                         [](Bstr& out) {
                             out = Bstr(u"partial");
                             raise_error(err::overflow);
                         }),
              static_cast<HRESULT>(0x800A0006));
    EXPECT_EQ(text, nullptr);

    VARIANT value;
    EXPECT_EQ(run_member(&self, &value,
                         [](Variant& out) {
                             out = Variant::from_int32(5);
                             raise_error(err::subscript);
                         }),
              static_cast<HRESULT>(0x800A0009));
    EXPECT_EQ(value.vt, VT_EMPTY);

    // A number keeps what the body had assigned.
    LONG number = 0;
    EXPECT_EQ(run_member(&self, &number,
                         [](LONG& out) {
                             out = -1;
                             raise_status(E_ACCESSDENIED);
                         }),
              E_ACCESSDENIED);
    EXPECT_EQ(number, -1);
    EXPECT_EQ(self.references, 1);
    EXPECT_EQ(self.releases, 3);
}

TEST(Frame, ByReferenceWritesSurviveAFailure)
{
    Self self;
    BSTR variable = SysAllocString(ole(u"before"));
    const HRESULT status = run_member(&self, [&] {
        assign(variable, Bstr(u"written"));
        throw std::bad_alloc();
    });
    EXPECT_EQ(status, error_status(err::out_of_memory));
    EXPECT_EQ(Bstr::attach(variable).view(), u"written");
}

TEST(Frame, NullResultAddressIsRefusedWithoutRunningTheBody)
{
    Self self;
    bool ran = false;
    EXPECT_EQ(run_member(&self, static_cast<BSTR*>(nullptr), [&](Bstr&) { ran = true; }), E_POINTER);
    EXPECT_FALSE(ran);
    EXPECT_EQ(self.references, 1);
}

}  // namespace
}  // namespace vh
