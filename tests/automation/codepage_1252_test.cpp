// With Windows-1252 as the ANSI code page (VORNHALL_CODEPAGE=1252, set by
// the test's registration): what the code page lacks comes back from the
// system calls as its default character, not as a look-alike.
#include <gtest/gtest.h>

#include "ini/ini_handler.h"
#include "registry/registry_handler.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

namespace vh {
namespace {

TEST(CodePage1252, ByReferencePathsComeBackWithTheDefaultCharacter)
{
    ASSERT_EQ(GetACP(), 1252u);
    test::TempDir dir;
    vh::test::set_environment("VORNHALL_REGISTRY", (dir.path() / "registry.db").c_str());
    auto registry = make_registry_handler();
    HKEYS root = HKEYS::current_user;
    Bstr path(u"Software\\\u0100\u20AC\u00E9");
    Variant listing;
    ASSERT_EQ(registry->EnumKeys(&root, &path.slot(), listing.put()), S_OK);
    EXPECT_EQ(path.view(), u"Software\\?\u20AC\u00E9");
}

TEST(CodePage1252, TheBoundFileNameKeepsWhatTheCodePageHas)
{
    test::TempDir dir;
    vh::test::set_environment("VORNHALL_WINDIR", dir.path().c_str());
    auto ini = make_ini_handler();
    // The file name in Windows-1252 bytes is what the file system sees.
    const Bstr name(concat(from_utf8(dir.file("")), u"caf\u00E9.ini").view());
    ASSERT_EQ(ini->put_FileName(name.get()), S_OK);
    Bstr value;
    ASSERT_EQ(ini->GetValue(Bstr(u"s").get(), Bstr(u"k").get(), Bstr(u"\u0100").get(), value.put()), S_OK);
    EXPECT_EQ(value.view(), u"?") << "the default comes back through the code page";
    Bstr bound;
    ASSERT_EQ(ini->get_FileName(bound.put()), S_OK);
    EXPECT_EQ(bound.view(), name.view());
}

}  // namespace
}  // namespace vh
