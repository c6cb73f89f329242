// A compiled client of Vornhall.dll, run under Wine by run-wine-tests.
//
// It checks what only an early-bound client sees: the type library built
// into the DLL, fact by fact against the member tables the component is
// built from (those of automation/, ini/ and registry/, linked in here); the
// calls through the table of operations by slot; the string arrays that
// script engines cannot index; and the DLL's resources and version
// information.
//
// Usage: client.exe <path of Vornhall.dll> <scratch directory>
// Prints one line per failure and ends with "N passed, M failed".
#include "tests/windows/client.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "automation/members.h"
#include "automation/values.h"
#include "ini/ini_members.h"
#include "module/vornhall.h"
#include "platform/win32.h"
#include "registry/registry_members.h"
#include "vornhall_version.h"

namespace vh::client {

namespace {

int passed = 0;
int failed = 0;

}  // namespace

void check(bool ok, const std::string& what)
{
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

std::string narrow(const wchar_t* text)
{
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        out += *text < 128 ? static_cast<char>(*text) : '?';
    }
    return out;
}

std::wstring wide(std::u16string_view text)
{
    return std::wstring(text.begin(), text.end());
}
std::string narrow(std::u16string_view text)
{
    return narrow(wide(text).c_str());
}

std::string hex(long value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(value));
    return buffer;
}

vh::Bstr bstr(const wchar_t* text)
{
    return vh::Bstr(vh::text_of(text, std::wcslen(text)));
}

std::wstring text(const vh::Bstr& value)
{
    return wide(value.view());
}

int passed_checks()
{
    return passed;
}

int failed_checks()
{
    return failed;
}

}  // namespace vh::client

namespace {

using namespace vh::client;

// ---- Calls through the table of operations -------------------------------------------

// The function at a slot of an object's table of operations.
template <class F>
F slot(void* object, int index)
{
    void** table = *static_cast<void***>(object);
    return reinterpret_cast<F>(table[index]);
}

using PutString = HRESULT(STDMETHODCALLTYPE*)(void*, BSTR);
using GetString = HRESULT(STDMETHODCALLTYPE*)(void*, BSTR*);
using GetValueFn = HRESULT(STDMETHODCALLTYPE*)(void*, BSTR, BSTR, BSTR, BSTR*);
using WriteValueFn = HRESULT(STDMETHODCALLTYPE*)(void*, BSTR, BSTR, BSTR, VARIANT_BOOL*);
using ListFn = HRESULT(STDMETHODCALLTYPE*)(void*, IDispatch**);
using ListKeysFn = HRESULT(STDMETHODCALLTYPE*)(void*, BSTR, IDispatch**);
using DeleteSectionFn = HRESULT(STDMETHODCALLTYPE*)(void*, BSTR, VARIANT_BOOL*);
using DeleteEntryFn = HRESULT(STDMETHODCALLTYPE*)(void*, BSTR, BSTR, VARIANT_BOOL*);

using CheckKeyFn = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, BSTR, LONG*);
using WriteRegFn = HRESULT(STDMETHODCALLTYPE*)(void*, LONG, BSTR, BSTR, VARIANT, BSTR*);
using ReadRegFn = HRESULT(STDMETHODCALLTYPE*)(void*, LONG*, BSTR*, BSTR*, VARIANT*);
using ListRegFn = HRESULT(STDMETHODCALLTYPE*)(void*, LONG*, BSTR*, VARIANT*);
using DeleteKeyFn = HRESULT(STDMETHODCALLTYPE*)(void*, LONG*, BSTR*);
using DeleteValueFn = HRESULT(STDMETHODCALLTYPE*)(void*, LONG*, BSTR*, BSTR*);

constexpr HRESULT file_error(int number)
{
    return static_cast<HRESULT>(0x800A0000u + static_cast<unsigned>(number));
}

LONG collection_count(IDispatch* list)
{
    vh::ComPtr<vh::_Collection> collection;
    LONG count = -1;
    if (list != nullptr &&
        SUCCEEDED(list->QueryInterface(vh::IID__Collection, reinterpret_cast<void**>(collection.put())))) {
        collection->Count(&count);
    }
    return count;
}

void check_type_info_of(IDispatch* object, const IID& iid, const std::string& who)
{
    UINT count = 0;
    check(SUCCEEDED(object->GetTypeInfoCount(&count)) && count == 1, who + ": one type description");
    vh::ComPtr<ITypeInfo> info;
    check(SUCCEEDED(object->GetTypeInfo(0, 0x409, info.put())), who + ": hands out its type description");
    if (info) {
        TypeAttr a(info.get());
        check(a.ok && a.attr->guid == iid && a.attr->typekind == TKIND_DISPATCH,
              who + ": of its own interface");
    }
    vh::ComPtr<ITypeInfo> none;
    check(object->GetTypeInfo(1, 0x409, none.put()) == DISP_E_BADINDEX && !none, who + ": only one");
}

// Binding: a failure keeps the previous file (`path`); nothing there is emptied.
void check_ini_binding(void* self, const std::wstring& scratch, const std::wstring& path)
{
    vh::Bstr bound;
    const std::wstring folder = scratch + L"\\folder";
    CreateDirectoryW(folder.c_str(), nullptr);
    vh::Bstr directory = bstr(folder.c_str());
    check(slot<PutString>(self, 7)(self, directory.get()) == file_error(75),
          "FileName of a directory: error 75");
    const std::wstring absent = scratch + L"\\absent\\x.ini";
    vh::Bstr no_folder = bstr(absent.c_str());
    check(slot<PutString>(self, 7)(self, no_folder.get()) == file_error(76),
          "FileName in a missing folder: error 76");
    check(slot<GetString>(self, 8)(self, bound.put()) == S_OK && text(bound) == path,
          "a failed binding keeps the previous file");

    const std::wstring hidden = scratch + L"\\hidden.ini";
    {
        HANDLE h = CreateFileW(hidden.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_HIDDEN, nullptr);
        DWORD written = 0;
        WriteFile(h, "[S]\r\nk=v\r\n", 10, &written, nullptr);
        CloseHandle(h);
    }
    vh::Bstr hidden_name = bstr(hidden.c_str());
    check(slot<PutString>(self, 7)(self, hidden_name.get()) == file_error(75),
          "FileName of a hidden file: error 75");
    WIN32_FILE_ATTRIBUTE_DATA data{};
    check(GetFileAttributesExW(hidden.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow == 10,
          "a hidden file is not emptied");

    const std::wstring pattern = scratch + L"\\*.ini";
    vh::Bstr wildcard = bstr(pattern.c_str());
    check(slot<PutString>(self, 7)(self, wildcard.get()) == file_error(52),
          "FileName with a wildcard: error 52");
}

void check_ini_handler(const std::wstring& scratch)
{
    CLSID clsid{};
    check(SUCCEEDED(CLSIDFromProgID(L"Vornhall.iniHandler", &clsid)) && clsid == vh::CLSID_iniHandler,
          "iniHandler: programmatic identifier registered");
    vh::ComPtr<IDispatch> ini;
    check(SUCCEEDED(CoCreateInstance(vh::CLSID_iniHandler, nullptr, CLSCTX_INPROC_SERVER, vh::IID__iniHandler,
                                     reinterpret_cast<void**>(ini.put()))),
          "iniHandler: created");
    if (!ini) {
        return;
    }
    check_type_info_of(ini.get(), vh::IID__iniHandler, "iniHandler");
    void* self = ini.get();

    const std::wstring path = scratch + L"\\slots.ini";
    vh::Bstr file = bstr(path.c_str());
    check(slot<PutString>(self, 7)(self, file.get()) == S_OK, "slot 7 FileName assigns");
    vh::Bstr bound;
    check(slot<GetString>(self, 8)(self, bound.put()) == S_OK && text(bound) == path,
          "slot 8 FileName reads");
    check(GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES, "slot 7 created the file");

    vh::Bstr section = bstr(L"Main");
    vh::Bstr key = bstr(L"Name");
    vh::Bstr value = bstr(L"  spaced  ");
    VARIANT_BOOL ok = 0;
    check(slot<WriteValueFn>(self, 10)(self, section.get(), key.get(), value.get(), &ok) == S_OK &&
              ok == VARIANT_TRUE,
          "slot 10 WriteValue");
    vh::Bstr read;
    vh::Bstr fallback = bstr(L"none");
    check(slot<GetValueFn>(self, 9)(self, section.get(), key.get(), fallback.get(), read.put()) == S_OK &&
              text(read) == L"spaced",
          "slot 9 GetValue, trimmed");
    vh::Bstr missing = bstr(L"Missing");
    check(slot<GetValueFn>(self, 9)(self, section.get(), missing.get(), fallback.get(), read.put()) == S_OK &&
              text(read) == L"none",
          "slot 9 GetValue of a missing key gives the default");

    vh::ComPtr<IDispatch> sections;
    check(slot<ListFn>(self, 11)(self, sections.put()) == S_OK && collection_count(sections.get()) == 1,
          "slot 11 GetAllSections");
    vh::ComPtr<IDispatch> keys;
    check(slot<ListKeysFn>(self, 12)(self, section.get(), keys.put()) == S_OK &&
              collection_count(keys.get()) == 1,
          "slot 12 GetAllKeys");
    check(slot<DeleteEntryFn>(self, 14)(self, section.get(), key.get(), &ok) == S_OK && ok == VARIANT_TRUE,
          "slot 14 DeleteKey");
    check(slot<GetValueFn>(self, 9)(self, section.get(), key.get(), nullptr, read.put()) == S_OK &&
              text(read).empty(),
          "slot 9 GetValue after DeleteKey, default omitted");
    check(slot<DeleteSectionFn>(self, 13)(self, section.get(), &ok) == S_OK && ok == VARIANT_TRUE,
          "slot 13 DeleteSection");
    check(slot<ListFn>(self, 11)(self, sections.put()) == S_OK && collection_count(sections.get()) == 0,
          "slot 11 GetAllSections after DeleteSection");

    check_ini_binding(self, scratch, path);
}

void check_registry_handler()
{
    vh::ComPtr<IDispatch> registry;
    check(SUCCEEDED(CoCreateInstance(vh::CLSID_RegistryHandler, nullptr, CLSCTX_INPROC_SERVER,
                                     vh::IID__RegistryHandler, reinterpret_cast<void**>(registry.put()))),
          "RegistryHandler: created");
    if (!registry) {
        return;
    }
    check_type_info_of(registry.get(), vh::IID__RegistryHandler, "RegistryHandler");
    void* self = registry.get();
    const LONG hkcu = static_cast<LONG>(vh::HKEYS::current_user);

    vh::Bstr path = bstr(L"Software\\VornhallClient\\Sub");
    vh::Bstr name = bstr(L"Number");
    vh::Bstr written;
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = -7;
    check(slot<WriteRegFn>(self, 8)(self, hkcu, path.get(), name.get(), number, written.put()) == S_OK &&
              text(written).empty(),
          "slot 8 WriteRegValue");
    LONG found = 0;
    check(slot<CheckKeyFn>(self, 7)(self, hkcu, path.get(), &found) == S_OK && found == -1,
          "slot 7 CheckRegistryKey");

    LONG root = hkcu;
    vh::Variant value;
    BSTR sub = SysAllocString(L"Software\\VornhallClient\\Sub");
    BSTR number_name = SysAllocString(L"Number");
    check(slot<ReadRegFn>(self, 9)(self, &root, &sub, &number_name, value.put()) == S_OK &&
              value.get().vt == VT_I4 && value.get().lVal == -7,
          "slot 9 ReadRegValue");

    // A listing of names is an array of strings (scripts cannot index it).
    BSTR parent = SysAllocString(L"Software\\VornhallClient");
    check(slot<ListRegFn>(self, 10)(self, &root, &parent, value.put()) == S_OK &&
              value.get().vt == (VT_ARRAY | VT_BSTR),
          "slot 10 EnumKeys gives an array of strings");
    if (value.get().vt == (VT_ARRAY | VT_BSTR)) {
        SAFEARRAY* names = value.get().parray;
        LONG lower = -1;
        LONG upper = -1;
        SafeArrayGetLBound(names, 1, &lower);
        SafeArrayGetUBound(names, 1, &upper);
        check(SafeArrayGetDim(names) == 1 && lower == 0 && upper == 1,
              "EnumKeys: one subkey and the end entry");
        BSTR first = nullptr;
        LONG index = 0;
        SafeArrayGetElement(names, &index, &first);
        check(first != nullptr && std::wstring(first) == L"Sub", "EnumKeys: the subkey's name");
        SysFreeString(first);
    }
    check(slot<ListRegFn>(self, 14)(self, &root, &sub, value.put()) == S_OK &&
              value.get().vt == (VT_ARRAY | VT_VARIANT),
          "slot 14 EnumValues gives an array of Variants");
    check(slot<DeleteValueFn>(self, 12)(self, &root, &sub, &number_name) == S_OK, "slot 12 DeleteValue");
    check(slot<ReadRegFn>(self, 9)(self, &root, &sub, &number_name, value.put()) == S_OK &&
              value.get().vt == VT_EMPTY,
          "slot 9 after DeleteValue: Empty");
    check(slot<ListRegFn>(self, 13)(self, &root, &sub, value.put()) == S_OK, "slot 13 DeleteAllValues");
    check(slot<DeleteKeyFn>(self, 11)(self, &root, &parent) == S_OK, "slot 11 DeleteKey");
    check(slot<CheckKeyFn>(self, 7)(self, hkcu, path.get(), &found) == S_OK && found != -1,
          "the key tree is gone after DeleteKey");
    check(root == hkcu, "DeleteKey leaves the root key as it was");
    SysFreeString(sub);
    SysFreeString(number_name);
    SysFreeString(parent);
}

void check_unloading(const std::wstring& dll)
{
    HMODULE module = LoadLibraryW(dll.c_str());
    check(module != nullptr, "the DLL loads");
    if (module == nullptr) {
        return;
    }
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    auto get_class_object = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    auto can_unload_now =
        reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    check(get_class_object != nullptr && can_unload_now != nullptr, "entry points by name");
    if (get_class_object != nullptr && can_unload_now != nullptr) {
        vh::ComPtr<IClassFactory> factory;
        const GUID other{0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
        check(get_class_object(other, IID_IClassFactory, reinterpret_cast<void**>(factory.put())) ==
                  CLASS_E_CLASSNOTAVAILABLE,
              "DllGetClassObject refuses another class");
        check(SUCCEEDED(get_class_object(vh::CLSID_RegistryHandler, IID_IClassFactory,
                                         reinterpret_cast<void**>(factory.put()))),
              "DllGetClassObject");
        vh::ComPtr<IDispatch> object;
        if (factory) {
            factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(object.put()));
        }
        check(object && can_unload_now() == S_FALSE, "in use while an object lives");
        object.reset();
        check(can_unload_now() == S_OK, "may unload when no object lives");
    }
    FreeLibrary(module);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::printf("usage: client <Vornhall.dll> <scratch directory>\n");
        return 2;
    }
    const std::wstring dll = argv[1];
    const std::wstring scratch = argv[2];
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    check_type_library(dll);
    check_resources(dll);
    check_ini_handler(scratch);
    check_registry_handler();
    check_unloading(dll);
    CoUninitialize();
    std::printf("client: %d passed, %d failed\n", passed_checks(), failed_checks());
    return failed_checks() == 0 ? 0 : 1;
}
