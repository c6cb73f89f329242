// The benchmark workloads, one list for both builds: the native one times
// them with Google Benchmark, the Windows one (run under Wine, on Wine's own
// profile and registry functions) with a small loop of its own, so that the
// two can be set side by side.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace vh::bench {

struct Case {
    Case() = default;
    Case(std::string case_name, std::int64_t case_entries, int fixed_iterations, std::function<void()> once,
         std::function<void()> each, std::function<void()> call, std::function<void()> after = {})
        : name(std::move(case_name)),
          entries(case_entries),
          iterations(fixed_iterations),
          prepare(std::move(once)),
          before_each(std::move(each)),
          run(std::move(call)),
          finish(std::move(after))
    {
    }

    std::string name;
    // Entries one call visits (file entries, values, keys), for the cost per
    // entry; 0 for a per-call figure.
    std::int64_t entries = 0;
    // A fixed number of timed calls for the slow workloads; 0 lets the
    // harness take as many as its time allows.
    int iterations = 0;
    std::function<void()> prepare;      // once, untimed
    std::function<void()> before_each;  // before every call, untimed (workloads that use up their input)
    std::function<void()> run;          // the timed call
    std::function<void()> finish;       // once, untimed: frees what prepare made
    // Why the Windows run leaves the workload out, when the platform
    // cannot take it.
    std::string windows_limit;
    bool prepared = false;
};

// A call of a workload that failed: the harness reports it and goes on.
struct WorkloadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs prepare, and the call once untimed, the first time only.
void ready(Case& c);
// One call, with its untimed step before it.
void run_once(Case& c);
// Resident size after each of rounds runs of the largest workloads (those of
// 10,000 entries or more, but for the ones timed in a single call, which take
// minutes), for a check that repeated runs do not grow.
std::vector<std::uint64_t> memory_rounds(const std::vector<Case*>& cases, int rounds);

// Loads the component from its module file, makes the objects and the data
// the workloads run on in a private folder, and gives the workloads.
class Workloads {
public:
    Workloads(const std::filesystem::path& module, const std::filesystem::path& folder);
    ~Workloads();
    Workloads(const Workloads&) = delete;
    Workloads& operator=(const Workloads&) = delete;

    std::vector<Case> cases();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// What the system provides the harnesses: the component's class objects
// (bench/system_*.cpp).
struct Module;
std::shared_ptr<Module> load_module(const std::filesystem::path& path);
// The module's DllGetClassObject.
using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
GetClassObject class_objects(Module& module);
// A new object of the class, asked for the interface.
void* create_object(Module& module, REFCLSID clsid, REFIID iid);

// Resident size of this process now and at its peak, in bytes.
std::uint64_t resident_bytes();
std::uint64_t peak_resident_bytes();

// Stops the program with a message: the harness cannot run.
[[noreturn]] void fail(const std::string& what);

}  // namespace vh::bench
