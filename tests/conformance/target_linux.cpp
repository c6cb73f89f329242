// The native build: the stand-ins, with a registry store of the suite's own.
#include <cstdlib>
#include <stdexcept>

#include "tests/conformance/runner.h"

namespace vh::conformance {

bool running_on_wine()
{
    return false;
}

std::filesystem::path make_private_directory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vornhall-conformance-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    return pattern;
}

void use_private_registry(const std::filesystem::path& directory)
{
    setenv("VORNHALL_REGISTRY", (directory / "registry.db").c_str(), 1);
}

}  // namespace vh::conformance
