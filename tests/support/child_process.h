// Test bodies run in a child process: to start without the parent's memory
// (parsed files, open keys), or as an unprivileged user, since CI runs the
// tests as root and permissions do not bind root.
#pragma once

#include <sys/types.h>

#include <functional>
#include <vector>

namespace vh::test {

// The user an unprivileged child runs as: nobody.
constexpr uid_t unprivileged_uid = 65534;
constexpr gid_t unprivileged_gid = 65534;

// Runs body in a child process (fork); true when it returned true.
bool in_child(const std::function<bool()>& body);

// Runs body in a child process as the unprivileged user with these
// supplementary groups; true when it returned true. False, with a message,
// when the test does not run as root and so cannot become that user.
bool as_unprivileged_user(const std::vector<gid_t>& groups, const std::function<bool()>& body);

// True when the test runs as root and can make files of other users.
bool running_as_root();

}  // namespace vh::test
