// The benchmark harness's system on Linux: the module opened with dlopen,
// resident sizes from /proc.
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

#include "bench/workloads.h"

namespace vh::bench {

struct Module {
    void* handle = nullptr;
    GetClassObject get_class_object = nullptr;
    ~Module() { dlclose(handle); }
};

std::shared_ptr<Module> load_module(const std::filesystem::path& path)
{
    auto module = std::make_shared<Module>();
    module->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module->handle == nullptr) {
        fail("cannot load " + path.string() + ": " + dlerror());
    }
    module->get_class_object = reinterpret_cast<GetClassObject>(dlsym(module->handle, "DllGetClassObject"));
    if (module->get_class_object == nullptr) {
        fail(path.string() + " has no DllGetClassObject");
    }
    return module;
}

GetClassObject class_objects(Module& module)
{
    return module.get_class_object;
}

std::uint64_t resident_bytes()
{
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    std::uint64_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

std::uint64_t peak_resident_bytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace vh::bench
