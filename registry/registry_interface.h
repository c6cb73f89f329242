// RegistryHandler's binary interface: its identifiers, the root-key
// constants its members take, and its dual interface.
//
// The slot order is the order of the declarations here: callers that bind
// early reach the members by slot (7 to 14 after IUnknown's three and
// IDispatch's four), late-bound callers by the dispatch identifiers of the
// member table (registry/registry_members.cpp). The identifiers never change.
#pragma once

#include <cstdint>

#include "automation/interfaces.h"

namespace vh {

inline constexpr CLSID CLSID_RegistryHandler{
    0x4F9757BE, 0x84BD, 0x4CD9, {0xAC, 0xBD, 0xF2, 0xBB, 0xEA, 0x57, 0x41, 0xB7}};
inline constexpr IID IID__RegistryHandler{
    0xE56159CA, 0x16B0, 0x4D37, {0xA8, 0x87, 0x6D, 0x99, 0xBF, 0xDA, 0xA2, 0x60}};
inline constexpr GUID GUID_HKEYS{
    0xE47DB128, 0x5EEF, 0x4EB9, {0x99, 0x8F, 0xBD, 0x06, 0x58, 0x1A, 0x59, 0xB0}};

// A root key on the binary interface: a 32-bit integer. Members forward any
// value unchanged, also one outside the four named here.
enum class HKEYS : std::int32_t {
    classes_root = static_cast<std::int32_t>(0x80000000u),
    current_user = static_cast<std::int32_t>(0x80000001u),
    local_machine = static_cast<std::int32_t>(0x80000002u),
    users = static_cast<std::int32_t>(0x80000003u),
};

// Registry keys and values.
struct _RegistryHandler : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE CheckRegistryKey(HKEYS hKey, BSTR KeyName, LONG* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteRegValue(HKEYS vhRootKey, BSTR vstrKeyName, BSTR vstrValueName,
                                                    VARIANT vvntValue, BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadRegValue(HKEYS* RootKey, BSTR* sKey, BSTR* sValueName,
                                                   VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumKeys(HKEYS* RootKey, BSTR* sKey, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteKey(HKEYS* RootKey, BSTR* sKey) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteValue(HKEYS* RootKey, BSTR* sKey, BSTR* sValueName) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteAllValues(HKEYS* RootKey, BSTR* sKey, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumValues(HKEYS* RootKey, BSTR* sKey, VARIANT* result) = 0;
};

template <>
struct InterfaceId<_RegistryHandler> {
    static constexpr const IID& value = IID__RegistryHandler;
};

}  // namespace vh
