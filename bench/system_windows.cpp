// The benchmark harness's system on Windows: the DLL loaded by path,
// resident sizes from the process's memory counters.
#include "bench/workloads.h"

// After the platform's main header, which it needs.
#include <psapi.h>

namespace vh::bench {

struct Module {
    HMODULE handle = nullptr;
    GetClassObject get_class_object = nullptr;
    ~Module() { FreeLibrary(handle); }
};

std::shared_ptr<Module> load_module(const std::filesystem::path& path)
{
    auto module = std::make_shared<Module>();
    module->handle = LoadLibraryW(path.c_str());
    if (module->handle == nullptr) {
        fail("cannot load " + path.string() + ": error " + std::to_string(GetLastError()));
    }
    module->get_class_object = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module->handle, "DllGetClassObject")));
    if (module->get_class_object == nullptr) {
        fail(path.string() + " has no DllGetClassObject");
    }
    return module;
}

GetClassObject class_objects(Module& module)
{
    return module.get_class_object;
}

namespace {
PROCESS_MEMORY_COUNTERS counters()
{
    PROCESS_MEMORY_COUNTERS result{};
    GetProcessMemoryInfo(GetCurrentProcess(), &result, sizeof result);
    return result;
}
}  // namespace

std::uint64_t resident_bytes()
{
    return counters().WorkingSetSize;
}

std::uint64_t peak_resident_bytes()
{
    return counters().PeakWorkingSetSize;
}

}  // namespace vh::bench
