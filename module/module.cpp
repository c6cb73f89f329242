// The module: its descriptor, class objects and exported entry points.
#include "module/module.h"

#include <atomic>

#include "automation/errors.h"
#include "automation/object.h"
#include "ini/ini_handler.h"
#include "registry/registry_handler.h"

namespace vh {

namespace module {

namespace {
std::atomic<long> live_objects{0};
std::atomic<long> locks{0};
}  // namespace

void object_created() noexcept
{
    ++live_objects;
}
void object_destroyed() noexcept
{
    --live_objects;
}
void lock(bool locked) noexcept
{
    locked ? ++locks : --locks;
}
bool in_use() noexcept
{
    return live_objects.load() > 0 || locks.load() > 0;
}

}  // namespace module

namespace {

template <class Make>
HRESULT create_with(Make make, REFIID riid, void** object) noexcept
{
    try {
        auto instance = make();
        return instance->QueryInterface(riid, object);
    } catch (...) {
        return status_at_edge();
    }
}

HRESULT create_ini_handler(REFIID riid, void** object)
{
    return create_with(make_ini_handler, riid, object);
}

HRESULT create_registry_handler(REFIID riid, void** object)
{
    return create_with(make_registry_handler, riid, object);
}

// The class object of one class: makes any number of independent objects,
// refuses aggregation. It lives as long as the module and keeps no count of
// its own; its locks keep the module loaded.
class ClassFactory final : public IClassFactory {
public:
    explicit constexpr ClassFactory(const ClassInfo& info) : m_info(info) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return m_info.create(riid, object);
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        module::lock(lock != FALSE);
        return S_OK;
    }

private:
    const ClassInfo& m_info;
};

const ProjectDescriptor descriptor{
    u"Vornhall",
    &LIBID_Vornhall,
    library_major_version,
    library_minor_version,
    {{
        {u"iniHandler", &CLSID_iniHandler, &IID__iniHandler, true, false, u"Apartment", &create_ini_handler},
        {u"RegistryHandler", &CLSID_RegistryHandler, &IID__RegistryHandler, true, false, u"Apartment",
         &create_registry_handler},
    }},
};

ClassFactory factories[] = {ClassFactory(descriptor.classes[0]), ClassFactory(descriptor.classes[1])};

}  // namespace

const ProjectDescriptor& project()
{
    return descriptor;
}

}  // namespace vh

extern "C" VH_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    for (std::size_t i = 0; i < vh::project().classes.size(); ++i) {
        if (clsid == *vh::project().classes[i].clsid) {
            return vh::factories[i].QueryInterface(riid, object);
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" VH_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return vh::module::in_use() ? S_FALSE : S_OK;
}
