// The Windows platform as the Linux build sees it.
//
// On Windows the component calls the system's own automation runtime
// (oleaut32), kernel32, advapi32 and ole32. On Linux the same functions are
// provided by libvornhall_platform.so, the stand-ins in this folder. This
// header declares the subset of types and functions the component and its
// clients use, with the Windows names and, where it matters (strings,
// Variants, safe arrays, interface tables), the Windows layout.
//
// Differences that cannot be avoided on Linux:
//  - OLECHAR is char16_t (wchar_t is 32 bits here);
//  - the calling-convention macros are empty;
//  - HKEY values are 32-bit numbers carried in a pointer type, as on Windows.
#pragma once

#include <cstddef>
#include <cstdint>

#define VH_PLATFORM_API extern "C" __attribute__((visibility("default")))

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define WINAPI
#define APIENTRY

// ---- Scalar types -----------------------------------------------------------

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using INT = int;
using UINT = unsigned int;
using BOOL = int;
using CHAR = char;
using FLOAT = float;
using DOUBLE = double;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LCID = DWORD;
using DISPID = LONG;
using MEMBERID = DISPID;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using DATE = double;
using LPVOID = void*;
using PVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;

using OLECHAR = char16_t;
using WCHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using BSTR = OLECHAR*;

union CY {
    struct {
        ULONG Lo;
        LONG Hi;
    } s;
    LONGLONG int64;
};

struct DECIMAL {
    USHORT wReserved;
    BYTE scale;
    BYTE sign;
    ULONG Hi32;
    ULONGLONG Lo64;
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// ---- GUIDs ------------------------------------------------------------------

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) noexcept
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}
inline bool IsEqualGUID(REFGUID a, REFGUID b) noexcept
{
    return a == b;
}
inline bool IsEqualIID(REFIID a, REFIID b) noexcept
{
    return a == b;
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) noexcept
{
    return a == b;
}

inline constexpr IID IID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IEnumVARIANT{0x00020404, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_ITypeInfo{0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// ---- Status codes -------------------------------------------------------------

constexpr HRESULT make_hresult(std::uint32_t v) noexcept
{
    return static_cast<HRESULT>(v);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = make_hresult(0x80004001);
constexpr HRESULT E_NOINTERFACE = make_hresult(0x80004002);
constexpr HRESULT E_POINTER = make_hresult(0x80004003);
constexpr HRESULT E_FAIL = make_hresult(0x80004005);
constexpr HRESULT E_UNEXPECTED = make_hresult(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = make_hresult(0x8007000E);
constexpr HRESULT E_INVALIDARG = make_hresult(0x80070057);
constexpr HRESULT E_ACCESSDENIED = make_hresult(0x80070005);
constexpr HRESULT CLASS_E_NOAGGREGATION = make_hresult(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = make_hresult(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = make_hresult(0x80040154);
constexpr HRESULT SELFREG_E_CLASS = make_hresult(0x80040201);
constexpr HRESULT CO_E_DLLNOTFOUND = make_hresult(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = make_hresult(0x800401F9);
constexpr HRESULT CO_E_CLASSSTRING = make_hresult(0x800401F3);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = make_hresult(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = make_hresult(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = make_hresult(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = make_hresult(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = make_hresult(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = make_hresult(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = make_hresult(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = make_hresult(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = make_hresult(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = make_hresult(0x8002000B);
constexpr HRESULT DISP_E_UNKNOWNLCID = make_hresult(0x8002000C);
constexpr HRESULT DISP_E_ARRAYISLOCKED = make_hresult(0x8002000D);
constexpr HRESULT DISP_E_BADPARAMCOUNT = make_hresult(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = make_hresult(0x8002000F);
constexpr HRESULT DISP_E_DIVBYZERO = make_hresult(0x80020012);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = make_hresult(0x8002802B);

constexpr bool SUCCEEDED(HRESULT hr) noexcept
{
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) noexcept
{
    return hr < 0;
}
constexpr HRESULT HRESULT_FROM_WIN32(unsigned long x) noexcept
{
    return static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x)
                                        : static_cast<HRESULT>((x & 0x0000FFFFu) | 0x80070000u);
}

// Win32 error codes used by the stand-ins.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_BADKEY = 1010;
constexpr DWORD ERROR_CANTOPEN = 1011;
constexpr DWORD ERROR_CANTREAD = 1012;
constexpr DWORD ERROR_CANTWRITE = 1013;

VH_PLATFORM_API DWORD GetLastError();
VH_PLATFORM_API void SetLastError(DWORD code);

// ---- Strings (BSTR) -----------------------------------------------------------
//
// A BSTR points at the text; the 32-bit byte length sits just before it and a
// 16-bit zero just after it. A null BSTR is the empty string with no storage.

VH_PLATFORM_API BSTR SysAllocString(const OLECHAR* text);
VH_PLATFORM_API BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
VH_PLATFORM_API BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length);
VH_PLATFORM_API INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
VH_PLATFORM_API void SysFreeString(BSTR text);
VH_PLATFORM_API UINT SysStringLen(BSTR text);
VH_PLATFORM_API UINT SysStringByteLen(BSTR text);

// ---- Variants -------------------------------------------------------------------

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_USERDEFINED = 29,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_RECORD = 36,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_RESERVED = 0x8000,
    VT_TYPEMASK = 0x0FFF,
};

struct SAFEARRAY;
struct IUnknown;
struct IDispatch;
struct VARIANT;

struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                LONG lVal;
                BYTE bVal;
                SHORT iVal;
                FLOAT fltVal;
                DOUBLE dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                CY cyVal;
                DATE date;
                BSTR bstrVal;
                IUnknown* punkVal;
                IDispatch* pdispVal;
                SAFEARRAY* parray;
                BYTE* pbVal;
                SHORT* piVal;
                LONG* plVal;
                LONGLONG* pllVal;
                FLOAT* pfltVal;
                DOUBLE* pdblVal;
                VARIANT_BOOL* pboolVal;
                SCODE* pscode;
                CY* pcyVal;
                DATE* pdate;
                BSTR* pbstrVal;
                IUnknown** ppunkVal;
                IDispatch** ppdispVal;
                SAFEARRAY** pparray;
                VARIANT* pvarVal;
                PVOID byref;
                CHAR cVal;
                USHORT uiVal;
                ULONG ulVal;
                ULONGLONG ullVal;
                INT intVal;
                UINT uintVal;
                DECIMAL* pdecVal;
                CHAR* pcVal;
                USHORT* puiVal;
                ULONG* pulVal;
                ULONGLONG* pullVal;
                INT* pintVal;
                UINT* puintVal;
            };
        };
        DECIMAL decVal;
    };
};
static_assert(sizeof(VARIANT) == 16, "a Variant is 16 bytes");

using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

// VariantChangeType flags.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

VH_PLATFORM_API void VariantInit(VARIANT* v);
VH_PLATFORM_API HRESULT VariantClear(VARIANT* v);
VH_PLATFORM_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
VH_PLATFORM_API HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
VH_PLATFORM_API HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);

// ---- Safe arrays ----------------------------------------------------------------

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

// rgsabound lists the dimensions last one first, as on Windows.
struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
};

constexpr USHORT FADF_AUTO = 0x0001;
constexpr USHORT FADF_STATIC = 0x0002;
constexpr USHORT FADF_EMBEDDED = 0x0004;
constexpr USHORT FADF_FIXEDSIZE = 0x0010;
constexpr USHORT FADF_RECORD = 0x0020;
constexpr USHORT FADF_HAVEIID = 0x0040;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

VH_PLATFORM_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds);
VH_PLATFORM_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower, ULONG count);
VH_PLATFORM_API HRESULT SafeArrayDestroy(SAFEARRAY* array);
VH_PLATFORM_API HRESULT SafeArrayRedim(SAFEARRAY* array, SAFEARRAYBOUND* last_bound);
VH_PLATFORM_API UINT SafeArrayGetDim(SAFEARRAY* array);
VH_PLATFORM_API UINT SafeArrayGetElemsize(SAFEARRAY* array);
VH_PLATFORM_API HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* upper);
VH_PLATFORM_API HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* lower);
VH_PLATFORM_API HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
VH_PLATFORM_API HRESULT SafeArrayLock(SAFEARRAY* array);
VH_PLATFORM_API HRESULT SafeArrayUnlock(SAFEARRAY* array);
VH_PLATFORM_API HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
VH_PLATFORM_API HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
VH_PLATFORM_API HRESULT SafeArrayPtrOfIndex(SAFEARRAY* array, LONG* indices, void** element);
VH_PLATFORM_API HRESULT SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value);
VH_PLATFORM_API HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value);
VH_PLATFORM_API HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy);

// ---- Interfaces ---------------------------------------------------------------
//
// COM interfaces are C++ classes with only pure virtual functions and no
// virtual destructor, so their function tables have the slot order of the
// declarations, as on Windows.

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct ITypeInfo;  // not provided on Linux: GetTypeInfoCount reports 0

struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

struct IDispatch : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                                    DISPID* ids) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags,
                                             DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                             UINT* arg_error) = 0;
};

struct IClassFactory : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};

struct IEnumVARIANT : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* items, ULONG* fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) = 0;
};

// ---- Code pages -----------------------------------------------------------------
//
// CP_ACP, the system's ANSI code page, is UTF-8 unless the environment
// variable VORNHALL_CODEPAGE selects 1252 (Windows-1252, default character
// "?"). The choice is read once per process.

constexpr UINT CP_ACP = 0;
// Characters the code page lacks become the default character, not a
// look-alike ("best fit").
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x400;
// Bytes that are no character fail the conversion instead of becoming U+FFFD.
constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
constexpr UINT CP_UTF8 = 65001;
constexpr UINT CP_1252 = 1252;

VH_PLATFORM_API UINT GetACP();
VH_PLATFORM_API int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length,
                                        LPSTR bytes, int byte_capacity, LPCSTR default_char,
                                        BOOL* used_default);
VH_PLATFORM_API int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR bytes, int byte_length,
                                        LPWSTR wide, int wide_capacity);

// ---- Profile (INI) files --------------------------------------------------------

VH_PLATFORM_API DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                                               DWORD size, LPCSTR file_name);
VH_PLATFORM_API BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file_name);

// ---- Case mapping ---------------------------------------------------------------
//
// The system's simple case mapping of UTF-16 code units (the BMP letters that
// have a one-to-one upper or lower form). Returns the count processed.

VH_PLATFORM_API DWORD CharLowerBuffW(LPWSTR text, DWORD length);
VH_PLATFORM_API DWORD CharUpperBuffW(LPWSTR text, DWORD length);

// ---- Fault injection (administration of the stand-ins, for tests) ---------------
//
// Arming a kind makes its nth operation from now on fail, once: an allocation
// of the automation runtime returns nothing, a write, fsync, rename or
// creating open of the profile service fails with the errno `failure`
// (ENOSPC when 0), a SQLite prepare or step of the registry store gives the
// result code `failure` (SQLITE_IOERR when 0). VH_FAULT_NEW is not hooked
// here: a test program that replaces the global operator new asks
// VhFaultHit(VH_FAULT_NEW) on each call and throws std::bad_alloc on TRUE.
// VhFaultCount gives the operations of the kind seen since arming, so that a
// test can arm n = 1, 2, ... until a run ends with the fault unused. A
// disarmed kind costs one relaxed atomic load per operation.

constexpr DWORD VH_FAULT_ALLOC = 1;
constexpr DWORD VH_FAULT_FILE_WRITE = 2;
constexpr DWORD VH_FAULT_SQLITE = 3;
constexpr DWORD VH_FAULT_NEW = 4;

VH_PLATFORM_API void VhFaultArm(DWORD kind, LONG nth, LONG failure);
VH_PLATFORM_API void VhFaultDisarm(DWORD kind);
VH_PLATFORM_API LONG VhFaultCount(DWORD kind);
// Counts one operation of the kind; TRUE when it is the one that must fail.
VH_PLATFORM_API BOOL VhFaultHit(DWORD kind);

// A record of the profile service's file operations, for tests of their
// order. VhFaultTrace(VH_TRACE_FILES) starts a fresh record and 0 stops it;
// with VH_TRACE_UNORDERED as well, every file system is taken for one that
// may record a rename before the renamed file's data, so that the service
// flushes the data itself. VhFaultTraced copies the record into the buffer
// (cut to fit, NUL-terminated) and returns its whole length: one line per
// operation, "create", "write", "reserve", "truncate", "sync" or "remove"
// and the file's name, or "rename" and both names (names without their
// directory).
constexpr DWORD VH_TRACE_FILES = 1;
constexpr DWORD VH_TRACE_UNORDERED = 2;

VH_PLATFORM_API void VhFaultTrace(DWORD flags);
VH_PLATFORM_API DWORD VhFaultTraced(LPSTR buffer, DWORD size);

#include "win32_ole.h"
#include "win32_registry.h"
