#include "platform/linux/profile_io.h"

#include "platform/linux/fault.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vh::profile {

void UniqueFd::reset(int fd) noexcept
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = fd;
}

DWORD win32_error_from_errno(int error, DWORD fallback) noexcept
{
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return ERROR_ACCESS_DENIED;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        default:
            return fallback;
    }
}

namespace io {

namespace {

// True when the fault switch fails this write; errno then tells why.
bool write_fails() noexcept
{
    if (!vh::fault::fail_now(VH_FAULT_FILE_WRITE)) {
        return false;
    }
    errno = vh::fault::failure(VH_FAULT_FILE_WRITE, ENOSPC);
    return true;
}

// Repeats a call that a signal interrupted.
template <typename Call>
auto retrying(Call call)
{
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace

UniqueFd open(const std::string& path, int flags, mode_t mode) noexcept
{
    if ((flags & O_CREAT) != 0 && write_fails()) {
        return UniqueFd();
    }
    return UniqueFd(retrying([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); }));
}

bool stat(const std::string& path, struct stat& info) noexcept
{
    return ::stat(path.c_str(), &info) == 0;
}

bool lstat(const std::string& path, struct stat& info) noexcept
{
    return ::lstat(path.c_str(), &info) == 0;
}

bool fstat(int fd, struct stat& info) noexcept
{
    return ::fstat(fd, &info) == 0;
}

bool read_all(int fd, std::string& bytes)
{
    // Read straight into the string, sized for the whole file (and a byte
    // more, to meet its end in the same call) when its size is known.
    struct stat info {};
    const std::size_t expected =
        ::fstat(fd, &info) == 0 && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 4096;
    bytes.clear();
    bytes.resize(expected);
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            bytes.resize(2 * have);  // the file grew while being read
        }
        const ssize_t count = retrying(
            [&] { return ::pread(fd, bytes.data() + have, bytes.size() - have, static_cast<off_t>(have)); });
        if (count <= 0) {
            bytes.resize(have);
            return count == 0;
        }
        have += static_cast<std::size_t>(count);
    }
}

bool read_matches(int fd, std::string_view expected, bool& same) noexcept
{
    same = false;
    char chunk[65536];
    for (std::size_t at = 0;;) {
        // Asking for a byte more than expected remains lets a short read
        // tell the end of the file without one more call.
        const std::size_t wanted = std::min(sizeof chunk, expected.size() - at + 1);
        const ssize_t count = retrying([&] { return ::pread(fd, chunk, wanted, static_cast<off_t>(at)); });
        if (count < 0) {
            return false;
        }
        const auto size = static_cast<std::size_t>(count);
        if (size > expected.size() - at || std::memcmp(chunk, expected.data() + at, size) != 0) {
            return true;
        }
        at += size;
        if (size < wanted) {
            same = at == expected.size();
            return true;
        }
    }
}

bool write_all(int fd, std::string_view bytes) noexcept
{
    if (write_fails()) {
        return false;
    }
    while (!bytes.empty()) {
        const ssize_t count = retrying([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (count < 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

bool sync(int fd) noexcept
{
    if (write_fails()) {
        return false;
    }
    return retrying([&] { return ::fsync(fd); }) == 0;
}

bool lock_exclusive(int fd) noexcept
{
    return retrying([&] { return ::flock(fd, LOCK_EX); }) == 0;
}

bool copy_owner_and_mode(int fd, const struct stat& like) noexcept
{
    // Only a privileged writer can give the file away; anyone else keeps
    // the file as theirs, as an editor saving it would.
    if (like.st_uid != ::geteuid() || like.st_gid != ::getegid()) {
        (void)::fchown(fd, like.st_uid, like.st_gid);
    }
    return ::fchmod(fd, like.st_mode & 07777) == 0;
}

bool rename(const std::string& from, const std::string& to) noexcept
{
    if (write_fails()) {
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool remove(const std::string& path) noexcept
{
    return ::unlink(path.c_str()) == 0;
}

bool make_directories(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

}  // namespace io

}  // namespace vh::profile
