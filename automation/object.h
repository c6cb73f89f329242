// The common bases of the component's objects: reference counting and
// QueryInterface, and IDispatch served from the interface's member table.
#pragma once

#include <atomic>
#include <type_traits>

#include "automation/dispatch.h"
#include "automation/interfaces.h"
#include "automation/members.h"
#include "platform/win32.h"

namespace vh {

// What keeps the module loaded: live objects and locks on class objects.
namespace module {
void object_created() noexcept;
void object_destroyed() noexcept;
void lock(bool locked) noexcept;
// True while any object is alive or any class object is locked.
bool in_use() noexcept;
}  // namespace module

// Reference counting and QueryInterface for an object of one interface
// (and IDispatch, when the interface derives from it), counted among the
// objects that keep the module loaded.
template <class Interface>
class ComObject : public Interface {
public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == InterfaceId<Interface>::value ||
            (std::is_base_of_v<IDispatch, Interface> && riid == IID_IDispatch)) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }

    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    ComObject() noexcept { module::object_created(); }
    virtual ~ComObject() { module::object_destroyed(); }

private:
    std::atomic<ULONG> m_references{1};
};

// An object whose interface is dual: IDispatch served from its member table.
template <class Interface>
class DispatchObject : public ComObject<Interface> {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        return dispatch::type_info_count(table_of<Interface>(), count);
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override
    {
        return dispatch::type_info(table_of<Interface>(), index, lcid, info);
    }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override
    {
        return dispatch::ids_of_names(table_of<Interface>(), riid, names, count, ids);
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* arg_error) override
    {
        return dispatch::invoke(table_of<Interface>(), this, member, riid, flags, params, result, excep,
                                arg_error);
    }

protected:
    DispatchObject() noexcept = default;
};

}  // namespace vh
