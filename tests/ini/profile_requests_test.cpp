// The requests iniHandler makes of the profile service, as the service
// receives them: whether each string argument is a null pointer or text.
//
// This program defines the two profile functions itself, so the component's
// calls bind to them here; each records its arguments and passes the call on
// to the stand-in's own function.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <optional>
#include <string>
#include <vector>

#include "automation/interfaces.h"
#include "ini/ini_handler.h"
#include "ini/ini_interface.h"
#include "tests/support/environment.h"
#include "tests/support/late_bound.h"
#include "tests/support/temp_dir.h"

namespace {

// One request: the function's string arguments but the buffer, in its
// order, each "(null)" for a null pointer or its text between quotes.
std::vector<std::string> g_requests;

std::string shown(LPCSTR text)
{
    return text == nullptr ? "(null)" : "'" + std::string(text) + "'";
}

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                                          DWORD size, LPCSTR file_name)
{
    g_requests.push_back("read " + shown(section) + " " + shown(key) + " " + shown(default_value));
    static const auto real = next<decltype(&GetPrivateProfileStringA)>("GetPrivateProfileStringA");
    return real(section, key, default_value, buffer, size, file_name);
}

extern "C" BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file_name)
{
    g_requests.push_back("write " + shown(section) + " " + shown(key) + " " + shown(value));
    static const auto real = next<decltype(&WritePrivateProfileStringA)>("WritePrivateProfileStringA");
    return real(section, key, value, file_name);
}

namespace vh {
namespace {

class ProfileRequests : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::set_environment("VORNHALL_WINDIR", dir.path().string().c_str());
        ini = make_ini_handler();
        ASSERT_EQ(ini->put_FileName(Bstr(from_utf8(dir.file("a.ini"))).get()), S_OK);
        g_requests.clear();
    }

    test::TempDir dir;
    ComPtr<_iniHandler> ini;
};

TEST_F(ProfileRequests, AnOmittedDefaultArrivesAsAnEmptyString)
{
    // Late-bound with the default left out, and named as missing.
    IDispatch* object = ini.get();
    const Bstr section(u"s"), key(u"k");
    VARIANT s{};
    s.vt = VT_BSTR;
    s.bstrVal = section.get();
    VARIANT k = s;
    k.bstrVal = key.get();
    VARIANT missing{};
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    ASSERT_EQ(test::invoke(object, 0x60030001, DISPATCH_METHOD, {s, k}).status, S_OK);
    ASSERT_EQ(test::invoke(object, 0x60030001, DISPATCH_METHOD, {s, k, missing}).status, S_OK);
    // Through the table of operations a null string and an empty one stay
    // two requests up to the service.
    Bstr result;
    ASSERT_EQ(ini->GetValue(section.get(), key.get(), nullptr, result.put()), S_OK);
    ASSERT_EQ(ini->GetValue(section.get(), key.get(), Bstr(Text()).get(), result.put()), S_OK);
    EXPECT_EQ(g_requests, (std::vector<std::string>{"read 's' 'k' ''", "read 's' 'k' ''",
                                                    "read 's' 'k' (null)", "read 's' 'k' ''"}));
}

TEST_F(ProfileRequests, RemovalsAreTheirRequestShapes)
{
    VARIANT_BOOL done = VARIANT_FALSE;
    ASSERT_EQ(ini->WriteValue(Bstr(u"s").get(), Bstr(u"k").get(), Bstr(u"v").get(), &done), S_OK);
    ASSERT_EQ(ini->DeleteKey(Bstr(u"s").get(), Bstr(u"k").get(), &done), S_OK);
    ASSERT_EQ(ini->DeleteSection(Bstr(u"s").get(), &done), S_OK);
    EXPECT_EQ(g_requests,
              (std::vector<std::string>{"write 's' 'k' 'v'", "write 's' 'k' (null)", "write 's' (null) ''"}));
}

}  // namespace
}  // namespace vh
