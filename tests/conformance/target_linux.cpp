// The native build: the stand-ins, with a registry store of the suite's own.
#include "tests/conformance/runner.h"
#include "tests/support/environment.h"

namespace vh::conformance {

bool running_on_wine()
{
    return false;
}

void use_private_registry(const std::filesystem::path& directory)
{
    vh::test::set_environment("VORNHALL_REGISTRY", (directory / "registry.db").string().c_str());
}

}  // namespace vh::conformance
