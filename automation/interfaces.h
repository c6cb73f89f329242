// The component's binary interface: identifiers, the root-key constants, the
// two dual interfaces and the collection interface its listings return.
//
// The slot order of each interface is the order of its declarations here;
// callers that bind early reach the members by slot (7 to 14 after
// IUnknown's three and IDispatch's four), late-bound callers by the
// dispatch identifiers in automation/members.cpp. The identifiers never change.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace vh {

// ---- Identifiers ----------------------------------------------------------------

inline constexpr GUID LIBID_Vornhall{
    0x9AA599D3, 0x6200, 0x4C50, {0x91, 0x70, 0xE9, 0xF2, 0x42, 0x49, 0x29, 0x5A}};
inline constexpr CLSID CLSID_iniHandler{
    0xE624E580, 0x5F64, 0x453C, {0x81, 0x59, 0xE7, 0xA5, 0x93, 0x79, 0x3B, 0x4D}};
inline constexpr IID IID__iniHandler{
    0x9B36F703, 0xBE38, 0x406D, {0xB2, 0x5A, 0x3F, 0x63, 0x97, 0x2A, 0xD6, 0x48}};
inline constexpr CLSID CLSID_RegistryHandler{
    0x4F9757BE, 0x84BD, 0x4CD9, {0xAC, 0xBD, 0xF2, 0xBB, 0xEA, 0x57, 0x41, 0xB7}};
inline constexpr IID IID__RegistryHandler{
    0xE56159CA, 0x16B0, 0x4D37, {0xA8, 0x87, 0x6D, 0x99, 0xBF, 0xDA, 0xA2, 0x60}};
inline constexpr GUID GUID_HKEYS{
    0xE47DB128, 0x5EEF, 0x4EB9, {0x99, 0x8F, 0xBD, 0x06, 0x58, 0x1A, 0x59, 0xB0}};
// The automation runtime's collection interface, which the listings return.
inline constexpr IID IID__Collection{
    0xA4C46780, 0x499F, 0x101B, {0xBB, 0x78, 0x00, 0xAA, 0x00, 0x38, 0x3C, 0xBB}};

inline constexpr unsigned short library_major_version = 5;
inline constexpr unsigned short library_minor_version = 0;

// ---- Root keys --------------------------------------------------------------------

// A root key on the binary interface: a 32-bit integer. Members forward any
// value unchanged, also one outside the four named here.
enum class HKEYS : std::int32_t {
    classes_root = static_cast<std::int32_t>(0x80000000u),
    current_user = static_cast<std::int32_t>(0x80000001u),
    local_machine = static_cast<std::int32_t>(0x80000002u),
    users = static_cast<std::int32_t>(0x80000003u),
};

// ---- Interfaces ---------------------------------------------------------------------

// An ordered, 1-based collection of Variants, optionally keyed.
struct _Collection : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Item(VARIANT* Index, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Add(VARIANT* Item, VARIANT* Key, VARIANT* Before, VARIANT* After) = 0;
    virtual HRESULT STDMETHODCALLTYPE Count(LONG* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Remove(VARIANT* Index) = 0;
    virtual HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** result) = 0;
};

// One profile (INI) file.
struct _iniHandler : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE put_FileName(BSTR INIFileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FileName(BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValue(BSTR Section, BSTR Key, BSTR DefaultValue, BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteValue(BSTR Section, BSTR Key, BSTR Value,
                                                 VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAllSections(_Collection** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAllKeys(BSTR Section, _Collection** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteSection(BSTR Section, VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteKey(BSTR Section, BSTR Key, VARIANT_BOOL* result) = 0;
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

// The identifier of each interface, for QueryInterface and the tables.
template <class I>
struct InterfaceId;
template <>
struct InterfaceId<IEnumVARIANT> {
    static constexpr const IID& value = IID_IEnumVARIANT;
};
template <>
struct InterfaceId<_Collection> {
    static constexpr const IID& value = IID__Collection;
};
template <>
struct InterfaceId<_iniHandler> {
    static constexpr const IID& value = IID__iniHandler;
};
template <>
struct InterfaceId<_RegistryHandler> {
    static constexpr const IID& value = IID__RegistryHandler;
};

}  // namespace vh
