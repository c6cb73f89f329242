// The process's table of in-process server modules loaded with dlopen, and
// which apartments use each (ole32.cpp says when modules load and unload).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace vh::com {

// An apartment's identity; 0 for none.
using ApartmentId = std::uint64_t;

using GetClassObjectEntry = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowEntry = HRESULT (*)();

// A module loaded with dlopen: the one owner of its handle, and the only
// place that calls dlclose.
class LoadedModule {
public:
    // Loads the module at path; on failure returns null with the status of
    // ole32 for it in `status`.
    static std::unique_ptr<LoadedModule> load(const std::string& path, HRESULT& status);

    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    // dlopen gives one handle per file, whatever the spelling of its path.
    const void* handle() const { return m_handle; }
    HRESULT get_class_object(REFCLSID clsid, REFIID riid, void** object) const
    {
        return m_get_class_object(clsid, riid, object);
    }
    // A module without DllCanUnloadNow stays loaded, as with ole32.
    bool can_unload_now() const { return m_can_unload_now != nullptr && m_can_unload_now() == S_OK; }

private:
    LoadedModule() = default;

    void* m_handle = nullptr;
    GetClassObjectEntry m_get_class_object = nullptr;
    CanUnloadNowEntry m_can_unload_now = nullptr;
};

struct ModuleEntry {
    std::string path;
    std::unique_ptr<LoadedModule> module;
    std::vector<ApartmentId> users;  // the apartments that use it

    bool used_by(ApartmentId apartment) const
    {
        return std::find(users.begin(), users.end(), apartment) != users.end();
    }
    void stop_use(ApartmentId apartment)
    {
        users.erase(std::remove(users.begin(), users.end(), apartment), users.end());
    }
};

// The process's loaded modules. A copy of an entry's pointer is taken only
// with the table locked, so an entry whose only holder is the table is used
// by no creation in progress.
class ModuleTable {
public:
    // The module at path, loaded if need be, marked as used by apartment.
    // Null on failure, with the status in `status`.
    std::shared_ptr<ModuleEntry> acquire(const std::string& path, ApartmentId apartment, HRESULT& status);

    // For apartment: lets go of each module whose DllCanUnloadNow reports
    // S_OK, and unloads it when no other apartment uses it. At the end of
    // the apartment it lets go of the other modules too; they stay loaded.
    void sweep(ApartmentId apartment, bool apartment_ends);

private:
    template <class Match>
    std::shared_ptr<ModuleEntry> find(Match match) const
    {
        const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                     [&](const auto& entry) { return match(*entry); });
        return it == m_entries.end() ? nullptr : *it;
    }

    static std::shared_ptr<ModuleEntry> use(const std::shared_ptr<ModuleEntry>& entry, ApartmentId apartment)
    {
        if (!entry->used_by(apartment)) {
            entry->users.push_back(apartment);
        }
        return entry;
    }

    std::mutex m_lock;
    std::vector<std::shared_ptr<ModuleEntry>> m_entries;
};

// The process's table. Never destroyed: modules stay loaded until the
// process ends, and no static destructor unloads a module whose objects may
// still be in use.
ModuleTable& modules();

}  // namespace vh::com
