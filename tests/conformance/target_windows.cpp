// The Windows build: the system's own functions, on Windows or on Wine.
// The registry is the system's (in Wine's case the private prefix the run
// makes); the suite keeps its keys below one key of its own.
#include <string>

#include "platform/win32.h"
#include "tests/conformance/runner.h"

namespace vh::conformance {

bool running_on_wine()
{
    // Wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void use_private_registry(const std::filesystem::path& /*directory*/)
{
}

}  // namespace vh::conformance
