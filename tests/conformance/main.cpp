// The platform conformance suite: the profile, registry, file and code-page
// functions the component calls, checked row by row against what the
// platform documents. Prints one line per failed row and ends with
// "conformance: N passed, M failed"; exits non-zero on any failure.
#include "tests/conformance/runner.h"
#include "tests/support/temp_dir.h"

int main()
{
    using namespace vh::conformance;
    const vh::test::TempDir scratch;
    const std::filesystem::path& directory = scratch.path();
    use_private_registry(directory);

    Runner runner(running_on_wine());
    run_profile_rows(runner, directory);
    run_registry_rows(runner);
    run_file_rows(runner, directory);
    run_code_page_rows(runner);
    return runner.finish();
}
