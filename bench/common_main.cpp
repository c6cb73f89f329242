#include "bench/common_main.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>

namespace vh::bench {

Options take_options(int& argc, char** argv)
{
    Options options;
    std::string module;
    std::string folder;
    std::string output;
    std::string memory;
    std::string rounds;
    const std::pair<const char*, std::string*> known[] = {
        {"--module=", &module},     {"--folder=", &folder},        {"--out=", &output},
        {"--memory_out=", &memory}, {"--memory_rounds=", &rounds}, {"--filter=", &options.filter},
    };
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        bool taken = false;
        for (const auto& [name, target] : known) {
            if (argument.substr(0, std::strlen(name)) == name) {
                *target = argument.substr(std::strlen(name));
                taken = true;
            }
        }
        if (!taken) {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    if (module.empty() || folder.empty()) {
        fail(
            "usage: --module=FILE --folder=DIR [--out=FILE] [--memory_out=FILE] [--memory_rounds=N] "
            "[--filter=TEXT]");
    }
    options.module = module;
    options.folder = folder;
    options.output = output;
    options.memory = memory;
    options.memory_rounds = rounds.empty() ? 3 : std::atoi(rounds.c_str());
    std::filesystem::create_directories(options.folder);
    return options;
}

std::vector<Case*> selected(std::vector<Case>& cases, const Options& options)
{
    std::vector<Case*> result;
    for (Case& c : cases) {
        if (c.name.find(options.filter) != std::string::npos) {
            result.push_back(&c);
        }
    }
    return result;
}

void write_memory(const std::filesystem::path& path, std::uint64_t peak,
                  const std::vector<std::uint64_t>& rounds)
{
    if (path.empty()) {
        return;
    }
    std::ofstream out(path);
    out << "{\"peak_resident_bytes\": " << peak << ", \"resident_bytes_after_round\": [";
    for (std::size_t i = 0; i < rounds.size(); ++i) {
        out << (i == 0 ? "" : ", ") << rounds[i];
    }
    out << "]}\n";
}

}  // namespace vh::bench
