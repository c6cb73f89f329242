#include "tests/support/child_process.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace vh::test {

namespace {

// The child ends with _exit: no destructors or exit handlers of the test
// program run twice, and the leak check stays the parent's.
bool run_child(const std::function<bool()>& prepare, const std::function<bool()>& body)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        bool passed = false;
        try {
            passed = prepare() && body();
        } catch (...) {
            passed = false;
        }
        _exit(passed ? 0 : 1);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) {
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool in_child(const std::function<bool()>& body)
{
    return run_child([] { return true; }, body);
}

bool as_unprivileged_user(const std::vector<gid_t>& groups, const std::function<bool()>& body)
{
    if (!running_as_root()) {
        std::fprintf(stderr, "as_unprivileged_user: the test must run as root\n");
        return false;
    }
    return run_child(
        [&] {
            return setgroups(groups.size(), groups.data()) == 0 && setgid(unprivileged_gid) == 0 &&
                   setuid(unprivileged_uid) == 0 && geteuid() == unprivileged_uid;
        },
        body);
}

bool running_as_root()
{
    return geteuid() == 0;
}

}  // namespace vh::test
