// The differential run (see transcript.h): the profile files, then the
// registry sequences, each call one line of the transcript.
//
// Usage: vornhall_differential <transcript> <folder> <seed> <sequences> <operations>
// The folder receives the profile files (the run leaves them there); the
// registry keys go below HKEY_CURRENT_USER\Software\VornhallDifferential and
// are removed at the end. The last line counts the calls.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32.h"
#include "tests/differential/transcript.h"

int main(int argc, char** argv)
{
    using namespace vh::differential;
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s <transcript> <folder> <seed> <sequences> <operations>\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 2;
    }
    const std::uint64_t seed = std::strtoull(argv[3], nullptr, 10);
    const int sequences = std::atoi(argv[4]);
    const int operations = std::atoi(argv[5]);
    Line("run").number("code_page", GetACP()).number("seed", static_cast<long long>(seed)).write(out);
    const long profile_calls = run_profile_files(out, argv[2]);
    const long registry_calls = run_registry_sequences(out, seed, sequences, operations);
    Line("end")
        .number("profile_calls", profile_calls)
        .number("registry_calls", registry_calls)
        .number("sequences", sequences)
        .number("operations", operations)
        .write(out);
    return std::fclose(out) == 0 ? 0 : 1;
}
