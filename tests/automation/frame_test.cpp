// The calling frame: status, emptied results after a failure, the result
// stored after the reference is released, by-reference writes kept; and
// the status an exception becomes at an exported edge, outside any frame.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <system_error>

#include "automation/frame.h"
#include "tests/support/temp_dir.h"

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

// Runs body as an exported edge does: whatever it throws becomes a status.
HRESULT at_edge(const std::function<void()>& body)
{
    try {
        body();
    } catch (...) {
        return status_at_edge();
    }
    return S_OK;
}

TEST(Edge, EachKindOfExceptionBecomesItsOwnStatus)
{
    EXPECT_EQ(at_edge([] { raise_error(err::type_mismatch); }), error_status(err::type_mismatch));
    EXPECT_EQ(at_edge([] { raise_status(E_ACCESSDENIED); }), E_ACCESSDENIED);
    EXPECT_EQ(at_edge([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(at_edge([] { throw std::runtime_error("not ours"); }), E_UNEXPECTED);
    EXPECT_EQ(at_edge([] { throw 1; }), E_UNEXPECTED);
}

TEST(Edge, AFileSystemErrorGivesTheStatusOfItsCodeNotOutOfMemory)
{
    const test::TempDir dir;
    EXPECT_EQ(at_edge([&] { (void)std::filesystem::file_size(dir.path() / "missing"); }),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    const auto system_error = [](std::errc code) {
        return at_edge([code] { throw std::system_error(std::make_error_code(code)); });
    };
    EXPECT_EQ(system_error(std::errc::permission_denied), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(system_error(std::errc::no_space_on_device), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    EXPECT_EQ(system_error(std::errc::not_enough_memory), E_OUTOFMEMORY);
    // A code without a Win32 counterpart, and even "no error", still fail.
    EXPECT_EQ(system_error(std::errc::broken_pipe), E_FAIL);
    EXPECT_EQ(at_edge([] { throw std::system_error(std::error_code()); }), E_FAIL);
}

}  // namespace
}  // namespace vh
