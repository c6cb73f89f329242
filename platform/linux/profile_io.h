// The file operations of the profile service, in one place.
//
// Every system call that reads, writes, locks, renames or removes a profile
// file goes through the functions below, so that the test switch (VhFaultArm)
// can make a write, fsync, rename or creating open fail without
// touching the code that uses them. Each behaves like the POSIX call it
// stands for: on failure it returns false (or an empty descriptor) and
// leaves the reason in errno. Interrupted calls are repeated.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace vh::profile {

// Owns one open file descriptor; the only place a descriptor is closed.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }
    int release() noexcept
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept;

private:
    int m_fd = -1;
};

// A failure on its way to the exported function, as the Win32 error code
// that the caller will see.
class Win32Error {
public:
    explicit Win32Error(DWORD code) noexcept : m_code(code) {}
    DWORD code() const noexcept { return m_code; }

private:
    DWORD m_code;
};

// The Win32 error code for an errno value; fallback for those without one.
DWORD win32_error_from_errno(int error, DWORD fallback) noexcept;

namespace io {

UniqueFd open(const std::string& path, int flags, mode_t mode = 0) noexcept;
bool stat(const std::string& path, struct stat& info) noexcept;
bool lstat(const std::string& path, struct stat& info) noexcept;
bool fstat(int fd, struct stat& info) noexcept;
// Reads the whole file from its start; throws std::bad_alloc.
bool read_all(int fd, std::string& bytes);
// Reads the file from its start as far as it matches expected, without
// keeping what it reads: same is set when its bytes are exactly expected.
bool read_matches(int fd, std::string_view expected, bool& same) noexcept;
bool write_all(int fd, std::string_view bytes) noexcept;
bool sync(int fd) noexcept;
// Waits for the exclusive lock of the open file (flock).
bool lock_exclusive(int fd) noexcept;
// Gives the file the owner (as far as allowed) and the permissions of another.
bool copy_owner_and_mode(int fd, const struct stat& like) noexcept;
bool rename(const std::string& from, const std::string& to) noexcept;
bool remove(const std::string& path) noexcept;
// Creates the directory and any missing parents; throws std::bad_alloc.
bool make_directories(const std::string& path);

}  // namespace io

}  // namespace vh::profile
