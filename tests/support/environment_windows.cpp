#include <stdexcept>

#include "tests/support/environment.h"

namespace vh::test {

void set_environment(const char* name, const char* value)
{
    // An empty value removes the variable on Windows.
    if (_putenv_s(name, value != nullptr ? value : "") != 0) {
        throw std::runtime_error(std::string("cannot set ") + name);
    }
}

void unset_environment(const char* name)
{
    set_environment(name, nullptr);
}

}  // namespace vh::test
