// Registration: the entries that let clients create the classes by name.
//
// One table lists every key and value that registration writes, parents
// before children. DllRegisterServer walks it forwards, creating keys and
// setting values; DllUnregisterServer walks it backwards, deleting the
// values it lists and then each listed key that is left empty, so it takes
// away exactly what registration wrote. The containers every server shares
// (CLSID, Interface, TypeLib) are only removed when nothing else is in them,
// which is also the rule for the server's own keys: a key that holds
// anything registration did not write stays.
//
// The x86 and x64 DLLs register side by side on 64-bit Windows, and the type
// library's key is one for both: each adds its file under its own platform
// key (win32 or win64), and they share the version's name, FLAGS and
// HELPDIR. Unregistering one kind leaves those shared values while the other
// kind's file is still registered under the version.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "automation/ansi.h"
#include "automation/errors.h"
#include "module/module.h"
#include "platform/key_handle.h"
#include "platform/module_info.h"

namespace vh {

namespace {

// The automation marshaller, which marshals any dual interface from its
// type library.
constexpr GUID automation_marshaller{0x00020424, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct Entry {
    std::string key;   // below HKEY_CLASSES_ROOT
    std::string name;  // the value's name ("" for the key's unnamed value)
    std::string data;  // REG_SZ text
    bool has_value = false;
    std::string shared_under = {};  // for a value every registration of the library's version
                                    // shares: that version's key
};

std::string text(std::u16string_view utf16)
{
    return to_ansi(utf16);
}

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Registry names compare without regard to case (ASCII is enough here).
bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string guid_text(const GUID& id)
{
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return buffer;
}

std::vector<Entry> registration_table(const std::u16string& module)
{
    const ProjectDescriptor& p = project();
    const std::string library = guid_text(*p.library_id);
    const std::string version = std::to_string(p.major_version) + "." + std::to_string(p.minor_version);
    const std::string path = text(module);
    std::string folder =
        path.substr(0, path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\"));

    std::vector<Entry> table;
    auto key = [&](std::string k) { table.push_back({std::move(k), "", "", false}); };
    auto value = [&](std::string k, std::string name, std::string data) {
        table.push_back({std::move(k), std::move(name), std::move(data), true});
    };
    auto shared_value = [&](std::string k, std::string data, const std::string& version_key) {
        table.push_back({std::move(k), "", std::move(data), true, version_key});
    };

    // Containers every server shares: removed only when left empty.
    key("CLSID");
    key("Interface");
    key("TypeLib");
    for (const ClassInfo& c : p.classes) {
        const std::string prog_id = text(p.library_name) + "." + text(c.name);
        const std::string clsid = "CLSID\\" + guid_text(*c.clsid);
        const std::string iid = "Interface\\" + guid_text(*c.default_interface);
        value(prog_id, "", prog_id);
        value(prog_id + "\\CLSID", "", guid_text(*c.clsid));
        value(clsid, "", prog_id);
        value(clsid + "\\InprocServer32", "", path);
        value(clsid + "\\InprocServer32", "ThreadingModel", text(c.threading_model));
        value(clsid + "\\ProgID", "", prog_id);
        value(clsid + "\\TypeLib", "", library);
        value(clsid + "\\VERSION", "", version);
        value(iid, "", "_" + text(c.name));
        value(iid + "\\ProxyStubClsid", "", guid_text(automation_marshaller));
        value(iid + "\\ProxyStubClsid32", "", guid_text(automation_marshaller));
        value(iid + "\\TypeLib", "", library);
        value(iid + "\\TypeLib", "Version", version);
    }
    const std::string typelib = "TypeLib\\" + library;
    key(typelib);
    const std::string version_key = typelib + "\\" + version;
    shared_value(version_key, text(p.library_name), version_key);
    shared_value(version_key + "\\FLAGS", "0", version_key);
    shared_value(version_key + "\\HELPDIR", folder, version_key);
    key(typelib + "\\" + version + "\\0");
    value(typelib + "\\" + version + "\\0\\" + platform::type_library_platform(), "", path);
    return table;
}

LSTATUS write_entry(const Entry& entry)
{
    KeyHandle key;
    std::string path = entry.key;
    LSTATUS status = RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                     key.slot(), nullptr);
    if (status != ERROR_SUCCESS || !entry.has_value) {
        return status;
    }
    std::string data = entry.data;
    status = RegSetValueExA(key.get(), entry.name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()), static_cast<DWORD>(data.size() + 1));
    key.close();
    return status;
}

// Whether an open key holds neither values nor subkeys.
bool empty(const KeyHandle& key)
{
    char name[256];
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_NO_MORE_ITEMS) {
        return false;
    }
    length = sizeof name;
    return RegEnumValueA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_NO_MORE_ITEMS;
}

// Whether the library's version key still registers a file: a subkey
// besides FLAGS and HELPDIR (a locale, holding the other kind's platform
// key). Read after this module's own file entry has been removed.
bool version_still_registered(const std::string& version_key)
{
    KeyHandle key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, version_key.c_str(), 0, KEY_READ, key.slot()) != ERROR_SUCCESS) {
        return false;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return false;
        }
        const std::string_view found(name, length);
        if (!equal_ignoring_case(found, "FLAGS") && !equal_ignoring_case(found, "HELPDIR")) {
            return true;
        }
    }
}

// Removes what the entry wrote; missing entries are no failure.
LSTATUS remove_entry(const Entry& entry)
{
    if (!entry.shared_under.empty() && version_still_registered(entry.shared_under)) {
        return ERROR_SUCCESS;
    }
    KeyHandle key;
    LSTATUS status = RegOpenKeyExA(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, KEY_ALL_ACCESS, key.slot());
    if (status == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (entry.has_value) {
        status = RegDeleteValueA(key.get(), entry.name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            return status;
        }
    }
    const bool remove_key = empty(key);
    key.close();
    if (!remove_key) {
        return ERROR_SUCCESS;
    }
    status = RegDeleteKeyA(HKEY_CLASSES_ROOT, entry.key.c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

HRESULT to_hresult(LSTATUS status)
{
    return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

HRESULT register_server() noexcept
{
    try {
        const std::u16string module = platform::module_path();
        if (module.empty()) {
            return SELFREG_E_CLASS;  // a server entry without a file would name no module
        }
        for (const Entry& entry : registration_table(module)) {
            if (const LSTATUS status = write_entry(entry); status != ERROR_SUCCESS) {
                return to_hresult(status);
            }
        }
        return platform::register_type_library(module);
    } catch (...) {
        return status_at_edge();
    }
}

HRESULT unregister_server() noexcept
{
    try {
        HRESULT result = platform::unregister_type_library();
        const std::vector<Entry> table = registration_table(platform::module_path());
        for (auto entry = table.rbegin(); entry != table.rend(); ++entry) {
            if (const LSTATUS status = remove_entry(*entry); status != ERROR_SUCCESS && SUCCEEDED(result)) {
                result = to_hresult(status);
            }
        }
        return result;
    } catch (...) {
        return status_at_edge();
    }
}

}  // namespace
}  // namespace vh

extern "C" VH_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer()
{
    return vh::register_server();
}

extern "C" VH_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return vh::unregister_server();
}
