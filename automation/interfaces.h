// What the binary interfaces of both classes share: the automation runtime's
// collection interface, which their listings return, and the map from an
// interface to its identifier that QueryInterface and the member tables use.
// Each class declares its own interface beside it (ini/, registry/).
//
// The slot order of an interface is the order of its declarations: callers
// that bind early reach the members by slot (7 to 11 here, after IUnknown's
// three and IDispatch's four), late-bound callers by the dispatch
// identifiers of the member table (automation/members.cpp).
#pragma once

#include "platform/win32.h"

namespace vh {

// The automation runtime's collection interface, which the listings return.
inline constexpr IID IID__Collection{
    0xA4C46780, 0x499F, 0x101B, {0xBB, 0x78, 0x00, 0xAA, 0x00, 0x38, 0x3C, 0xBB}};

// An ordered, 1-based collection of Variants, optionally keyed.
struct _Collection : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Item(VARIANT* Index, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Add(VARIANT* Item, VARIANT* Key, VARIANT* Before, VARIANT* After) = 0;
    virtual HRESULT STDMETHODCALLTYPE Count(LONG* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Remove(VARIANT* Index) = 0;
    virtual HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** result) = 0;
};

// The identifier of each interface, for QueryInterface and the tables; each
// interface's header adds its own.
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

}  // namespace vh
