// The in-process server protocol of ole32 as the Linux build sees it:
// apartments, creation of objects by class, the text form of GUIDs and the
// task allocator. Served by platform/linux/com/ole32.cpp.
//
// A class is found through the registration entries below
// HKEY_CLASSES_ROOT in the stand-in registry, as on Windows:
//   <ProgID>\CLSID                  (default) "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
//   CLSID\{...}\InprocServer32      (default) path of the module (a .so)
//   CLSID\{...}\ProgID              (default) the programmatic identifier
// Only in-process servers exist here. The value ThreadingModel is not
// consulted: every object is created on the caller's thread, in the
// caller's apartment, and no call is ever marshalled.
#pragma once

// ---- Statuses -------------------------------------------------------------------

constexpr HRESULT CO_E_NOTINITIALIZED = make_hresult(0x800401F0);
constexpr HRESULT CO_E_IIDSTRING = make_hresult(0x800401F4);
constexpr HRESULT REGDB_E_READREGDB = make_hresult(0x80040150);
constexpr HRESULT RPC_E_CHANGED_MODE = make_hresult(0x80010106);

// The statuses of a module that cannot be loaded, as LoadLibrary's errors
// reach a caller of CoCreateInstance on Windows.
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;   // 0x8007007E: no file at the path
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;  // 0x800700C1: a file that is not a loadable module

// ---- Class contexts and apartment models ------------------------------------------

enum CLSCTX : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_INPROC_SERVER16 = 0x8,
    CLSCTX_REMOTE_SERVER = 0x10,
};
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

enum COINIT : DWORD {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
};

// Identifies a remote machine; accepted and ignored, as only in-process
// servers exist here.
struct COAUTHINFO;
struct COSERVERINFO {
    DWORD dwReserved1;
    LPWSTR pwszName;
    COAUTHINFO* pAuthInfo;
    DWORD dwReserved2;
};

// A GUID's text, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", with its NUL.
constexpr int CHARS_IN_GUID = 39;

using LPCLSID = CLSID*;

inline constexpr CLSID CLSID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// ---- Apartments -------------------------------------------------------------------
//
// Each thread enters an apartment with CoInitializeEx and leaves it with as
// many CoUninitialize calls: the first call gives S_OK, each further call of
// the same model S_FALSE, one of the other model RPC_E_CHANGED_MODE (and
// counts for nothing). COINIT_APARTMENTTHREADED gives the thread an
// apartment of its own; otherwise it joins the process's one multithreaded
// apartment. While that apartment has a member, threads that never
// initialised belong to it too. Creating objects on a thread in no
// apartment fails with CO_E_NOTINITIALIZED, as on Windows; the text and
// memory functions need no apartment. pvReserved is ignored.

VH_PLATFORM_API HRESULT CoInitialize(LPVOID pvReserved);
VH_PLATFORM_API HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// When the thread's apartment ends, the modules it used that can be unloaded
// are unloaded (as CoFreeUnusedLibraries), and it stops holding the others.
VH_PLATFORM_API void CoUninitialize();

// ---- Creation by class ----------------------------------------------------------
//
// CoGetClassObject finds the class's module through the registration
// entries, loads it on first use and asks its DllGetClassObject for the
// class object. A module is loaded once per process (dlopen with RTLD_NOW |
// RTLD_LOCAL) and stays loaded until CoFreeUnusedLibraries, or the end of
// the apartments that used it, finds that its DllCanUnloadNow reports S_OK.
// A caller that keeps a class object between creations holds it locked
// (IClassFactory::LockServer), as everywhere.
//
// Failures, with the object pointer set to null:
//   CO_E_NOTINITIALIZED      the thread is in no apartment
//   REGDB_E_CLASSNOTREG      the class, its InprocServer32 key or its module
//                            path is not registered, or the context does not
//                            include CLSCTX_INPROC_SERVER
//   REGDB_E_READREGDB        the registry could not be read
//   0x8007007E               no module file at the registered path
//   0x800700C1               the file there cannot be loaded (not a module,
//                            or a library it needs is missing)
//   CO_E_ERRORINDLL          the module exports no DllGetClassObject
//   E_INVALIDARG             a null result pointer (CoGetClassObject)
//   otherwise                the status of DllGetClassObject
// CoCreateInstance (E_POINTER for a null result pointer) then passes outer
// and riid to IClassFactory::CreateInstance and returns its status, so a
// class that refuses aggregation gives CLASS_E_NOAGGREGATION.

VH_PLATFORM_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO* pServerInfo,
                                         REFIID riid, LPVOID* ppv);
VH_PLATFORM_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                         REFIID riid, LPVOID* ppv);
// Unloads the modules that the calling thread's apartment used, and those no
// apartment uses any more, whose DllCanUnloadNow reports S_OK and that no
// other apartment still uses. Does nothing on a thread in no apartment.
VH_PLATFORM_API void CoFreeUnusedLibraries();

// ---- Identifiers and their text ---------------------------------------------------
//
// The GUID text is "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" exactly: braces,
// hyphens, hexadecimal digits of either case, nothing after it.

// "<ProgID>\CLSID" below HKEY_CLASSES_ROOT. CO_E_CLASSSTRING when the ProgID
// is not registered or its class identifier is malformed, E_INVALIDARG for
// null arguments; lpclsid is CLSID_NULL on failure.
VH_PLATFORM_API HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);
// "CLSID\{...}\ProgID" below HKEY_CLASSES_ROOT, in memory from
// CoTaskMemAlloc that the caller frees with CoTaskMemFree.
// REGDB_E_CLASSNOTREG when there is none, E_INVALIDARG for a null pointer.
VH_PLATFORM_API HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
// A GUID text, or else a registered ProgID. A null text is CLSID_NULL.
// CO_E_CLASSSTRING for anything else; pclsid is CLSID_NULL then.
VH_PLATFORM_API HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
// A GUID text only. A null text is IID_NULL; a text that is not 38
// characters long E_INVALIDARG; any other malformed text CO_E_IIDSTRING.
// lpiid is IID_NULL on failure.
VH_PLATFORM_API HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);
// Writes the GUID text with its NUL and returns CHARS_IN_GUID; returns 0
// and writes nothing when cchMax is smaller than that.
VH_PLATFORM_API int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

// ---- Task memory ------------------------------------------------------------------

VH_PLATFORM_API LPVOID CoTaskMemAlloc(SIZE_T cb);
VH_PLATFORM_API void CoTaskMemFree(LPVOID pv);
