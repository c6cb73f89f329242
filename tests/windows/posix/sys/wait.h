// The process calls of the member tests that Windows does not have, so that
// those tests compile for Windows unchanged. There is no fork: it always
// fails, and the tests that create processes this way are not run under
// Wine (see run-wine-tests).
#pragma once

#include <sys/types.h>

#include <cerrno>

inline pid_t fork()
{
    errno = ENOSYS;
    return -1;
}

inline pid_t waitpid(pid_t, int*, int)
{
    errno = ECHILD;
    return -1;
}

#define WIFEXITED(status) false
#define WEXITSTATUS(status) (status)
