// Setting an environment variable of the test process.
#pragma once

namespace vh::test {

// Sets name to value in this process's environment, replacing any value.
void set_environment(const char* name, const char* value);

}  // namespace vh::test
