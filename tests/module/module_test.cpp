// The module as a client meets it: loaded with dlopen, asked for class
// objects by class identifier, and unloadable only when nothing is alive.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "automation/values.h"
#include "module/vornhall.h"
#include "platform/linux/loaded_library.h"

namespace vh {
namespace {

using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNow = HRESULT (*)();

class Module : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(module) << dlerror();
        get_class_object = module.function<GetClassObject>("DllGetClassObject");
        can_unload_now = module.function<CanUnloadNow>("DllCanUnloadNow");
        ASSERT_NE(get_class_object, nullptr);
        ASSERT_NE(can_unload_now, nullptr);
    }

    ComPtr<IClassFactory> factory(const CLSID& clsid)
    {
        ComPtr<IClassFactory> result;
        EXPECT_EQ(get_class_object(clsid, IID_IClassFactory, reinterpret_cast<void**>(result.put())), S_OK);
        return result;
    }

    const vh::LoadedLibrary module{VH_MODULE_PATH};
    GetClassObject get_class_object = nullptr;
    CanUnloadNow can_unload_now = nullptr;
};

TEST_F(Module, ExportsOnlyItsEntryPoints)
{
    EXPECT_EQ(dlsym(module.get(), "make_ini_handler"), nullptr);
    EXPECT_EQ(dlsym(module.get(), "_ZN2vh16make_ini_handlerEv"), nullptr);
    EXPECT_NE(dlsym(module.get(), "DllRegisterServer"), nullptr);
    EXPECT_NE(dlsym(module.get(), "DllUnregisterServer"), nullptr);
}

TEST_F(Module, ClassObjectsCreateIndependentObjectsAndRefuseAggregation)
{
    ComPtr<IClassFactory> ini_factory = factory(CLSID_iniHandler);
    ASSERT_TRUE(ini_factory);
    ComPtr<_iniHandler> first;
    ComPtr<_iniHandler> second;
    ASSERT_EQ(ini_factory->CreateInstance(nullptr, IID__iniHandler, reinterpret_cast<void**>(first.put())),
              S_OK);
    ASSERT_EQ(ini_factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(second.put())),
              S_OK);
    EXPECT_NE(static_cast<void*>(first.get()), static_cast<void*>(second.get()));

    ComPtr<_RegistryHandler> registry;
    EXPECT_EQ(factory(CLSID_RegistryHandler)
                  ->CreateInstance(nullptr, IID__RegistryHandler, reinterpret_cast<void**>(registry.put())),
              S_OK);
    // The other class's interface is not there.
    void* wrong = reinterpret_cast<void*>(1);
    EXPECT_EQ(registry->QueryInterface(IID__iniHandler, &wrong), E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);

    IUnknown* outer = first.get();
    void* object = nullptr;
    EXPECT_EQ(ini_factory->CreateInstance(outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);

    EXPECT_EQ(get_class_object(IID__iniHandler, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(Module, CanUnloadOnlyWhenNoObjectLivesAndNoLockIsHeld)
{
    EXPECT_EQ(can_unload_now(), S_OK);
    ComPtr<IClassFactory> ini_factory = factory(CLSID_iniHandler);
    ComPtr<IDispatch> object;
    ASSERT_EQ(ini_factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(object.put())),
              S_OK);
    EXPECT_EQ(can_unload_now(), S_FALSE);
    object.reset();
    EXPECT_EQ(can_unload_now(), S_OK);
    ini_factory->LockServer(TRUE);
    EXPECT_EQ(can_unload_now(), S_FALSE);
    ini_factory->LockServer(FALSE);
    EXPECT_EQ(can_unload_now(), S_OK);
}

}  // namespace
}  // namespace vh
