// Test scaffolding for the registry: a private current user's tree per test,
// and a watch on the registry calls this program makes (the component's
// included, since it is linked into the program).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace vh::test {

// HKEY_CURRENT_USER is a fresh, empty tree while the object lives: a new
// store on Linux; on Windows the process's HKEY_CURRENT_USER is pointed at a
// new key, which is removed afterwards with everything under it.
class PrivateRegistry {
public:
    PrivateRegistry();
    ~PrivateRegistry();
    PrivateRegistry(const PrivateRegistry&) = delete;
    PrivateRegistry& operator=(const PrivateRegistry&) = delete;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Calls seen since the last reset_registry_calls().
struct RegistryCalls {
    std::vector<std::string> removed_keys;  // each RegDeleteKeyA that succeeded, by its path
    int read_opens = 0;                     // each RegOpenKeyExA asking for exactly KEY_READ
};
RegistryCalls& registry_calls();
void reset_registry_calls();

// How many registry keys this process holds open.
DWORD open_key_count();

// Makes a key refuse every open that asks to read it, or to change it or
// remove it; the other rights stay granted.
enum class Refuse { reading, changing };
LSTATUS refuse_access(HKEY root, const char* path, Refuse what);

}  // namespace vh::test
