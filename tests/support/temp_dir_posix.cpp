// Where the temporary directory comes from on POSIX systems.
#include "tests/support/temp_dir.h"

#include <unistd.h>
#include <cstdlib>
#include <stdexcept>

namespace vh::test {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vornhall-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    m_path = pattern;
}

}  // namespace vh::test
