// Registration of a component module in the registry store.
#include <dlfcn.h>

#include "cli/client.h"
#include "cli/verbs.h"

namespace vh::cli {

namespace {

// Loads a module and calls one of its registration entry points.
int call_entry(const Args& a, const char* entry, const char* done, const Output& out)
{
    const std::filesystem::path path = a.empty() ? default_module() : module_path(a[0]);
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        throw Failure{"cannot load " + path.string() + ": " + dlerror()};
    }
    auto function = reinterpret_cast<HRESULT (*)()>(dlsym(module, entry));
    const HRESULT status = function != nullptr ? function() : E_NOTIMPL;
    dlclose(module);
    if (FAILED(status)) {
        throw Failure{std::string(entry) + " of " + path.string() + " failed (" + hex(status) + ")"};
    }
    out.result(std::string(done) + " " + path.string(), json_string(path.string()));
    return exit_ok;
}

}  // namespace

const VerbTable& module_verbs()
{
    static const VerbTable verbs{
        {"register",
         {"register [MODULE]", "register the component's classes (default: Vornhall.so beside vornhall)", 0, 1,
          [](const Args& a, const Output& out) { return call_entry(a, "DllRegisterServer", "registered", out); }}},
        {"unregister",
         {"unregister [MODULE]", "remove the component's registration", 0, 1,
          [](const Args& a, const Output& out) {
              return call_entry(a, "DllUnregisterServer", "unregistered", out);
          }}},
    };
    return verbs;
}

}  // namespace vh::cli
