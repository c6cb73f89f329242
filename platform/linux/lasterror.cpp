// The calling thread's last-error value, as kernel32 keeps it: each thread
// has its own, and only functions that fail (or say so) change it.
#include "platform/win32.h"

namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;

}  // namespace

DWORD GetLastError()
{
    return t_last_error;
}

void SetLastError(DWORD code)
{
    t_last_error = code;
}
