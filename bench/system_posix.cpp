// The benchmark harness's system on Linux: the module opened with dlopen,
// resident sizes from /proc.
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

#include "bench/workloads.h"
#include "platform/linux/loaded_library.h"

namespace vh::bench {

struct Module {
    explicit Module(const std::filesystem::path& path) : library(path.c_str()) {}
    LoadedLibrary library;
    GetClassObject get_class_object = nullptr;
};

std::shared_ptr<Module> load_module(const std::filesystem::path& path)
{
    auto module = std::make_shared<Module>(path);
    if (!module->library) {
        fail("cannot load " + path.string() + ": " + dlerror());
    }
    module->get_class_object = module->library.function<GetClassObject>("DllGetClassObject");
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
