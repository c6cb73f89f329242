// Creation of objects by name: the in-process server protocol of ole32 over
// the stand-in registry and dlopen.
//
// A name becomes an object in four steps. CLSIDFromProgID reads the default
// value of HKEY_CLASSES_ROOT\<ProgID>\CLSID, the class identifier as text.
// CoGetClassObject reads the module path from the default value of
// HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 (a REG_EXPAND_SZ has its
// %NAME% references expanded, and surrounding quotes are dropped, as ole32
// does). The module is loaded once per process with dlopen and kept in a
// process-wide table (module_table.h); its DllGetClassObject hands out the
// class object, and CoCreateInstance asks that for the object, passing the
// outer object on so that the class itself decides about aggregation.
//
// Apartments are a count per thread (CoInitializeEx and CoUninitialize) and
// an identity: each single-threaded apartment has its own, the process's
// multithreaded apartment one for as long as it has a member. Each loaded
// module records the apartments that used it. CoFreeUnusedLibraries lets go
// of a module for the calling apartment when its DllCanUnloadNow reports
// S_OK, and the module is unloaded once no apartment uses it; the end of an
// apartment does the same, then stops using the rest. So a thread never
// unloads a module from under another apartment, and a creation in progress
// holds its module so that no other thread of the multithreaded apartment
// unloads it between DllGetClassObject and CreateInstance. DllCanUnloadNow
// is called with the table locked and must not call back into these
// functions; dlclose runs after the lock is released, so the module's
// destructors may.
//
// The module path is bytes of the ANSI code page, handed to dlopen as they
// are, as the profile service hands file names to the file system. It must
// be absolute: a relative path is refused as a missing module.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/key_handle.h"
#include "platform/linux/com/module_table.h"
#include "platform/win32.h"

namespace {

constexpr DWORD wc_err_invalid_chars = 0x80;
constexpr int guid_length = CHARS_IN_GUID - 1;

template <class Body>
HRESULT guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// ---- GUID text ------------------------------------------------------------------

template <class Char>
int hex_digit(Char c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<int>(c - 'A') + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<int>(c - 'a') + 10;
    }
    return -1;
}

// Reads "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and nothing else.
template <class Char>
bool parse_guid(std::basic_string_view<Char> text, GUID& guid)
{
    if (text.size() != guid_length || text[0] != '{' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-' || text[37] != '}') {
        return false;
    }
    std::uint8_t bytes[16];
    std::size_t at = 1;
    for (std::uint8_t& byte : bytes) {
        if (at == 9 || at == 14 || at == 19 || at == 24) {
            ++at;
        }
        const int high = hex_digit(text[at]);
        const int low = hex_digit(text[at + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        byte = static_cast<std::uint8_t>(high * 16 + low);
        at += 2;
    }
    guid.Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
                 static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
    guid.Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return true;
}

// Writes the GUID's text with its NUL.
void format_guid(const GUID& guid, char (&text)[CHARS_IN_GUID])
{
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

std::u16string_view wide_view(LPCOLESTR text)
{
    return std::u16string_view(text);
}

// ---- Code-page conversion of names ------------------------------------------------

// The name in the ANSI code page; false when a character has no exact form
// there (a lone surrogate, or a character Windows-1252 lacks), so that such
// a name never matches another spelled with a replacement character.
bool to_ansi(std::u16string_view wide, std::string& bytes)
{
    bytes.clear();
    if (wide.empty()) {
        return true;
    }
    const int length = static_cast<int>(std::min<std::size_t>(wide.size(), 0x7FFFFFFF));
    BOOL used_default = FALSE;
    const int needed = WideCharToMultiByte(CP_ACP, wc_err_invalid_chars, wide.data(), length, nullptr, 0,
                                           nullptr, &used_default);
    if (needed <= 0 || used_default != FALSE) {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(needed));
    return WideCharToMultiByte(CP_ACP, wc_err_invalid_chars, wide.data(), length, bytes.data(), needed,
                               nullptr, nullptr) == needed;
}

std::u16string from_ansi(const std::string& bytes)
{
    if (bytes.empty()) {
        return {};
    }
    const int length = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) {
        throw std::bad_alloc();
    }
    std::u16string wide(static_cast<std::size_t>(needed), u'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, wide.data(), needed);
    return wide;
}

// ---- Registration entries ---------------------------------------------------------

// Opens path below HKEY_CLASSES_ROOT for reading.
LSTATUS open_for_reading(const std::string& path, vh::KeyHandle& key)
{
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.slot());
}

// The status for a registry lookup that failed: a key or value that is not
// there (or a name no key can have) is `missing`; a store that cannot be
// read is REGDB_E_READREGDB.
HRESULT lookup_failure(LSTATUS status, HRESULT missing)
{
    switch (status) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_PARAMETER:
        case ERROR_FILENAME_EXCED_RANGE:
            return missing;
        case ERROR_NOT_ENOUGH_MEMORY:
            return E_OUTOFMEMORY;
        default:
            return REGDB_E_READREGDB;
    }
}

// The key's default value as text, up to its first NUL. A value that is not
// a string names nothing and counts as missing.
LSTATUS read_default_text(HKEY key, std::string& text, DWORD& type)
{
    std::vector<char> buffer(64);
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        const LSTATUS status =
            RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
        if (status == ERROR_MORE_DATA) {
            buffer.resize(std::max<std::size_t>(size, buffer.size() * 2));  // it may grow meanwhile
            continue;
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            return ERROR_FILE_NOT_FOUND;
        }
        text.assign(buffer.data(), ::strnlen(buffer.data(), size));
        return ERROR_SUCCESS;
    }
}

// %NAME% replaced by the environment variable's value; a reference to an
// unset variable stays as it is, as ExpandEnvironmentStrings leaves it.
std::string expand_environment(const std::string& text)
{
    std::string result;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t open = text.find('%', at);
        const std::size_t close = open == std::string::npos ? std::string::npos : text.find('%', open + 1);
        if (close == std::string::npos) {
            break;
        }
        result.append(text, at, open - at);
        const std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value != nullptr) {
            result += value;
            at = close + 1;
        } else {
            result += '%';
            at = open + 1;  // the closing '%' may open the next reference
        }
    }
    result.append(text, at, std::string::npos);
    return result;
}

std::string clsid_key(REFCLSID clsid)
{
    char text[CHARS_IN_GUID];
    format_guid(clsid, text);
    return std::string("CLSID\\") + text;
}

HRESULT clsid_from_prog_id(std::u16string_view prog_id, CLSID& clsid)
{
    std::string name;
    if (!to_ansi(prog_id, name)) {
        return CO_E_CLASSSTRING;
    }
    vh::KeyHandle key;
    LSTATUS status = open_for_reading(name + "\\CLSID", key);
    if (status != ERROR_SUCCESS) {
        return lookup_failure(status, CO_E_CLASSSTRING);
    }
    std::string text;
    DWORD type = REG_NONE;
    status = read_default_text(key.get(), text, type);
    if (status != ERROR_SUCCESS) {
        return lookup_failure(status, CO_E_CLASSSTRING);
    }
    return parse_guid(std::string_view(text), clsid) ? S_OK : CO_E_CLASSSTRING;
}

// The registered path of the class's in-process server.
HRESULT server_path(REFCLSID clsid, std::string& path)
{
    vh::KeyHandle key;
    LSTATUS status = open_for_reading(clsid_key(clsid) + "\\InprocServer32", key);
    if (status != ERROR_SUCCESS) {
        return lookup_failure(status, REGDB_E_CLASSNOTREG);
    }
    DWORD type = REG_NONE;
    status = read_default_text(key.get(), path, type);
    if (status != ERROR_SUCCESS) {
        return lookup_failure(status, REGDB_E_CLASSNOTREG);
    }
    if (type == REG_EXPAND_SZ) {
        path = expand_environment(path);
    }
    if (path.size() >= 2 && path.front() == '"') {
        const std::size_t close = path.find('"', 1);
        if (close != std::string::npos) {
            path = path.substr(1, close - 1);
        }
    }
    return path.empty() ? REGDB_E_CLASSNOTREG : S_OK;
}

// ---- Apartments -------------------------------------------------------------------

using vh::com::ApartmentId;
using vh::com::ModuleEntry;
constexpr ApartmentId no_apartment = 0;

struct ThreadApartment {
    ULONG inits = 0;
    bool multithreaded = false;
    ApartmentId id = no_apartment;
};
thread_local ThreadApartment t_apartment;

// The process's side: the multithreaded apartment and the source of
// identities.
std::mutex g_apartments_lock;
ULONG g_mta_members = 0;
ApartmentId g_mta = no_apartment;
ApartmentId g_next_apartment = 1;

ApartmentId enter_apartment(bool multithreaded)
{
    const std::lock_guard<std::mutex> lock(g_apartments_lock);
    if (!multithreaded) {
        return g_next_apartment++;
    }
    if (g_mta_members++ == 0) {
        g_mta = g_next_apartment++;
    }
    return g_mta;
}

// Whether the thread's leaving ended the multithreaded apartment.
bool leave_multithreaded_apartment()
{
    const std::lock_guard<std::mutex> lock(g_apartments_lock);
    if (--g_mta_members > 0) {
        return false;
    }
    g_mta = no_apartment;
    return true;
}

// The calling thread's apartment: its own, else the multithreaded one while
// that has members.
ApartmentId current_apartment()
{
    if (t_apartment.inits > 0) {
        return t_apartment.id;
    }
    const std::lock_guard<std::mutex> lock(g_apartments_lock);
    return g_mta;
}

struct ReleaseInterface {
    void operator()(IUnknown* object) const { object->Release(); }
};

// The class object, with the module entry that keeps its module loaded
// while the caller uses it.
HRESULT get_class_object(REFCLSID clsid, DWORD context, REFIID riid, void** object,
                         std::shared_ptr<ModuleEntry>& module)
{
    const ApartmentId apartment = current_apartment();
    if (apartment == no_apartment) {
        return CO_E_NOTINITIALIZED;
    }
    if ((context & CLSCTX_INPROC_SERVER) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    std::string path;
    HRESULT status = server_path(clsid, path);
    if (FAILED(status)) {
        return status;
    }
    module = vh::com::modules().acquire(path, apartment, status);
    if (!module) {
        return status;
    }
    return module->module->get_class_object(clsid, riid, object);
}

}  // namespace

// ---- Apartments -------------------------------------------------------------------

HRESULT CoInitialize(LPVOID pvReserved)
{
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(LPVOID, DWORD dwCoInit)
{
    return guarded([&]() -> HRESULT {
        const bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
        ThreadApartment& apartment = t_apartment;
        if (apartment.inits > 0) {
            if (apartment.multithreaded != multithreaded) {
                return RPC_E_CHANGED_MODE;
            }
            ++apartment.inits;
            return S_FALSE;
        }
        apartment.id = enter_apartment(multithreaded);
        apartment.multithreaded = multithreaded;
        apartment.inits = 1;
        return S_OK;
    });
}

void CoUninitialize()
{
    ThreadApartment& apartment = t_apartment;
    if (apartment.inits == 0 || --apartment.inits > 0) {
        return;
    }
    const ApartmentId id = apartment.id;
    apartment.id = no_apartment;
    try {
        if (!apartment.multithreaded || leave_multithreaded_apartment()) {
            vh::com::modules().sweep(id, true);
        }
    } catch (...) {
        // Out of memory: the modules stay loaded, which is harmless.
    }
}

// ---- Creation by class ----------------------------------------------------------

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO*, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    return guarded([&]() -> HRESULT {
        std::shared_ptr<ModuleEntry> module;
        void* object = nullptr;
        const HRESULT status = get_class_object(rclsid, dwClsContext, riid, &object, module);
        if (SUCCEEDED(status)) {
            *ppv = object;
        }
        return status;
    });
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    return guarded([&]() -> HRESULT {
        std::shared_ptr<ModuleEntry> module;  // held until the object exists
        void* factory_pointer = nullptr;
        HRESULT status = get_class_object(rclsid, dwClsContext, IID_IClassFactory, &factory_pointer, module);
        if (FAILED(status)) {
            return status;
        }
        const std::unique_ptr<IClassFactory, ReleaseInterface> factory(
            static_cast<IClassFactory*>(factory_pointer));
        void* object = nullptr;
        status = factory->CreateInstance(pUnkOuter, riid, &object);
        if (SUCCEEDED(status)) {
            *ppv = object;
        }
        return status;
    });
}

void CoFreeUnusedLibraries()
{
    try {
        const ApartmentId apartment = current_apartment();
        if (apartment != no_apartment) {
            vh::com::modules().sweep(apartment, false);
        }
    } catch (...) {
        // Out of memory: nothing is unloaded this time.
    }
}

// ---- Identifiers and their text ---------------------------------------------------

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid)
{
    if (lpszProgID == nullptr || lpclsid == nullptr) {
        return E_INVALIDARG;
    }
    *lpclsid = CLSID_NULL;
    return guarded([&]() -> HRESULT {
        CLSID found = CLSID_NULL;
        const HRESULT status = clsid_from_prog_id(wide_view(lpszProgID), found);
        if (SUCCEEDED(status)) {
            *lpclsid = found;
        }
        return status;
    });
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID)
{
    if (lplpszProgID == nullptr) {
        return E_INVALIDARG;
    }
    *lplpszProgID = nullptr;
    return guarded([&]() -> HRESULT {
        vh::KeyHandle key;
        LSTATUS status = open_for_reading(clsid_key(clsid) + "\\ProgID", key);
        if (status != ERROR_SUCCESS) {
            return lookup_failure(status, REGDB_E_CLASSNOTREG);
        }
        std::string name;
        DWORD type = REG_NONE;
        status = read_default_text(key.get(), name, type);
        if (status != ERROR_SUCCESS) {
            return lookup_failure(status, REGDB_E_CLASSNOTREG);
        }
        const std::u16string wide = from_ansi(name);
        auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
        if (text == nullptr) {
            return E_OUTOFMEMORY;
        }
        std::copy(wide.begin(), wide.end(), text);
        text[wide.size()] = u'\0';
        *lplpszProgID = text;
        return S_OK;
    });
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (pclsid == nullptr) {
        return E_INVALIDARG;
    }
    *pclsid = CLSID_NULL;
    if (lpsz == nullptr) {
        return S_OK;
    }
    return guarded([&]() -> HRESULT {
        CLSID found = CLSID_NULL;
        if (parse_guid(wide_view(lpsz), found)) {
            *pclsid = found;
            return S_OK;
        }
        // ole32 takes a registered ProgID here as well.
        const HRESULT status = clsid_from_prog_id(wide_view(lpsz), found);
        if (SUCCEEDED(status)) {
            *pclsid = found;
        }
        return status;
    });
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid)
{
    if (lpiid == nullptr) {
        return E_INVALIDARG;
    }
    *lpiid = IID_NULL;
    if (lpsz == nullptr) {
        return S_OK;
    }
    const std::u16string_view text = wide_view(lpsz);
    if (text.size() != guid_length) {
        return E_INVALIDARG;
    }
    IID found = IID_NULL;
    if (!parse_guid(text, found)) {
        return CO_E_IIDSTRING;
    }
    *lpiid = found;
    return S_OK;
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax)
{
    if (lpsz == nullptr || cchMax < CHARS_IN_GUID) {
        return 0;
    }
    char text[CHARS_IN_GUID];
    format_guid(rguid, text);
    std::copy(text, text + CHARS_IN_GUID, lpsz);
    return CHARS_IN_GUID;
}

// ---- Task memory ------------------------------------------------------------------

LPVOID CoTaskMemAlloc(SIZE_T cb)
{
    return std::malloc(cb == 0 ? 1 : cb);
}

void CoTaskMemFree(LPVOID pv)
{
    std::free(pv);
}
