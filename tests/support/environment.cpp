#include "tests/support/environment.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace vh::test {

void set_environment(const char* name, const char* value)
{
    if (setenv(name, value, 1) != 0) {
        throw std::runtime_error(std::string("cannot set ") + name);
    }
}

}  // namespace vh::test
