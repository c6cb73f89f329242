// Registration of a component module in the registry store.
#include "cli/client.h"
#include "cli/verbs.h"

namespace vh::cli {

namespace {

// Loads a module and calls one of its registration entry points.
int call_entry(const Args& a, const char* entry, const char* done, const Output& out)
{
    const std::filesystem::path path = a.empty() ? default_module() : module_path(a[0]);
    const HRESULT status = call_module_entry(path, entry);
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
         {"register [MODULE]", "register the component's classes (default: the module vornhall came with)", 0,
          1,
          [](const Args& a, const Output& out) {
              return call_entry(a, "DllRegisterServer", "registered", out);
          }}},
        {"unregister",
         {"unregister [MODULE]", "remove the component's registration", 0, 1,
          [](const Args& a, const Output& out) {
              return call_entry(a, "DllUnregisterServer", "unregistered", out);
          }}},
    };
    return verbs;
}

}  // namespace vh::cli
