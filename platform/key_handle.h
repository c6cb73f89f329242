// The one owner of registry key handles: empty until the service fills it,
// closed on every way out.
#pragma once

#include <utility>

#include "platform/win32.h"

namespace vh {

class KeyHandle {
public:
    KeyHandle() = default;
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    ~KeyHandle()
    {
        if (m_key != nullptr) {
            RegCloseKey(m_key);
        }
    }

    HKEY get() const noexcept { return m_key; }
    // The handle variable itself, for the service to write. It is not
    // cleared first: whatever the service leaves there is what the handle is.
    HKEY* slot() noexcept { return &m_key; }
    // Closes the handle now; the service's status.
    LSTATUS close() noexcept { return RegCloseKey(std::exchange(m_key, nullptr)); }

private:
    HKEY m_key = nullptr;
};

}  // namespace vh
