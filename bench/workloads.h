// The benchmark workloads, one list for both builds: the native one times
// them with Google Benchmark, the Windows one (run under Wine, on Wine's own
// profile and registry functions) with a small loop of its own, so that the
// two can be set side by side.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace vh::bench {

struct Case {
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
    bool prepared = false;
};

// Runs prepare, and the call once untimed, the first time only.
void ready(Case& c);
// One call, with its untimed step before it.
void run_once(Case& c);
// Resident size after each of rounds runs of the largest workloads (those of
// 10,000 entries or more), for a check that repeated runs do not grow.
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
// A new object of the class, asked for the interface.
void* create_object(Module& module, REFCLSID clsid, REFIID iid);

// Resident size of this process now and at its peak, in bytes.
std::uint64_t resident_bytes();
std::uint64_t peak_resident_bytes();

// Stops the program with a message: a workload whose call fails measures
// nothing.
[[noreturn]] void fail(const std::string& what);

}  // namespace vh::bench
