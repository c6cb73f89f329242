// The benchmarks on Linux, timed by Google Benchmark: the component's module
// over the Linux profile service and registry store.
//
//   vornhall_bench --module=Vornhall.so --folder=DIR [--memory_out=FILE]
//                  [--filter=TEXT] [Google Benchmark's flags]
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "bench/common_main.h"

int main(int argc, char** argv)
{
    using namespace vh::bench;
    benchmark::Initialize(&argc, argv);
    const Options options = take_options(argc, argv);
    // The registry workloads go to a store of their own.
    setenv("VORNHALL_REGISTRY", (options.folder / "registry.db").c_str(), 1);

    Workloads workloads(options.module, options.folder);
    std::vector<Case> cases = workloads.cases();
    const std::vector<Case*> chosen = selected(cases, options);
    for (Case* c : chosen) {
        auto* b = benchmark::RegisterBenchmark(c->name.c_str(), [c](benchmark::State& state) {
            try {
                ready(*c);
                for (auto _ : state) {
                    if (c->before_each) {
                        state.PauseTiming();
                        c->before_each();
                        state.ResumeTiming();
                    }
                    c->run();
                }
            } catch (const WorkloadError& error) {
                state.SkipWithError(error.what());
            }
            state.counters["entries"] = static_cast<double>(c->entries);
        });
        b->Unit(benchmark::kMicrosecond)->UseRealTime();
        if (c->iterations > 0) {
            b->Iterations(c->iterations);
        } else {
            b->MinTime(0.3);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    const std::uint64_t peak = peak_resident_bytes();
    write_memory(options.memory, peak, memory_rounds(chosen, options.memory_rounds));
    for (Case& c : cases) {
        if (c.finish) {
            c.finish();
        }
    }
    cases.clear();  // the objects go before their module
    benchmark::Shutdown();
    return 0;
}
