// The compiled client's checks of what the DLL carries: its type library,
// fact by fact against the member tables the component is built from, and
// its resources and version information.
#include <cstdio>
#include <string>
#include <vector>

#include "automation/members.h"
#include "ini/ini_members.h"
#include "module/vornhall.h"
#include "platform/win32.h"
#include "registry/registry_members.h"
#include "tests/windows/client.h"
#include "vornhall_version.h"

namespace vh::client {

namespace {

// ---- The type library against the member tables -------------------------------------

std::wstring type_name(ITypeInfo* info, HREFTYPE ref)
{
    vh::ComPtr<ITypeInfo> target;
    if (FAILED(info->GetRefTypeInfo(ref, target.put()))) {
        return L"?";
    }
    vh::Bstr name;
    target->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
    return text(name);
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
    vh::Bstr doc;
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
    vh::ComPtr<ITypeInfo> found;
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
    vh::Bstr name;
    vh::Bstr doc;
    DWORD context = 99;
    vh::Bstr help_file;
    found->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), &context, help_file.put());
    check(text(name) == wide(table.name), who + ": name");
    check(context == table.help_context, who + ": help context " + std::to_string(context));
    check(doc.get() == nullptr && help_file.get() == nullptr,
          who + ": no documentation string, no help file");

    HREFTYPE vtable_ref = 0;
    vh::ComPtr<ITypeInfo> vtable_part;
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
    vh::ComPtr<ITypeInfo> base;
    vh::ComPtr<ITypeLib> base_library;
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
    vh::ComPtr<ITypeInfo> info;
    check(SUCCEEDED(library->GetTypeInfoOfGuid(clsid, info.put())), who + ": found by class identifier");
    if (!info) {
        return;
    }
    TypeAttr a(info.get());
    check(a.ok && a.attr->typekind == TKIND_COCLASS, who + ": a class");
    check(a.ok && a.attr->wTypeFlags == TYPEFLAG_FCANCREATE, who + ": creatable, no other flag");
    check(a.ok && a.attr->cImplTypes == 1, who + ": one interface");
    vh::Bstr name;
    DWORD context = 99;
    info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, &context, nullptr);
    check(text(name) == class_name, who + ": name");
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
        vh::Bstr name;
        UINT count = 0;
        info->GetNames(v->memid, name.put(), 1, &count);
        const std::string who = "HKEYS." + narrow(constants[i].name);
        check(text(name) == constants[i].name, who + ": name and place");
        check(v->memid == static_cast<MEMBERID>(0x40000000 + i), who + ": member identifier");
        check(v->varkind == VAR_CONST && v->lpvarValue->vt == VT_I4 &&
                  v->lpvarValue->lVal == static_cast<LONG>(constants[i].value),
              who + ": value");
        info->ReleaseVarDesc(v);
    }
}

// The descriptions in order, each found at its index and by its identifier,
// and a name two interfaces share found in both.
void check_descriptions(ITypeLib* library)
{
    // The descriptions in order: the component's five, then the runtime's
    // collection interface. Each is found at its index and by its
    // identifier (checked below), so references between them still hold
    // after the build has put widl's output in this order.
    const wchar_t* order[] = {L"_RegistryHandler", L"RegistryHandler", L"_iniHandler",
                              L"iniHandler",       L"HKEYS",           L"_Collection"};
    const UINT count = library->GetTypeInfoCount();
    check(count == 6, "type library: six descriptions, " + std::to_string(count));
    for (UINT i = 0; i < count && i < 6; ++i) {
        vh::Bstr entry;
        library->GetDocumentation(static_cast<INT>(i), entry.put(), nullptr, nullptr, nullptr);
        check(text(entry) == order[i],
              "type library: description " + std::to_string(i) + " is " + narrow(order[i]));
        // The description found by its identifier is the one at this index.
        vh::ComPtr<ITypeInfo> info;
        vh::ComPtr<ITypeInfo> by_guid;
        vh::ComPtr<ITypeLib> container;
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
}

}  // namespace

void check_type_library(const std::wstring& dll)
{
    vh::ComPtr<ITypeLib> library;
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

    vh::Bstr name;
    vh::Bstr doc;
    vh::Bstr help_file;
    DWORD context = 99;
    library->GetDocumentation(-1, name.put(), doc.put(), &context, help_file.put());
    check(text(name) == L"Vornhall", "type library: name");
    check(doc.get() == nullptr && help_file.get() == nullptr && context == 0,
          "type library: no documentation string, no help file");

    check_descriptions(library.get());

    constexpr WORD component_flags =
        TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    check_interface(library.get(), vh::registry_handler_table(), component_flags);
    check_interface(library.get(), vh::ini_handler_table(), component_flags);
    check_interface(library.get(), vh::collection_table(), TYPEFLAG_FDISPATCHABLE, true);
    check_class(library.get(), vh::CLSID_RegistryHandler, vh::registry_handler_table(), 0);
    check_class(library.get(), vh::CLSID_iniHandler, vh::ini_handler_table(), 2099);

    vh::ComPtr<ITypeInfo> root_keys;
    check(SUCCEEDED(library->GetTypeInfoOfGuid(vh::GUID_HKEYS, root_keys.put())),
          "HKEYS: found by identifier");
    if (root_keys) {
        check_root_keys(root_keys.get());
    }
}

namespace {

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

}  // namespace

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

}  // namespace vh::client
