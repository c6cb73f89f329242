#include "cli/client.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "automation/late_bound.h"
#include "platform/key_handle.h"
#include "platform/linux/loaded_library.h"

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
    // Beside the client in a build folder; where it was installed, at the
    // place the installation gives the module relative to the client.
    std::error_code ignored;
    const std::filesystem::path folder =
        std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path();
    if (std::filesystem::exists(folder / "Vornhall.so", ignored)) {
        return folder / "Vornhall.so";
    }
    return (folder / VH_INSTALLED_MODULE).lexically_normal();
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

HRESULT call_module_entry(const std::filesystem::path& module, const char* entry)
{
    const LoadedLibrary library(module.c_str());
    if (!library) {
        throw Failure{"cannot load " + module.string() + ": " + dlerror()};
    }
    const auto function = library.function<HRESULT (*)()>(entry);
    return function != nullptr ? function() : E_NOTIMPL;
}

namespace {

// First use of a store: registers the module the client was installed
// with, so that a command right after installing works. False when there
// is no module to register.
bool register_on_first_use()
{
    std::error_code ignored;
    const std::filesystem::path module = module_path(default_module());
    if (!std::filesystem::is_regular_file(module, ignored)) {
        return false;
    }
    if (const HRESULT status = call_module_entry(module, "DllRegisterServer"); FAILED(status)) {
        throw Failure{"this registry store has no registration of the component, and registering " +
                      module.string() + " failed (" + hex(status) + ")"};
    }
    std::fprintf(stderr, "vornhall: registered %s in this registry store (its first use)\n", module.c_str());
    return true;
}

}  // namespace

ComPtr<IDispatch> create_object(const std::u16string& prog_id)
{
    CLSID clsid{};
    HRESULT status = CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(prog_id.c_str()), &clsid);
    if (FAILED(status) && status != CO_E_CLASSSTRING) {
        // A store that cannot be read says more than "not registered".
        KeyHandle key;
        const LSTATUS store = RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, key.slot());
        if (const std::string problem = store_problem(store); !problem.empty()) {
            throw Failure{problem};
        }
    }
    if (status == CO_E_CLASSSTRING && register_on_first_use()) {
        status = CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(prog_id.c_str()), &clsid);
    }
    if (status == CO_E_CLASSSTRING) {
        throw Failure{to_utf8(prog_id) + " is not registered in this registry store (" + hex(status) +
                      ") and there is no module at " + default_module().string() +
                      " to register: vornhall register MODULE"};
    }
    if (FAILED(status)) {
        throw Failure{"cannot look up " + to_utf8(prog_id) + " in this registry store (" + hex(status) + ")"};
    }
    ComPtr<IDispatch> object;
    status = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(object.put()));
    if (FAILED(status)) {
        throw Failure{"cannot create " + to_utf8(prog_id) + " (" + hex(status) + ")"};
    }
    return object;
}

Variant text_arg(const std::string& utf8)
{
    return Variant::from_string(Bstr(from_utf8(utf8)));
}

Variant call(IDispatch* object, const std::u16string& name, std::vector<Variant> args, WORD flags)
{
    const DISPID id = dispatch_id(object, name);
    if (id == DISPID_UNKNOWN) {
        throw Failure{"the component has no member " + to_utf8(name)};
    }
    ValueArgs made = value_args(args, flags);
    CallResult call = invoke(object, id, flags, std::move(made.args), std::move(made.named));
    if (call.status == DISP_E_EXCEPTION) {
        throw Failure{to_utf8(name) + " failed: " + to_utf8(call.excep.description()) + " (" +
                      hex(call.excep->scode) + ")"};
    }
    if (FAILED(call.status)) {
        throw Failure{to_utf8(name) + " failed (" + hex(call.status) + ")"};
    }
    return std::move(call.result);
}

std::string to_text(const Variant& value)
{
    return value.is_empty() ? "" : to_utf8(value.to_string().view());
}

bool to_bool(const Variant& value)
{
    return value.kind() == VT_BOOL && value.get().boolVal != VARIANT_FALSE;
}

}  // namespace vh::cli
