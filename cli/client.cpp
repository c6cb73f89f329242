#include "cli/client.h"

#include <cstdio>
#include <cstdlib>

namespace vh::cli {

std::string hex(HRESULT status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::filesystem::path module_path(const std::filesystem::path& given)
{
    std::error_code error;
    std::filesystem::path path =
        std::filesystem::weakly_canonical(std::filesystem::absolute(given, error), error);
    return error ? std::filesystem::absolute(given) : path;
}

std::filesystem::path default_module()
{
    if (const char* path = std::getenv("VORNHALL_MODULE"); path != nullptr && *path != '\0') {
        return module_path(path);
    }
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / "Vornhall.so";
}

std::string store_problem(LSTATUS status)
{
    switch (static_cast<DWORD>(status)) {
        case ERROR_BADDB:
            return "the registry store is not a Vornhall registry store (status 1009): another program's "
                   "database, a damaged store or one from a newer release; it was left as it was "
                   "(VORNHALL_REGISTRY names the store)";
        case ERROR_CANTOPEN:
            return "the registry store cannot be opened (status 1011): its folder or file is missing or not "
                   "writable, or the file has a second name (a hard link)";
        default:
            return {};
    }
}

ComPtr<IDispatch> create_object(const std::u16string& prog_id)
{
    CLSID clsid{};
    HRESULT status = CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(prog_id.c_str()), &clsid);
    if (FAILED(status)) {
        // A store that cannot be read says more than "not registered".
        HKEY key = nullptr;
        const LSTATUS store = RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &key);
        if (store == ERROR_SUCCESS) {
            RegCloseKey(key);
        } else if (const std::string problem = store_problem(store); !problem.empty()) {
            throw Failure{problem};
        }
        throw Failure{to_utf8(prog_id) + " is not registered in this registry store (" + hex(status) +
                      "); register the component first: vornhall register"};
    }
    ComPtr<IDispatch> object;
    status = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(object.put()));
    if (FAILED(status)) {
        throw Failure{"cannot create " + to_utf8(prog_id) + " (" + hex(status) + ")"};
    }
    return object;
}

Variant text_arg(const std::string& utf8) { return Variant::from_string(Bstr(from_utf8(utf8))); }

Variant call(IDispatch* object, const std::u16string& name, std::vector<Variant> args, WORD flags)
{
    std::u16string buffer = name;
    LPOLESTR names[1] = {reinterpret_cast<LPOLESTR>(buffer.data())};
    DISPID id = 0;
    HRESULT status = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(status)) {
        throw Failure{"the component has no member " + to_utf8(name)};
    }
    // Arguments travel last one first.
    std::vector<VARIANT> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) {
        reversed.push_back(it->get());
    }
    DISPID put_id = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &put_id;
        params.cNamedArgs = 1;
    }
    Variant result;
    EXCEPINFO excep{};
    UINT arg_error = 0;
    status = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.put(), &excep, &arg_error);
    const Bstr description = Bstr::attach(excep.bstrDescription);
    const Bstr source = Bstr::attach(excep.bstrSource);
    const Bstr help = Bstr::attach(excep.bstrHelpFile);
    if (status == DISP_E_EXCEPTION) {
        throw Failure{to_utf8(name) + " failed: " + to_utf8(description.view()) + " (" + hex(excep.scode) + ")"};
    }
    if (FAILED(status)) {
        throw Failure{to_utf8(name) + " failed (" + hex(status) + ")"};
    }
    return result;
}

std::string to_text(const Variant& value) { return value.is_empty() ? "" : to_utf8(value.to_string().view()); }

bool to_bool(const Variant& value) { return value.kind() == VT_BOOL && value.get().boolVal != VARIANT_FALSE; }

}  // namespace vh::cli
