// A failure on its way out of a stand-in service, as the Win32 status its
// exported function will return (store and file failures, and the ordinary
// refusals such as "not found" or "access denied"). The exported function
// catches it at its edge; nothing else turns it into a status.
#pragma once

#include "platform/win32.h"

namespace vh {

class Win32Failure {
public:
    explicit Win32Failure(DWORD status) noexcept : m_status(status) {}
    DWORD status() const noexcept { return m_status; }

private:
    DWORD m_status;
};

}  // namespace vh
