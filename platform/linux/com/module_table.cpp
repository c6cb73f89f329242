#include "platform/linux/com/module_table.h"

#include <dlfcn.h>
#include <sys/stat.h>

namespace vh::com {

std::unique_ptr<LoadedModule> LoadedModule::load(const std::string& path, HRESULT& status)
{
    // Only an absolute path names one file: a relative one would be
    // looked up in whatever folder the process is in, or on the library
    // search path, and load whatever module stands there.
    if (path.empty() || path.front() != '/') {
        status = HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto module = std::unique_ptr<LoadedModule>(new LoadedModule());
    module->m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module->m_handle == nullptr) {
        struct stat info {};
        const bool no_file = ::stat(path.c_str(), &info) != 0;
        status = HRESULT_FROM_WIN32(no_file ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    module->m_get_class_object =
        reinterpret_cast<GetClassObjectEntry>(dlsym(module->m_handle, "DllGetClassObject"));
    module->m_can_unload_now =
        reinterpret_cast<CanUnloadNowEntry>(dlsym(module->m_handle, "DllCanUnloadNow"));
    if (module->m_get_class_object == nullptr) {
        status = CO_E_ERRORINDLL;
        return nullptr;
    }
    status = S_OK;
    return module;
}

LoadedModule::~LoadedModule()
{
    if (m_handle != nullptr) {
        dlclose(m_handle);
    }
}

std::shared_ptr<ModuleEntry> ModuleTable::acquire(const std::string& path, ApartmentId apartment,
                                                  HRESULT& status)
{
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (auto found = find([&](const ModuleEntry& entry) { return entry.path == path; })) {
            return use(found, apartment);
        }
    }
    // Loaded unlocked: the module's constructors may create objects.
    auto fresh = std::make_shared<ModuleEntry>();
    fresh->path = path;
    fresh->module = LoadedModule::load(path, status);
    if (!fresh->module) {
        return nullptr;
    }
    const std::lock_guard<std::mutex> lock(m_lock);
    // Another thread may have loaded the same file meanwhile, under this
    // path or another; the extra reference of `fresh` goes with it.
    const void* handle = fresh->module->handle();
    if (auto found = find([&](const ModuleEntry& entry) { return entry.module->handle() == handle; })) {
        return use(found, apartment);
    }
    m_entries.push_back(fresh);
    return use(fresh, apartment);
}

void ModuleTable::sweep(ApartmentId apartment, bool apartment_ends)
{
    std::vector<std::shared_ptr<ModuleEntry>> unloading;  // released after the lock, which calls dlclose
    const std::lock_guard<std::mutex> lock(m_lock);
    unloading.reserve(m_entries.size());
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        ModuleEntry& entry = **it;
        if (it->use_count() == 1 && entry.module->can_unload_now()) {
            entry.stop_use(apartment);
            if (entry.users.empty()) {
                unloading.push_back(std::move(*it));
                it = m_entries.erase(it);
                continue;
            }
        } else if (apartment_ends) {
            entry.stop_use(apartment);
        }
        ++it;
    }
}

ModuleTable& modules()
{
    static ModuleTable* const table = new ModuleTable();
    return *table;
}

}  // namespace vh::com
