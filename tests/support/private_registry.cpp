// What the registry watch records, on every system.
#include "tests/support/private_registry.h"

namespace vh::test {

RegistryCalls& registry_calls()
{
    static RegistryCalls calls;
    return calls;
}

void reset_registry_calls()
{
    registry_calls() = RegistryCalls{};
}

}  // namespace vh::test
