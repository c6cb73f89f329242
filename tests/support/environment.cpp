#include "tests/support/environment.h"

#include <stdexcept>

namespace vh::test {

void set_environment(const char* name, const char* value)
{
    if (value == nullptr) {
        unset_environment(name);
        return;
    }
    if (setenv(name, value, 1) != 0) {
        throw std::runtime_error(std::string("cannot set ") + name);
    }
}

void unset_environment(const char* name)
{
    if (unsetenv(name) != 0) {
        throw std::runtime_error(std::string("cannot remove ") + name);
    }
}

}  // namespace vh::test
