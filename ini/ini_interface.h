// iniHandler's binary interface: its identifiers and its dual interface.
//
// The slot order is the order of the declarations here: callers that bind
// early reach the members by slot (7 to 14 after IUnknown's three and
// IDispatch's four), late-bound callers by the dispatch identifiers of the
// member table (ini/ini_members.cpp). The identifiers never change.
#pragma once

#include "automation/interfaces.h"

namespace vh {

inline constexpr CLSID CLSID_iniHandler{
    0xE624E580, 0x5F64, 0x453C, {0x81, 0x59, 0xE7, 0xA5, 0x93, 0x79, 0x3B, 0x4D}};
inline constexpr IID IID__iniHandler{
    0x9B36F703, 0xBE38, 0x406D, {0xB2, 0x5A, 0x3F, 0x63, 0x97, 0x2A, 0xD6, 0x48}};

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

template <>
struct InterfaceId<_iniHandler> {
    static constexpr const IID& value = IID__iniHandler;
};

}  // namespace vh
