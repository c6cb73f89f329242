// Where the temporary directory comes from on Windows.
#include "tests/support/temp_dir.h"

#include <stdexcept>

#include "platform/win32.h"

namespace vh::test {

TempDir::TempDir()
{
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("cannot find the temporary folder");
    }
    // A name that is taken is tried again with the next number.
    const DWORD start = GetCurrentProcessId() * 7919u + GetTickCount();
    for (DWORD attempt = 0; attempt < 1000; ++attempt) {
        const std::filesystem::path candidate =
            std::filesystem::path(base) / (L"vornhall-test-" + std::to_wstring(start + attempt));
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            m_path = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

}  // namespace vh::test
