// The private registry on Linux: a store of its own, and the registry calls
// watched by defining them in the program and handing each on to the
// service's own definition.
#include <dlfcn.h>

#include "tests/support/environment.h"
#include "tests/support/private_registry.h"
#include "tests/support/temp_dir.h"

namespace vh::test {

struct PrivateRegistry::State {
    TempDir dir;
};

PrivateRegistry::PrivateRegistry() : m_state(std::make_unique<State>())
{
    set_environment("VORNHALL_REGISTRY", (m_state->dir.path() / "registry.db").string().c_str());
}

PrivateRegistry::~PrivateRegistry() = default;

DWORD open_key_count()
{
    return VhRegOpenHandleCount();
}

LSTATUS refuse_access(HKEY root, const char* path, Refuse what)
{
    return VhRegSetKeyAccess(root, path, what == Refuse::reading ? VH_KEY_DENY_READ : VH_KEY_DENY_WRITE);
}

namespace {
template <class F>
F next_definition(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
}  // namespace

}  // namespace vh::test

extern "C" LSTATUS RegDeleteKeyA(HKEY parent, LPCSTR subkey)
{
    static auto real = vh::test::next_definition<LSTATUS (*)(HKEY, LPCSTR)>("RegDeleteKeyA");
    const LSTATUS status = real(parent, subkey);
    if (status == ERROR_SUCCESS) {
        vh::test::registry_calls().removed_keys.emplace_back(subkey);
    }
    return status;
}

extern "C" LSTATUS RegOpenKeyExA(HKEY parent, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result)
{
    static auto real =
        vh::test::next_definition<LSTATUS (*)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY)>("RegOpenKeyExA");
    vh::test::registry_calls().read_opens += access == KEY_READ ? 1 : 0;
    return real(parent, subkey, options, access, result);
}
