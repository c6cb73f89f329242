// Registration through the module's own entry points, on a private store.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "module/vornhall.h"
#include "platform/linux/loaded_library.h"
#include "tests/support/environment.h"
#include "tests/support/registry_dump.h"
#include "tests/support/temp_dir.h"

namespace vh {
namespace {

using EntryPoint = HRESULT (*)();

class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        vh::test::set_environment("VORNHALL_REGISTRY", (dir.path() / "registry.db").c_str());
        ASSERT_TRUE(module) << dlerror();
        register_server = module.function<EntryPoint>("DllRegisterServer");
        unregister_server = module.function<EntryPoint>("DllUnregisterServer");
        ASSERT_NE(register_server, nullptr);
        ASSERT_NE(unregister_server, nullptr);
    }

    static std::string read(const std::string& path, const char* name = "")
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return "(no key)";
        }
        char data[1024] = {};
        DWORD size = sizeof data;
        DWORD type = 0;
        const LSTATUS status =
            RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS && type == REG_SZ ? std::string(data) : "(no value)";
    }

    static void write(const std::string& path, const char* name, const std::string& text)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  0L);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
        RegCloseKey(key);
    }

    test::TempDir dir;
    const vh::LoadedLibrary module{VH_MODULE_PATH};
    EntryPoint register_server = nullptr;
    EntryPoint unregister_server = nullptr;
};

constexpr const char* ini_clsid = "{E624E580-5F64-453C-8159-E7A593793B4D}";
constexpr const char* registry_clsid = "{4F9757BE-84BD-4CD9-ACBD-F2BBEA5741B7}";
constexpr const char* library = "{9AA599D3-6200-4C50-9170-E9F24249295A}";

TEST_F(Registration, WritesTheEntriesOfAnInProcessAutomationServer)
{
    ASSERT_EQ(register_server(), S_OK);
    EXPECT_EQ(read("Vornhall.iniHandler\\CLSID"), ini_clsid);
    EXPECT_EQ(read("Vornhall.RegistryHandler\\CLSID"), registry_clsid);
    const std::string clsid = std::string("CLSID\\") + ini_clsid;
    EXPECT_EQ(read(clsid + "\\InprocServer32"), VH_MODULE_PATH);
    EXPECT_EQ(read(clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(read(clsid + "\\ProgID"), "Vornhall.iniHandler");
    EXPECT_EQ(read(clsid + "\\TypeLib"), library);
    const std::string iid = "Interface\\{9B36F703-BE38-406D-B25A-3F63972AD648}";
    EXPECT_EQ(read(iid), "_iniHandler");
    EXPECT_EQ(read(iid + "\\ProxyStubClsid32"), "{00020424-0000-0000-C000-000000000046}");
    EXPECT_EQ(read(iid + "\\TypeLib", "Version"), "5.0");
    EXPECT_EQ(read(std::string("TypeLib\\") + library + "\\5.0\\0\\win32"), VH_MODULE_PATH);
    EXPECT_EQ(read(std::string("TypeLib\\") + library + "\\5.0"), "Vornhall");
}

TEST_F(Registration, RegisteringTwiceChangesNothingAndUnregisteringRestoresTheStore)
{
    const std::string before = test::dump(HKEY_CLASSES_ROOT);
    ASSERT_EQ(register_server(), S_OK);
    const std::string registered = test::dump(HKEY_CLASSES_ROOT);
    ASSERT_EQ(register_server(), S_OK);
    EXPECT_EQ(test::dump(HKEY_CLASSES_ROOT), registered);
    ASSERT_EQ(unregister_server(), S_OK);
    EXPECT_EQ(test::dump(HKEY_CLASSES_ROOT), before);
    EXPECT_EQ(unregister_server(), S_OK) << "unregistering what is not there is harmless";
}

// A module in a folder whose name is not UTF-8 has no name a registration
// could lead back to: registering it fails and writes nothing.
TEST_F(Registration, AModuleWhosePathHasNoUnicodeFormIsNotRegistered)
{
    const std::filesystem::path folder = dir.path() / "bad\xFFname";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(VH_MODULE_PATH, folder / "Vornhall.so");
    const vh::LoadedLibrary copy((folder / "Vornhall.so").c_str());
    ASSERT_TRUE(copy) << dlerror();
    const std::string before = test::dump(HKEY_CLASSES_ROOT);
    EXPECT_EQ(copy.function<EntryPoint>("DllRegisterServer")(), SELFREG_E_CLASS);
    EXPECT_EQ(test::dump(HKEY_CLASSES_ROOT), before);
}

TEST_F(Registration, OtherServersEntriesAndForeignValuesStay)
{
    write("CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", "", "/other/server.so");
    write("Other.Server\\CLSID", "", "{11111111-2222-3333-4444-555555555555}");
    write("TypeLib\\{11111111-2222-3333-4444-555555555555}\\1.0", "", "Other");
    const std::string before = test::dump(HKEY_CLASSES_ROOT);
    ASSERT_EQ(register_server(), S_OK);
    ASSERT_EQ(unregister_server(), S_OK);
    EXPECT_EQ(test::dump(HKEY_CLASSES_ROOT), before);

    // A value someone else put into one of the server's keys keeps that key.
    ASSERT_EQ(register_server(), S_OK);
    write(std::string("CLSID\\") + ini_clsid, "Note", "kept");
    ASSERT_EQ(unregister_server(), S_OK);
    EXPECT_EQ(read(std::string("CLSID\\") + ini_clsid, "Note"), "kept");
    EXPECT_EQ(read("Vornhall.iniHandler\\CLSID"), "(no key)");
}

TEST_F(Registration, UnregisteringLeavesTheOtherKindsLibraryRegistration)
{
    // The other kind of the DLL (here the 64-bit one) registered side by side:
    // its file under its own platform key, the version's values shared.
    const std::string version = std::string("TypeLib\\") + library + "\\5.0";
    write(version + "\\0\\win64", "", "/other/kind/Vornhall.dll");
    write(version, "", "Vornhall");
    write(version + "\\FLAGS", "", "0");
    write(version + "\\HELPDIR", "", "/other/kind");
    ASSERT_EQ(register_server(), S_OK);
    ASSERT_EQ(unregister_server(), S_OK);
    EXPECT_EQ(read(version + "\\0\\win32"), "(no key)");
    EXPECT_EQ(read(version + "\\0\\win64"), "/other/kind/Vornhall.dll");
    EXPECT_EQ(read(version), "Vornhall");
    EXPECT_EQ(read(version + "\\FLAGS"), "0");
    EXPECT_NE(read(version + "\\HELPDIR"), "(no key)");

    // Once the other kind is gone too, nothing of the library is left.
    ASSERT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, (version + "\\0\\win64").c_str()), 0L);
    ASSERT_EQ(register_server(), S_OK);
    ASSERT_EQ(unregister_server(), S_OK);
    EXPECT_EQ(read(std::string("TypeLib\\") + library), "(no key)");
}

}  // namespace
}  // namespace vh
