// Setting environment variables of the test process.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace vh::test {

// Sets name to value in this process's environment, replacing any value; a
// null value removes the variable. Throws std::runtime_error on failure.
void set_environment(const char* name, const char* value);
// Removes name from this process's environment (no error when it is not there).
void unset_environment(const char* name);

// Points the profile service's folder (VORNHALL_WINDIR, where win.ini is)
// and the registry store (VORNHALL_REGISTRY, registry.db) into `folder`.
inline void use_private_folder(const std::filesystem::path& folder)
{
    set_environment("VORNHALL_WINDIR", folder.string().c_str());
    set_environment("VORNHALL_REGISTRY", (folder / "registry.db").string().c_str());
}

// A variable set (or, with a null value, removed) for the object's
// lifetime; what was there before is put back after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        set_environment(name, value);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() { set_environment(m_name.c_str(), m_old ? m_old->c_str() : nullptr); }

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

}  // namespace vh::test
