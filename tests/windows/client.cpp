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
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ini/ini_members.h"
#include "module/vornhall.h"
#include "platform/win32.h"
#include "registry/registry_members.h"
#include "vornhall_version.h"

namespace {

int passed = 0;
int failed = 0;

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

// ---- Owning types for the test's own handles --------------------------------------

template <class T>
class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }
    void reset()
    {
        if (m_ptr != nullptr) {
            m_ptr->Release();
            m_ptr = nullptr;
        }
    }
    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T** put()
    {
        reset();
        return &m_ptr;
    }
    explicit operator bool() const { return m_ptr != nullptr; }

private:
    T* m_ptr = nullptr;
};

class Str {
public:
    Str() = default;
    explicit Str(const wchar_t* text) : m_text(SysAllocString(text)) {}
    Str(const Str&) = delete;
    Str& operator=(const Str&) = delete;
    ~Str() { SysFreeString(m_text); }
    BSTR get() const { return m_text; }
    BSTR* put()
    {
        SysFreeString(m_text);
        m_text = nullptr;
        return &m_text;
    }
    std::wstring text() const
    {
        return m_text == nullptr ? std::wstring() : std::wstring(m_text, SysStringLen(m_text));
    }

private:
    BSTR m_text = nullptr;
};

class Var {
public:
    Var() { VariantInit(&m_value); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
    ~Var() { VariantClear(&m_value); }
    VARIANT* put()
    {
        VariantClear(&m_value);
        return &m_value;
    }
    const VARIANT& get() const { return m_value; }

private:
    VARIANT m_value;
};

// Reads and releases the attributes of a type description.
struct TypeAttr {
    explicit TypeAttr(ITypeInfo* info) : m_info(info) { ok = SUCCEEDED(info->GetTypeAttr(&attr)); }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    ~TypeAttr()
    {
        if (ok) {
            m_info->ReleaseTypeAttr(attr);
        }
    }
    ITypeInfo* m_info;
    TYPEATTR* attr = nullptr;
    bool ok = false;
};

struct FuncDesc {
    FuncDesc(ITypeInfo* info, UINT index) : m_info(info) { ok = SUCCEEDED(info->GetFuncDesc(index, &desc)); }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    ~FuncDesc()
    {
        if (ok) {
            m_info->ReleaseFuncDesc(desc);
        }
    }
    ITypeInfo* m_info;
    FUNCDESC* desc = nullptr;
    bool ok = false;
};

// ---- The type library against the member tables -------------------------------------

std::wstring type_name(ITypeInfo* info, HREFTYPE ref)
{
    Ref<ITypeInfo> target;
    if (FAILED(info->GetRefTypeInfo(ref, target.put()))) {
        return L"?";
    }
    Str name;
    target->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
    return name.text();
}

// The type a parameter of this kind has in the library, as text: "BSTR",
// "BSTR*", "HKEYS", "_Collection**".
std::wstring describe(ITypeInfo* info, const TYPEDESC& type)
{
    switch (type.vt) {
        case VT_PTR:
            return describe(info, *type.lptdesc) + L"*";
        case VT_USERDEFINED:
            return type_name(info, type.hreftype);
        case VT_BSTR:
            return L"BSTR";
        case VT_I4:
            return L"long";
        case VT_BOOL:
            return L"VARIANT_BOOL";
        case VT_VARIANT:
            return L"VARIANT";
        case VT_UNKNOWN:
            return L"IUnknown*";
        case VT_HRESULT:
            return L"HRESULT";
        default:
            return L"vt" + std::to_wstring(type.vt);
    }
}

std::wstring expected_type(vh::Kind kind)
{
    switch (kind) {
        case vh::Kind::string:
            return L"BSTR";
        case vh::Kind::int32:
            return L"long";
        case vh::Kind::boolean:
            return L"VARIANT_BOOL";
        case vh::Kind::variant:
            return L"VARIANT";
        case vh::Kind::root_key:
            return L"HKEYS";
        case vh::Kind::collection:
            return L"_Collection*";
        case vh::Kind::unknown:
            return L"IUnknown*";
        case vh::Kind::none:
            break;
    }
    return L"?";
}

// One member of a table against the function at its slot.
// runtime: the runtime's collection interface, whose Variant arguments are
// pointers passed in only.
void check_member(ITypeInfo* vtable_part, const vh::InterfaceTable& table, const vh::Member& m, bool runtime)
{
    const std::string who =
        narrow(table.name) + "." + narrow(m.name) + " (slot " + std::to_string(m.slot) + ")";
    FuncDesc f(vtable_part, static_cast<UINT>(m.slot - 7));
    check(f.ok, who + ": described");
    if (!f.ok) {
        return;
    }
    const FUNCDESC& d = *f.desc;
    check(d.memid == m.id, who + ": dispatch identifier " + hex(d.memid));
    check(d.invkind == static_cast<INVOKEKIND>(m.invoke), who + ": invocation kind");
    check(d.oVft == static_cast<SHORT>(m.slot * sizeof(void*)),
          who + ": slot offset " + std::to_string(d.oVft));
    check(d.funckind == FUNC_PUREVIRTUAL && d.callconv == CC_STDCALL, who + ": pure virtual, stdcall");
    check(d.wFuncFlags == 0, who + ": no member flags");
    check(d.elemdescFunc.tdesc.vt == VT_HRESULT, who + ": returns a status");
    const bool has_result = m.result != vh::Kind::none;
    check(d.cParams == m.param_count + (has_result ? 1 : 0), who + ": parameter count");
    check(d.cParamsOpt == m.param_count - m.required, who + ": optional parameter count");
    if (d.cParams != m.param_count + (has_result ? 1 : 0)) {
        return;
    }
    for (int i = 0; i < m.param_count; ++i) {
        const vh::Param& p = m.params[static_cast<std::size_t>(i)];
        const ELEMDESC& e = d.lprgelemdescParam[i];
        const std::string param = who + " parameter " + narrow(p.name);
        const std::wstring type = expected_type(p.kind) + (p.by_ref ? L"*" : L"");
        check(describe(vtable_part, e.tdesc) == type,
              param + ": type " + narrow(describe(vtable_part, e.tdesc).c_str()));
        USHORT flags = p.by_ref && !runtime ? (PARAMFLAG_FIN | PARAMFLAG_FOUT) : PARAMFLAG_FIN;
        if (i >= m.required) {
            flags |= PARAMFLAG_FOPT;  // optional, and no default value recorded
        }
        check(e.paramdesc.wParamFlags == flags, param + ": flags " + hex(e.paramdesc.wParamFlags));
    }
    if (has_result) {
        const ELEMDESC& e = d.lprgelemdescParam[m.param_count];
        check(describe(vtable_part, e.tdesc) == expected_type(m.result) + L"*", who + ": result type");
        check(e.paramdesc.wParamFlags == (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL),
              who + ": result is out, retval");
    }

    // Names: the member, then its parameters; a property assignment's value
    // has no name.
    BSTR names[8] = {};
    UINT count = 0;
    if (m.invoke != vh::InvokeKind::put) {
        check(SUCCEEDED(vtable_part->GetNames(m.id, names, 8, &count)), who + ": names");
        check(count >= 1 && names[0] != nullptr && wide(m.name) == names[0], who + ": name");
        for (int i = 0; i < m.param_count; ++i) {
            const auto k = static_cast<UINT>(i + 1);
            check(k < count && wide(m.params[static_cast<std::size_t>(i)].name) == names[k],
                  who + ": name of parameter " + std::to_string(i));
        }
        for (UINT k = 0; k < count; ++k) {
            SysFreeString(names[k]);
        }
    }
    Str doc;
    DWORD context = 99;
    check(SUCCEEDED(vtable_part->GetDocumentation(m.id, nullptr, doc.put(), &context, nullptr)) &&
              context == m.help_context && doc.get() == nullptr,
          who + ": help context " + std::to_string(context) + ", no documentation string");
}

// An interface of the component against its member table: a dual interface,
// found by identifier as its dispatch part, with the table of operations
// behind it. runtime: the runtime's collection interface instead, a plain
// interface derived from IDispatch, neither dual nor automation-compatible
// (so registering the library leaves the runtime's registration of it
// alone), found by identifier as the table of operations itself.
void check_interface(ITypeLib* library, const vh::InterfaceTable& table, WORD type_flags,
                     bool runtime = false)
{
    const std::string who = narrow(table.name);
    Ref<ITypeInfo> found;
    check(SUCCEEDED(library->GetTypeInfoOfGuid(*table.iid, found.put())), who + ": found by identifier");
    if (!found) {
        return;
    }
    {
        TypeAttr a(found.get());
        check(a.ok && a.attr->typekind == (runtime ? TKIND_INTERFACE : TKIND_DISPATCH),
              who + (runtime ? ": a plain interface" : ": a dual interface's dispatch part"));
        check(a.ok && a.attr->wTypeFlags == type_flags,
              who + ": type flags " + hex(a.ok ? a.attr->wTypeFlags : 0));
        check(a.ok && a.attr->wMajorVerNum == 0 && a.attr->wMinorVerNum == 0,
              who + ": no version of its own");
    }
    Str name;
    Str doc;
    DWORD context = 99;
    Str help_file;
    found->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), &context, help_file.put());
    check(name.text() == wide(table.name), who + ": name");
    check(context == table.help_context, who + ": help context " + std::to_string(context));
    check(doc.get() == nullptr && help_file.get() == nullptr,
          who + ": no documentation string, no help file");

    HREFTYPE vtable_ref = 0;
    Ref<ITypeInfo> vtable_part;
    if (runtime) {
        found->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(vtable_part.put()));
    } else {
        check(SUCCEEDED(found->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_ref)) &&
                  SUCCEEDED(found->GetRefTypeInfo(vtable_ref, vtable_part.put())),
              who + ": has a table of operations");
    }
    if (!vtable_part) {
        return;
    }
    if (!runtime) {
        TypeAttr a(vtable_part.get());
        check(a.ok && a.attr->typekind == TKIND_INTERFACE, who + ": interface part");
        check(a.ok && (a.attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) != 0, who + ": automation-compatible");
    }
    {
        TypeAttr a(vtable_part.get());
        check(a.ok && a.attr->cFuncs == static_cast<WORD>(table.members.size()), who + ": member count");
        check(a.ok && a.attr->cbSizeVft == (7 + table.members.size()) * sizeof(void*), who + ": table size");
    }
    // Derived from IDispatch, taken from the system's standard library.
    HREFTYPE base_ref = 0;
    Ref<ITypeInfo> base;
    Ref<ITypeLib> base_library;
    UINT base_index = 0;
    const bool has_base = SUCCEEDED(vtable_part->GetRefTypeOfImplType(0, &base_ref)) &&
                          SUCCEEDED(vtable_part->GetRefTypeInfo(base_ref, base.put())) &&
                          SUCCEEDED(base->GetContainingTypeLib(base_library.put(), &base_index));
    check(has_base, who + ": base interface from another library");
    if (has_base) {
        TypeAttr a(base.get());
        TLIBATTR* lib = nullptr;
        base_library->GetLibAttr(&lib);
        const GUID stdole{0x00020430, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
        check(a.ok && a.attr->guid == IID_IDispatch, who + ": derives from IDispatch");
        check(lib != nullptr && lib->guid == stdole && lib->wMajorVerNum == 2 && lib->wMinorVerNum == 0,
              who + ": IDispatch imported from stdole 2.0");
        if (lib != nullptr) {
            base_library->ReleaseTLibAttr(lib);
        }
    }
    for (const vh::Member& m : table.members) {
        check_member(vtable_part.get(), table, m, runtime);
    }
}

void check_class(ITypeLib* library, const CLSID& clsid, const vh::InterfaceTable& table, DWORD help_context)
{
    const std::wstring interface_name = wide(table.name);
    const std::wstring class_name = interface_name.substr(1);  // "_iniHandler" -> "iniHandler"
    const std::string who = narrow(class_name.c_str());
    Ref<ITypeInfo> info;
    check(SUCCEEDED(library->GetTypeInfoOfGuid(clsid, info.put())), who + ": found by class identifier");
    if (!info) {
        return;
    }
    TypeAttr a(info.get());
    check(a.ok && a.attr->typekind == TKIND_COCLASS, who + ": a class");
    check(a.ok && a.attr->wTypeFlags == TYPEFLAG_FCANCREATE, who + ": creatable, no other flag");
    check(a.ok && a.attr->cImplTypes == 1, who + ": one interface");
    Str name;
    DWORD context = 99;
    info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, &context, nullptr);
    check(name.text() == class_name, who + ": name");
    check(context == help_context, who + ": help context");
    INT impl_flags = 0;
    HREFTYPE ref = 0;
    check(SUCCEEDED(info->GetImplTypeFlags(0, &impl_flags)) && impl_flags == IMPLTYPEFLAG_FDEFAULT,
          who + ": default interface, no events");
    check(SUCCEEDED(info->GetRefTypeOfImplType(0, &ref)) && type_name(info.get(), ref) == interface_name,
          who + ": implements " + narrow(table.name));
}

void check_root_keys(ITypeInfo* info)
{
    struct Constant {
        const wchar_t* name;
        vh::HKEYS value;
    };
    const Constant constants[] = {
        {L"HKEY_CLASSES_ROOT", vh::HKEYS::classes_root},
        {L"HKEY_CURRENT_USER", vh::HKEYS::current_user},
        {L"HKEY_LOCAL_MACHINE", vh::HKEYS::local_machine},
        {L"HKEY_USERS", vh::HKEYS::users},
    };
    TypeAttr a(info);
    check(a.ok && a.attr->typekind == TKIND_ENUM && a.attr->cVars == 4, "HKEYS: an enumeration of four");
    check(a.ok && a.attr->guid == vh::GUID_HKEYS, "HKEYS: identifier");
    for (UINT i = 0; i < 4; ++i) {
        VARDESC* v = nullptr;
        if (FAILED(info->GetVarDesc(i, &v))) {
            check(false, "HKEYS: constant " + std::to_string(i));
            continue;
        }
        Str name;
        UINT count = 0;
        info->GetNames(v->memid, name.put(), 1, &count);
        const std::string who = "HKEYS." + narrow(constants[i].name);
        check(name.text() == constants[i].name, who + ": name and place");
        check(v->memid == static_cast<MEMBERID>(0x40000000 + i), who + ": member identifier");
        check(v->varkind == VAR_CONST && v->lpvarValue->vt == VT_I4 &&
                  v->lpvarValue->lVal == static_cast<LONG>(constants[i].value),
              who + ": value");
        info->ReleaseVarDesc(v);
    }
}

void check_type_library(const std::wstring& dll)
{
    Ref<ITypeLib> library;
    check(SUCCEEDED(LoadTypeLibEx(dll.c_str(), REGKIND_NONE, library.put())),
          "type library: loads from the DLL");
    if (!library) {
        return;
    }
    TLIBATTR* lib = nullptr;
    library->GetLibAttr(&lib);
    check(lib->guid == vh::LIBID_Vornhall, "type library: identifier");
    check(lib->wMajorVerNum == vh::library_major_version && lib->wMinorVerNum == vh::library_minor_version &&
              lib->wMajorVerNum == 5 && lib->wMinorVerNum == 0,
          "type library: version 5.0");
    check(lib->lcid == 0x409, "type library: locale 0x409");
    check(lib->syskind == (sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32), "type library: target system");
    // The loader adds the disk-image flag itself; the library sets none.
    check((lib->wLibFlags & ~LIBFLAG_FHASDISKIMAGE) == 0, "type library: no library flags");
    library->ReleaseTLibAttr(lib);

    Str name;
    Str doc;
    Str help_file;
    DWORD context = 99;
    library->GetDocumentation(-1, name.put(), doc.put(), &context, help_file.put());
    check(name.text() == L"Vornhall", "type library: name");
    check(doc.get() == nullptr && help_file.get() == nullptr && context == 0,
          "type library: no documentation string, no help file");

    // The descriptions in order: the component's five, then the runtime's
    // collection interface. Each is found at its index and by its
    // identifier (checked below), so references between them still hold
    // after the build has put widl's output in this order.
    const wchar_t* order[] = {L"_RegistryHandler", L"RegistryHandler", L"_iniHandler",
                              L"iniHandler",       L"HKEYS",           L"_Collection"};
    const UINT count = library->GetTypeInfoCount();
    check(count == 6, "type library: six descriptions, " + std::to_string(count));
    for (UINT i = 0; i < count && i < 6; ++i) {
        Str entry;
        library->GetDocumentation(static_cast<INT>(i), entry.put(), nullptr, nullptr, nullptr);
        check(entry.text() == order[i],
              "type library: description " + std::to_string(i) + " is " + narrow(order[i]));
        // The description found by its identifier is the one at this index.
        Ref<ITypeInfo> info;
        Ref<ITypeInfo> by_guid;
        Ref<ITypeLib> container;
        UINT index = 99;
        library->GetTypeInfo(i, info.put());
        if (info) {
            TypeAttr a(info.get());
            if (a.ok) {
                library->GetTypeInfoOfGuid(a.attr->guid, by_guid.put());
            }
        }
        check(by_guid && SUCCEEDED(by_guid->GetContainingTypeLib(container.put(), &index)) && index == i,
              "type library: " + narrow(order[i]) + " found by identifier at index " + std::to_string(index));
    }
    // A name two interfaces share is found in both.
    {
        std::wstring shared = L"DeleteKey";
        ITypeInfo* found[4] = {};
        MEMBERID ids[4] = {};
        USHORT wanted = 4;
        check(SUCCEEDED(library->FindName(shared.data(), 0, found, ids, &wanted)) && wanted == 2,
              "type library: DeleteKey found in two interfaces, " + std::to_string(wanted));
        for (USHORT k = 0; k < wanted && k < 4; ++k) {
            found[k]->Release();
        }
    }

    constexpr WORD component_flags =
        TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    check_interface(library.get(), vh::registry_handler_table(), component_flags);
    check_interface(library.get(), vh::ini_handler_table(), component_flags);
    check_interface(library.get(), vh::collection_table(), TYPEFLAG_FDISPATCHABLE, true);
    check_class(library.get(), vh::CLSID_RegistryHandler, vh::registry_handler_table(), 0);
    check_class(library.get(), vh::CLSID_iniHandler, vh::ini_handler_table(), 2099);

    Ref<ITypeInfo> root_keys;
    check(SUCCEEDED(library->GetTypeInfoOfGuid(vh::GUID_HKEYS, root_keys.put())),
          "HKEYS: found by identifier");
    if (root_keys) {
        check_root_keys(root_keys.get());
    }
}

// ---- Resources and version information ---------------------------------------------

void check_identifier_resource(HMODULE module, const wchar_t* type, const IID& iid)
{
    const std::string who = narrow(type);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), type);
    check(found != nullptr, who + " 1: present");
    if (found == nullptr) {
        return;
    }
    const DWORD size = SizeofResource(module, found);
    const auto* bytes = static_cast<const unsigned char*>(LockResource(LoadResource(module, found)));
    check(size == 20, who + " 1: 20 bytes");
    if (size == 20 && bytes != nullptr) {
        check(bytes[0] == 16 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0,
              who + " 1: length 16, little-endian");
        check(std::memcmp(bytes + 4, &iid, 16) == 0, who + " 1: the interface identifier");
    }
}

std::wstring version_string(const std::vector<BYTE>& block, const wchar_t* name, bool* present = nullptr)
{
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    const bool found = VerQueryValueW(block.data(), path.c_str(), &value, &length) != FALSE;
    if (present != nullptr) {
        *present = found;
    }
    return found && value != nullptr ? std::wstring(static_cast<const wchar_t*>(value)) : std::wstring();
}

void check_resources(const std::wstring& dll)
{
    HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    check(module != nullptr, "resources: the DLL loads as data");
    if (module == nullptr) {
        return;
    }
    check(FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB") != nullptr, "TYPELIB 1: present");
    check_identifier_resource(module, L"_IID_INIHANDLER", vh::IID__iniHandler);
    check_identifier_resource(module, L"_IID_REGISTRYHANDLER", vh::IID__RegistryHandler);
    FreeLibrary(module);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &ignored);
    std::vector<BYTE> block(size);
    check(size != 0 && GetFileVersionInfoW(dll.c_str(), 0, size, block.data()), "version: present");
    if (size == 0) {
        return;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    check(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr,
          "version: fixed part");
    if (fixed != nullptr) {
        const DWORD high = (VH_VERSION_MAJOR << 16) | VH_VERSION_MINOR;
        const DWORD low = VH_VERSION_PATCH << 16;
        check(fixed->dwFileVersionMS == high && fixed->dwFileVersionLS == low,
              "version: file version " VH_VERSION_TEXT ".0");
        check(fixed->dwProductVersionMS == high && fixed->dwProductVersionLS == low,
              "version: product version " VH_VERSION_TEXT ".0");
        check(fixed->dwFileFlagsMask == 0 && fixed->dwFileFlags == 0, "version: no flags");
        check(fixed->dwFileOS == VOS__WINDOWS32, "version: 32-bit Windows");
        check(fixed->dwFileType == VFT_DLL && fixed->dwFileSubtype == 0, "version: a DLL, no subtype");
    }
    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } strings[] = {
        {L"ProductName", L"Vornhall"},
        {L"FileVersion", L"" VH_VERSION_RESOURCE_TEXT},
        {L"ProductVersion", L"" VH_VERSION_RESOURCE_TEXT},
        {L"InternalName", L"Vornhall"},
        {L"OriginalFilename", L"Vornhall.dll"},
        {L"CompanyName", L"Vornhall developers"},
    };
    for (const auto& s : strings) {
        check(version_string(block, s.name) == s.value, "version: " + narrow(s.name));
    }
    bool present = false;
    check(version_string(block, L"OLESelfRegister", &present).empty() && present,
          "version: OLESelfRegister present and empty");
    WORD* translation = nullptr;
    check(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                         &length) &&
              length == 4 && translation[0] == 0x0409 && translation[1] == 0x04B0,
          "version: translation 0x0409, 0x04B0");
}

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
    Ref<vh::_Collection> collection;
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
    Ref<ITypeInfo> info;
    check(SUCCEEDED(object->GetTypeInfo(0, 0x409, info.put())), who + ": hands out its type description");
    if (info) {
        TypeAttr a(info.get());
        check(a.ok && a.attr->guid == iid && a.attr->typekind == TKIND_DISPATCH,
              who + ": of its own interface");
    }
    Ref<ITypeInfo> none;
    check(object->GetTypeInfo(1, 0x409, none.put()) == DISP_E_BADINDEX && !none, who + ": only one");
}

void check_ini_handler(const std::wstring& scratch)
{
    CLSID clsid{};
    check(SUCCEEDED(CLSIDFromProgID(L"Vornhall.iniHandler", &clsid)) && clsid == vh::CLSID_iniHandler,
          "iniHandler: programmatic identifier registered");
    Ref<IDispatch> ini;
    check(SUCCEEDED(CoCreateInstance(vh::CLSID_iniHandler, nullptr, CLSCTX_INPROC_SERVER, vh::IID__iniHandler,
                                     reinterpret_cast<void**>(ini.put()))),
          "iniHandler: created");
    if (!ini) {
        return;
    }
    check_type_info_of(ini.get(), vh::IID__iniHandler, "iniHandler");
    void* self = ini.get();

    const std::wstring path = scratch + L"\\slots.ini";
    Str file(path.c_str());
    check(slot<PutString>(self, 7)(self, file.get()) == S_OK, "slot 7 FileName assigns");
    Str bound;
    check(slot<GetString>(self, 8)(self, bound.put()) == S_OK && bound.text() == path,
          "slot 8 FileName reads");
    check(GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES, "slot 7 created the file");

    Str section(L"Main");
    Str key(L"Name");
    Str value(L"  spaced  ");
    VARIANT_BOOL ok = 0;
    check(slot<WriteValueFn>(self, 10)(self, section.get(), key.get(), value.get(), &ok) == S_OK &&
              ok == VARIANT_TRUE,
          "slot 10 WriteValue");
    Str read;
    Str fallback(L"none");
    check(slot<GetValueFn>(self, 9)(self, section.get(), key.get(), fallback.get(), read.put()) == S_OK &&
              read.text() == L"spaced",
          "slot 9 GetValue, trimmed");
    Str missing(L"Missing");
    check(slot<GetValueFn>(self, 9)(self, section.get(), missing.get(), fallback.get(), read.put()) == S_OK &&
              read.text() == L"none",
          "slot 9 GetValue of a missing key gives the default");

    Ref<IDispatch> sections;
    check(slot<ListFn>(self, 11)(self, sections.put()) == S_OK && collection_count(sections.get()) == 1,
          "slot 11 GetAllSections");
    Ref<IDispatch> keys;
    check(slot<ListKeysFn>(self, 12)(self, section.get(), keys.put()) == S_OK &&
              collection_count(keys.get()) == 1,
          "slot 12 GetAllKeys");
    check(slot<DeleteEntryFn>(self, 14)(self, section.get(), key.get(), &ok) == S_OK && ok == VARIANT_TRUE,
          "slot 14 DeleteKey");
    check(slot<GetValueFn>(self, 9)(self, section.get(), key.get(), nullptr, read.put()) == S_OK &&
              read.text().empty(),
          "slot 9 GetValue after DeleteKey, default omitted");
    check(slot<DeleteSectionFn>(self, 13)(self, section.get(), &ok) == S_OK && ok == VARIANT_TRUE,
          "slot 13 DeleteSection");
    check(slot<ListFn>(self, 11)(self, sections.put()) == S_OK && collection_count(sections.get()) == 0,
          "slot 11 GetAllSections after DeleteSection");

    // Binding: a failure keeps the previous file; nothing there is emptied.
    const std::wstring folder = scratch + L"\\folder";
    CreateDirectoryW(folder.c_str(), nullptr);
    Str directory(folder.c_str());
    check(slot<PutString>(self, 7)(self, directory.get()) == file_error(75),
          "FileName of a directory: error 75");
    const std::wstring absent = scratch + L"\\absent\\x.ini";
    Str no_folder(absent.c_str());
    check(slot<PutString>(self, 7)(self, no_folder.get()) == file_error(76),
          "FileName in a missing folder: error 76");
    check(slot<GetString>(self, 8)(self, bound.put()) == S_OK && bound.text() == path,
          "a failed binding keeps the previous file");

    const std::wstring hidden = scratch + L"\\hidden.ini";
    {
        HANDLE h = CreateFileW(hidden.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_HIDDEN, nullptr);
        DWORD written = 0;
        WriteFile(h, "[S]\r\nk=v\r\n", 10, &written, nullptr);
        CloseHandle(h);
    }
    Str hidden_name(hidden.c_str());
    check(slot<PutString>(self, 7)(self, hidden_name.get()) == file_error(75),
          "FileName of a hidden file: error 75");
    WIN32_FILE_ATTRIBUTE_DATA data{};
    check(GetFileAttributesExW(hidden.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow == 10,
          "a hidden file is not emptied");

    const std::wstring pattern = scratch + L"\\*.ini";
    Str wildcard(pattern.c_str());
    check(slot<PutString>(self, 7)(self, wildcard.get()) == file_error(52),
          "FileName with a wildcard: error 52");
}

void check_registry_handler()
{
    Ref<IDispatch> registry;
    check(SUCCEEDED(CoCreateInstance(vh::CLSID_RegistryHandler, nullptr, CLSCTX_INPROC_SERVER,
                                     vh::IID__RegistryHandler, reinterpret_cast<void**>(registry.put()))),
          "RegistryHandler: created");
    if (!registry) {
        return;
    }
    check_type_info_of(registry.get(), vh::IID__RegistryHandler, "RegistryHandler");
    void* self = registry.get();
    const LONG hkcu = static_cast<LONG>(vh::HKEYS::current_user);

    Str path(L"Software\\VornhallClient\\Sub");
    Str name(L"Number");
    Str written;
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = -7;
    check(slot<WriteRegFn>(self, 8)(self, hkcu, path.get(), name.get(), number, written.put()) == S_OK &&
              written.text().empty(),
          "slot 8 WriteRegValue");
    LONG found = 0;
    check(slot<CheckKeyFn>(self, 7)(self, hkcu, path.get(), &found) == S_OK && found == -1,
          "slot 7 CheckRegistryKey");

    LONG root = hkcu;
    Var value;
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
        Ref<IClassFactory> factory;
        const GUID other{0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
        check(get_class_object(other, IID_IClassFactory, reinterpret_cast<void**>(factory.put())) ==
                  CLASS_E_CLASSNOTAVAILABLE,
              "DllGetClassObject refuses another class");
        check(SUCCEEDED(get_class_object(vh::CLSID_RegistryHandler, IID_IClassFactory,
                                         reinterpret_cast<void**>(factory.put()))),
              "DllGetClassObject");
        Ref<IDispatch> object;
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
    std::printf("client: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
