// A shared library opened with dlopen, closed when its owner goes: the one
// owner of a loaded module outside the in-process server code (the client,
// the benchmarks and the tests load the component's module by path).
#pragma once

#include <dlfcn.h>

namespace vh {

class LoadedLibrary {
public:
    LoadedLibrary() noexcept = default;
    // `flags` as dlopen takes them; RTLD_NOLOAD only looks for a library
    // already in the process.
    explicit LoadedLibrary(const char* path, int flags = RTLD_NOW | RTLD_LOCAL) noexcept
        : m_handle(dlopen(path, flags))
    {
    }
    ~LoadedLibrary()
    {
        if (m_handle != nullptr) {
            dlclose(m_handle);
        }
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    explicit operator bool() const noexcept { return m_handle != nullptr; }
    void* get() const noexcept { return m_handle; }

    // The address of an exported function, cast to its type; null when the
    // library is not loaded or has no such export.
    template <class Function>
    Function function(const char* name) const noexcept
    {
        return m_handle != nullptr ? reinterpret_cast<Function>(dlsym(m_handle, name)) : nullptr;
    }

private:
    void* m_handle = nullptr;
};

}  // namespace vh
