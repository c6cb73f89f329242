// Creation by name as a client meets it: registration entries written into a
// private registry store, then ProgID to class identifier to module to
// object; the status of each way that fails; the text form of GUIDs; and
// the life of the loaded module across objects, locks and apartments.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "automation/values.h"
#include "module/vornhall.h"
#include "platform/linux/loaded_library.h"
#include "platform/win32.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

namespace {

using vh::ComPtr;

constexpr CLSID unregistered_clsid{0x0BADC1A5, 0x5E00, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
void* const sentinel = reinterpret_cast<void*>(0xBADF00D);

std::string text_of(const GUID& guid)
{
    OLECHAR wide[CHARS_IN_GUID];
    EXPECT_EQ(StringFromGUID2(guid, wide, CHARS_IN_GUID), CHARS_IN_GUID);
    return std::string(wide, wide + CHARS_IN_GUID - 1);
}

// HKEY_CLASSES_ROOT\path gets the default value `value`.
void set_default(const std::string& path, const std::string& value, DWORD type = REG_SZ)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    EXPECT_EQ(RegSetValueExA(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

std::string server_key(const CLSID& clsid)
{
    return "CLSID\\" + text_of(clsid) + "\\InprocServer32";
}

void register_class(const std::string& prog_id, const CLSID& clsid, const std::string& module)
{
    set_default(prog_id + "\\CLSID", text_of(clsid));
    set_default(server_key(clsid), module);
    set_default("CLSID\\" + text_of(clsid) + "\\ProgID", prog_id);
}

// Whether the component's module is in the process now; does not load it.
bool module_loaded()
{
    return static_cast<bool>(vh::LoadedLibrary(VH_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD));
}

HRESULT create(const CLSID& clsid, ComPtr<IDispatch>& object)
{
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                            reinterpret_cast<void**>(object.put()));
}

HRESULT class_object(const CLSID& clsid, ComPtr<IClassFactory>& factory)
{
    return CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                            reinterpret_cast<void**>(factory.put()));
}

class Ole32 : public ::testing::Test {
protected:
    void SetUp() override
    {
        vh::test::set_environment("VORNHALL_REGISTRY", m_dir.file("registry.db").c_str());
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        register_class("Vornhall.iniHandler", vh::CLSID_iniHandler, VH_MODULE_PATH);
        register_class("Vornhall.RegistryHandler", vh::CLSID_RegistryHandler, VH_MODULE_PATH);
    }
    void TearDown() override { CoUninitialize(); }

    vh::test::TempDir m_dir;
};

TEST_F(Ole32, CreatesEachClassByProgIdAndByClassIdentifier)
{
    struct Row {
        std::u16string_view prog_id;  // as a caller spells it: names are case-insensitive
        std::u16string_view registered;
        const CLSID* clsid;
        const IID* interface;
    };
    const Row rows[] = {
        {u"Vornhall.iniHandler", u"Vornhall.iniHandler", &vh::CLSID_iniHandler, &vh::IID__iniHandler},
        {u"VORNHALL.REGISTRYHANDLER", u"Vornhall.RegistryHandler", &vh::CLSID_RegistryHandler,
         &vh::IID__RegistryHandler},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.registered.begin(), row.registered.end()));
        CLSID clsid = unregistered_clsid;
        ASSERT_EQ(CLSIDFromProgID(std::u16string(row.prog_id).c_str(), &clsid), S_OK);
        EXPECT_EQ(clsid, *row.clsid);

        // The class's own interface: the module made an object of that class.
        ComPtr<IUnknown> object;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, *row.interface,
                                   reinterpret_cast<void**>(object.put())),
                  S_OK);
        EXPECT_TRUE(object);

        LPOLESTR prog_id = nullptr;
        ASSERT_EQ(ProgIDFromCLSID(clsid, &prog_id), S_OK);
        EXPECT_EQ(std::u16string_view(prog_id), row.registered);
        CoTaskMemFree(prog_id);
    }
}

TEST_F(Ole32, TakesTheModulePathQuotedOrWithEnvironmentReferences)
{
    const std::filesystem::path module(VH_MODULE_PATH);
    vh::test::set_environment("VH_OLE32_TEST_MODULE_DIR", module.parent_path().c_str());
    set_default(server_key(vh::CLSID_iniHandler), "\"" + module.string() + "\"");
    set_default(server_key(vh::CLSID_RegistryHandler),
                "%VH_OLE32_TEST_MODULE_DIR%/" + module.filename().string(), REG_EXPAND_SZ);
    ComPtr<IDispatch> object;
    EXPECT_EQ(create(vh::CLSID_iniHandler, object), S_OK);
    EXPECT_EQ(create(vh::CLSID_RegistryHandler, object), S_OK);
}

TEST_F(Ole32, FailedCreationsGiveTheStatusOfTheirCauseAndNoObject)
{
    const CLSID made_up{0x0BADC1A5, 0x5E00, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x02}};
    const std::string not_a_module = m_dir.file("text.so");
    vh::test::write_file(not_a_module, "not a module\n");
    struct Row {
        const char* cause;
        std::string registered_path;  // under made_up; none when empty
        const CLSID* clsid;
        DWORD context;
        HRESULT expected;
    };
    const Row rows[] = {
        {"class not registered", "", &unregistered_clsid, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
        {"no in-process server asked for", "", &vh::CLSID_iniHandler, CLSCTX_LOCAL_SERVER,
         REGDB_E_CLASSNOTREG},
        {"no file at the path", m_dir.file("missing.so"), &made_up, CLSCTX_INPROC_SERVER,
         HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
        {"a file that is not a module", not_a_module, &made_up, CLSCTX_INPROC_SERVER,
         HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)},
        {"a module without DllGetClassObject", VH_PLATFORM_PATH, &made_up, CLSCTX_INPROC_SERVER,
         CO_E_ERRORINDLL},
        {"a module that does not serve the class", VH_MODULE_PATH, &made_up, CLSCTX_INPROC_SERVER,
         CLASS_E_CLASSNOTAVAILABLE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cause);
        if (!row.registered_path.empty()) {
            set_default(server_key(made_up), row.registered_path);
        }
        void* object = sentinel;
        EXPECT_EQ(CoCreateInstance(*row.clsid, nullptr, row.context, IID_IDispatch, &object), row.expected);
        EXPECT_EQ(object, nullptr);
        object = sentinel;
        EXPECT_EQ(CoGetClassObject(*row.clsid, row.context, nullptr, IID_IClassFactory, &object),
                  row.expected);
        EXPECT_EQ(object, nullptr);
    }
    // A class key without a server, and a server without a path, are no registration.
    set_default("CLSID\\" + text_of(unregistered_clsid), "name only");
    set_default(server_key(made_up), "");
    for (const CLSID* clsid : {&unregistered_clsid, &made_up}) {
        void* object = sentinel;
        EXPECT_EQ(CoCreateInstance(*clsid, nullptr, CLSCTX_ALL, IID_IDispatch, &object), REGDB_E_CLASSNOTREG);
        EXPECT_EQ(object, nullptr);
    }
}

TEST_F(Ole32, RelativeModulePathsAreRefusedAsMissing)
{
    // A module planted where a relative path would find it from the folder
    // the process is in, and a bare name the library search path would
    // resolve: neither is loaded.
    const std::filesystem::path planted = m_dir.path() / "native" / "Vornhall.so";
    std::filesystem::create_directories(planted.parent_path());
    std::filesystem::copy_file(VH_MODULE_PATH, planted);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.path());
    for (const char* path : {"./native/Vornhall.so", "native/Vornhall.so", "Vornhall.so", "libc.so.6"}) {
        SCOPED_TRACE(path);
        set_default(server_key(vh::CLSID_iniHandler), path);
        void* object = sentinel;
        EXPECT_EQ(
            CoCreateInstance(vh::CLSID_iniHandler, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &object),
            HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
        EXPECT_EQ(object, nullptr);
    }
    std::filesystem::current_path(previous);
    EXPECT_FALSE(vh::LoadedLibrary(planted.c_str(), RTLD_NOW | RTLD_NOLOAD));
}

TEST_F(Ole32, NamesThatLeadToNoClass)
{
    set_default("Vornhall.Broken\\CLSID", text_of(vh::CLSID_iniHandler).substr(0, 37));  // closing brace lost
    for (const char16_t* prog_id :
         {u"Vornhall.Unknown", u"Vornhall.Broken", u"", u"Vornhall.iniHandler\xD800"}) {
        CLSID clsid = unregistered_clsid;
        EXPECT_EQ(CLSIDFromProgID(prog_id, &clsid), CO_E_CLASSSTRING);
        EXPECT_EQ(clsid, CLSID_NULL);
    }

    LPOLESTR prog_id = reinterpret_cast<LPOLESTR>(sentinel);
    EXPECT_EQ(ProgIDFromCLSID(unregistered_clsid, &prog_id), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(prog_id, nullptr);
}

TEST_F(Ole32, RefusesAggregationWithoutKeepingTheOuterObject)
{
    struct Outer final : IUnknown {
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
        {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
        ULONG STDMETHODCALLTYPE Release() override { return --references; }
        ULONG references = 1;
    } outer;
    void* object = sentinel;
    EXPECT_EQ(CoCreateInstance(vh::CLSID_iniHandler, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(outer.references, 1U);
}

TEST_F(Ole32, GuidTextRoundTripsAndMalformedTextIsRefused)
{
    const GUID all_ones{0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    for (const GUID& guid : {vh::CLSID_iniHandler, IID_IDispatch, all_ones}) {
        OLECHAR text[CHARS_IN_GUID + 1];
        std::fill(std::begin(text), std::end(text), u'#');
        ASSERT_EQ(StringFromGUID2(guid, text, CHARS_IN_GUID), CHARS_IN_GUID);
        EXPECT_EQ(text[CHARS_IN_GUID], u'#');
        CLSID clsid = unregistered_clsid;
        EXPECT_EQ(CLSIDFromString(text, &clsid), S_OK);
        EXPECT_EQ(clsid, guid);
        IID iid = IID_IUnknown;
        EXPECT_EQ(IIDFromString(text, &iid), S_OK);
        EXPECT_EQ(iid, guid);
    }
    OLECHAR text[CHARS_IN_GUID];
    ASSERT_EQ(StringFromGUID2(IID_IDispatch, text, CHARS_IN_GUID), CHARS_IN_GUID);
    EXPECT_EQ(std::u16string_view(text), u"{00020400-0000-0000-C000-000000000046}");
    std::fill(std::begin(text), std::end(text), u'#');
    EXPECT_EQ(StringFromGUID2(IID_IDispatch, text, CHARS_IN_GUID - 1), 0);  // one short: nothing written
    EXPECT_EQ(text[0], u'#');

    CLSID clsid = unregistered_clsid;
    EXPECT_EQ(CLSIDFromString(u"{00020400-0000-0000-c000-000000000046}", &clsid), S_OK);
    EXPECT_EQ(clsid, IID_IDispatch);
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_NULL);
    EXPECT_EQ(CLSIDFromString(u"Vornhall.iniHandler", &clsid), S_OK);  // a ProgID is taken too
    EXPECT_EQ(clsid, vh::CLSID_iniHandler);

    struct Row {
        const char16_t* text;
        HRESULT iid_status;  // CLSIDFromString gives CO_E_CLASSSTRING for all
    };
    const Row malformed[] = {
        {u"", E_INVALIDARG},
        {u"00020400-0000-0000-C000-000000000046", E_INVALIDARG},     // no braces
        {u"{00020400-0000-0000-C000-00000000004}", E_INVALIDARG},    // a digit short
        {u"{00020400-0000-0000-C000-000000000046} ", E_INVALIDARG},  // text after it
        {u"{0002040G-0000-0000-C000-000000000046}", CO_E_IIDSTRING},
        {u"{00020400-0000-0000-C000-00000000004\xFF16}", CO_E_IIDSTRING},  // a fullwidth digit
        {u"{00020400-0000-0000-C0000-00000000046}", CO_E_IIDSTRING},       // hyphen moved
        {u"[00020400-0000-0000-C000-000000000046]", CO_E_IIDSTRING},
    };
    for (const Row& row : malformed) {
        SCOPED_TRACE(std::string(row.text, row.text + std::char_traits<char16_t>::length(row.text)));
        clsid = unregistered_clsid;
        EXPECT_EQ(CLSIDFromString(row.text, &clsid), CO_E_CLASSSTRING);
        EXPECT_EQ(clsid, CLSID_NULL);
        IID iid = IID_IUnknown;
        EXPECT_EQ(IIDFromString(row.text, &iid), row.iid_status);
        EXPECT_EQ(iid, IID_NULL);
    }
}

TEST_F(Ole32, LoadsTheModuleOnceForAllApartments)
{
    // Apartments of their own on several threads ask at once; each keeps its
    // apartment until all have their class object.
    constexpr int threads = 4;
    std::vector<IClassFactory*> seen(threads, nullptr);
    std::latch all_asked(threads);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&, i] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            ComPtr<IClassFactory> factory;
            if (class_object(vh::CLSID_iniHandler, factory) == S_OK) {
                seen[static_cast<std::size_t>(i)] = factory.get();
            }
            ComPtr<IDispatch> object;
            EXPECT_EQ(create(vh::CLSID_iniHandler, object), S_OK);
            all_asked.arrive_and_wait();
            object.reset();
            factory.reset();
            CoUninitialize();
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    ASSERT_NE(seen[0], nullptr);
    for (IClassFactory* factory : seen) {
        EXPECT_EQ(factory, seen[0]);
    }
    // The last of those apartments to end unloaded the module.
    EXPECT_FALSE(module_loaded());

    ComPtr<IClassFactory> first;
    ComPtr<IClassFactory> second;
    ASSERT_EQ(class_object(vh::CLSID_iniHandler, first), S_OK);
    ASSERT_EQ(class_object(vh::CLSID_iniHandler, second), S_OK);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_TRUE(module_loaded());
}

TEST_F(Ole32, UnloadsTheModuleOnlyWhenNothingNeedsIt)
{
    ComPtr<IDispatch> object;
    ASSERT_EQ(create(vh::CLSID_RegistryHandler, object), S_OK);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(module_loaded()) << "an object lives";

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(class_object(vh::CLSID_iniHandler, factory), S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    object.reset();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(module_loaded()) << "a class object is locked";

    factory->LockServer(FALSE);
    factory.reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(module_loaded());

    // Another apartment that uses the module keeps it, with nothing alive.
    std::latch loaded(1);
    std::latch freed(1);
    std::thread other([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ComPtr<IClassFactory> its_factory;
        EXPECT_EQ(class_object(vh::CLSID_iniHandler, its_factory), S_OK);
        its_factory.reset();
        loaded.count_down();
        freed.wait();
        CoUninitialize();
    });
    loaded.wait();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(module_loaded()) << "the other apartment still uses it";
    freed.count_down();
    other.join();
    EXPECT_FALSE(module_loaded()) << "the other apartment's end unloads it";

    ASSERT_EQ(create(vh::CLSID_RegistryHandler, object), S_OK);  // and it loads again
}

TEST_F(Ole32, CreatesOnlyInsideAnApartment)
{
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);  // counts for nothing
    CoUninitialize();
    CoUninitialize();
    ComPtr<IDispatch> object;
    EXPECT_EQ(create(vh::CLSID_iniHandler, object), S_OK) << "one initialisation is left";
    object.reset();
    CoUninitialize();

    void* raw = sentinel;
    EXPECT_EQ(CoCreateInstance(vh::CLSID_iniHandler, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &raw),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(raw, nullptr);
    raw = sentinel;
    EXPECT_EQ(CoGetClassObject(vh::CLSID_iniHandler, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &raw),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(raw, nullptr);
    CoUninitialize();  // one too many: nothing happens

    // A thread in no apartment belongs to the multithreaded one while that
    // has a member.
    std::latch joined(1);
    std::latch done(1);
    std::thread member([&] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        joined.count_down();
        done.wait();
        CoUninitialize();
    });
    joined.wait();
    EXPECT_EQ(create(vh::CLSID_iniHandler, object), S_OK);
    object.reset();
    done.count_down();
    member.join();
    EXPECT_EQ(create(vh::CLSID_iniHandler, object), CO_E_NOTINITIALIZED);
    EXPECT_FALSE(module_loaded()) << "the multithreaded apartment's end unloads it";

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);  // for TearDown
}

}  // namespace
