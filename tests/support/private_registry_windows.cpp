// The private registry on Windows: HKEY_CURRENT_USER pointed at a new key
// for the process, and the registry calls watched by replacing their entries
// in this program's import table (the component is linked into the program,
// so its calls go through the same entries).
#include <sddl.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "tests/support/private_registry.h"

namespace vh::test {
namespace {

const char* const tree_parent = "Software\\Vornhall member tests";

// Access masks of the refusals: reading is querying values, listing subkeys
// and notification; changing is setting values, making subkeys or links and
// removal. Changing the key's own security stays granted, so that the tree
// can be opened up again and removed afterwards.
const char* const refuse_reading = "D:(D;;0x19;;;WD)(A;;KA;;;WD)";
const char* const refuse_changing = "D:(D;;0x10026;;;WD)(A;;KA;;;WD)";
const char* const grant_all = "D:(A;;KA;;;WD)";

// The functions being replaced, as the import table held them.
decltype(&RegOpenKeyExA) real_open = nullptr;
decltype(&RegCreateKeyExA) real_create = nullptr;
decltype(&RegCloseKey) real_close = nullptr;
decltype(&RegDeleteKeyA) real_delete = nullptr;
DWORD open_keys = 0;

LSTATUS WINAPI watched_open(HKEY parent, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result)
{
    registry_calls().read_opens += access == KEY_READ ? 1 : 0;
    const LSTATUS status = real_open(parent, subkey, options, access, result);
    open_keys += status == ERROR_SUCCESS ? 1 : 0;
    return status;
}

LSTATUS WINAPI watched_create(HKEY parent, LPCSTR subkey, DWORD reserved, LPSTR class_name, DWORD options,
                              REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                              LPDWORD disposition)
{
    const LSTATUS status =
        real_create(parent, subkey, reserved, class_name, options, access, security, result, disposition);
    open_keys += status == ERROR_SUCCESS ? 1 : 0;
    return status;
}

LSTATUS WINAPI watched_close(HKEY key)
{
    const LSTATUS status = real_close(key);
    open_keys -= status == ERROR_SUCCESS ? 1 : 0;
    return status;
}

LSTATUS WINAPI watched_delete(HKEY parent, LPCSTR subkey)
{
    const LSTATUS status = real_delete(parent, subkey);
    if (status == ERROR_SUCCESS) {
        registry_calls().removed_keys.emplace_back(subkey);
    }
    return status;
}

// Points every import of the named function in this program at the
// replacement and gives back what it pointed at before.
template <class F>
F replace_import(const char* name, F replacement)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    F original = nullptr;
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name != 0; ++library) {
        if (library->OriginalFirstThunk == 0) {
            continue;  // no names to go by
        }
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* by_name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), name) != 0) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            original = reinterpret_cast<F>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
        }
    }
    if (original == nullptr) {
        throw std::runtime_error(std::string("this program does not import ") + name);
    }
    return original;
}

void watch_registry_calls()
{
    if (real_open == nullptr) {
        real_open = replace_import("RegOpenKeyExA", &watched_open);
        real_create = replace_import("RegCreateKeyExA", &watched_create);
        real_close = replace_import("RegCloseKey", &watched_close);
        real_delete = replace_import("RegDeleteKeyA", &watched_delete);
    }
}

LSTATUS set_security(HKEY key, const char* descriptor)
{
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(descriptor, SDDL_REVISION_1, &security,
                                                              nullptr)) {
        return static_cast<LSTATUS>(GetLastError());
    }
    const LSTATUS status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, security);
    LocalFree(security);
    return status;
}

// Grants every right on a key and everything below it, so that it can go.
void open_up(HKEY parent, const char* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path, 0, WRITE_DAC, &key) == ERROR_SUCCESS) {
        set_security(key, grant_all);
        RegCloseKey(key);
    }
    if (RegOpenKeyExA(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        open_up(key, name);
    }
    RegCloseKey(key);
}

}  // namespace

struct PrivateRegistry::State {
    std::string path;
    HKEY key = nullptr;
};

PrivateRegistry::PrivateRegistry() : m_state(std::make_unique<State>())
{
    watch_registry_calls();
    static unsigned serial = 0;
    m_state->path = std::string(tree_parent) + "\\" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(++serial);
    RegDeleteTreeA(HKEY_CURRENT_USER, m_state->path.c_str());  // left by a run that was killed
    if (RegCreateKeyExA(HKEY_CURRENT_USER, m_state->path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &m_state->key, nullptr) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_CURRENT_USER, m_state->key) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot make a private registry tree");
    }
}

PrivateRegistry::~PrivateRegistry()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(m_state->key);
    open_up(HKEY_CURRENT_USER, m_state->path.c_str());
    RegDeleteTreeA(HKEY_CURRENT_USER, m_state->path.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, tree_parent);  // only once it is empty
}

DWORD open_key_count()
{
    return open_keys;
}

LSTATUS refuse_access(HKEY root, const char* path, Refuse what)
{
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExA(root, path, 0, WRITE_DAC, &key);
    if (status == ERROR_SUCCESS) {
        status = set_security(key, what == Refuse::reading ? refuse_reading : refuse_changing);
        RegCloseKey(key);
    }
    return status;
}

}  // namespace vh::test
