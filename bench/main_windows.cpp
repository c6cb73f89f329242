// The benchmarks on Windows (run under Wine): the component's DLL over the
// system's own profile and registry functions. Each workload is timed the
// way Google Benchmark times the native one: calls repeated until a third
// of a second has gone (or a fixed count for the slow ones), the untimed
// step before each call left out, the mean wall-clock time per call
// reported; the output is in Google Benchmark's JSON form.
//
//   vornhall_bench.exe --module=Vornhall.dll --folder=DIR --out=FILE
//                      [--memory_out=FILE] [--filter=TEXT]
#include <cstdio>
#include <fstream>
#include <string>

#include "bench/common_main.h"

namespace {

using namespace vh::bench;

double seconds_now()
{
    static const double frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<double>(value.QuadPart);
    }();
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return static_cast<double>(value.QuadPart) / frequency;
}

struct Timing {
    std::int64_t iterations = 0;
    double seconds = 0;
};

Timing time_case(Case& c)
{
    ready(c);
    Timing timing;
    const auto timed_call = [&c, &timing] {
        if (c.before_each) {
            c.before_each();
        }
        const double start = seconds_now();
        c.run();
        timing.seconds += seconds_now() - start;
        ++timing.iterations;
    };
    if (c.iterations > 0) {
        for (int i = 0; i < c.iterations; ++i) {
            timed_call();
        }
        return timing;
    }
    while (timing.seconds < 0.3 && timing.iterations < 10000000) {
        timed_call();
    }
    return timing;
}

// A text as a JSON string's contents.
std::string json_text(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            result.push_back('\\');
        }
        result.push_back(c);
    }
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = take_options(argc, argv);
    Workloads workloads(options.module, options.folder);
    std::vector<Case> cases = workloads.cases();
    const std::vector<Case*> chosen = selected(cases, options);

    std::ofstream out(options.output);
    out << "{\n  \"benchmarks\": [";
    bool first = true;
    for (Case* c : chosen) {
        out << (first ? "\n" : ",\n") << "    {\"name\": \"" << c->name << "\", ";
        first = false;
        if (!c->windows_limit.empty()) {
            std::printf("%-48s left out: %s\n", c->name.c_str(), c->windows_limit.c_str());
            out << "\"skipped\": \"" << json_text(c->windows_limit) << "\"}";
            continue;
        }
        try {
            const Timing timing = time_case(*c);
            const double micros = timing.seconds * 1e6 / static_cast<double>(timing.iterations);
            std::printf("%-48s %14.2f us %10lld\n", c->name.c_str(), micros,
                        static_cast<long long>(timing.iterations));
            out << "\"iterations\": " << timing.iterations << ", \"real_time\": " << micros
                << ", \"time_unit\": \"us\", \"entries\": " << c->entries << "}";
        } catch (const WorkloadError& error) {
            std::printf("%-48s failed: %s\n", c->name.c_str(), error.what());
            out << "\"error_occurred\": true, \"error_message\": \"" << json_text(error.what()) << "\"}";
        }
        std::fflush(stdout);
    }
    out << "\n  ]\n}\n";
    out.close();

    const std::uint64_t peak = peak_resident_bytes();
    std::vector<Case*> runnable;
    for (Case* c : chosen) {
        if (c->windows_limit.empty()) {
            runnable.push_back(c);
        }
    }
    write_memory(options.memory, peak, memory_rounds(runnable, options.memory_rounds));
    for (Case& c : cases) {
        if (c.finish) {
            c.finish();
        }
    }
    cases.clear();  // the objects go before their module
    return 0;
}
