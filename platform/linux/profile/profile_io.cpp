#include "platform/linux/profile/profile_io.h"

#include "platform/linux/fault.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

namespace vh::profile {

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

// Records an operation on an open file when a test keeps a record.
void trace_file(const char* operation, int fd) noexcept
{
    if (!vh::fault::tracing()) {
        return;
    }
    const int saved = errno;
    try {
        vh::fault::trace(operation, path_of(fd));
    } catch (...) {
        vh::fault::trace(operation, "?");
    }
    errno = saved;
}

// The names of the extended attributes of an open file; false when they
// cannot be listed (a file system without them has none). Throws
// std::bad_alloc.
bool attribute_names(int fd, std::vector<std::string>& names)
{
    names.clear();
    std::string list;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0) {
            return errno == ENOTSUP;
        }
        list.resize(static_cast<std::size_t>(size));
        const ssize_t got = size == 0 ? 0 : ::flistxattr(fd, list.data(), list.size());
        if (got >= 0) {
            list.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) {  // ERANGE: the list grew meanwhile
            return false;
        }
    }
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t end = std::min(list.find('\0', at), list.size());
        names.emplace_back(list, at, end - at);
        at = end + 1;
    }
    return true;
}

// One extended attribute's value; false when it cannot be read. Throws
// std::bad_alloc.
bool attribute_value(int fd, const std::string& name, std::string& value)
{
    for (;;) {
        const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0) {
            return false;
        }
        value.resize(static_cast<std::size_t>(size));
        const ssize_t got = size == 0 ? 0 : ::fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) {
            return false;
        }
    }
}

// Gives `to` exactly the extended attributes of `from`: those it lacks or
// has with another value are set, those `from` does not have (a default ACL
// of the folder inherited by a new file) removed. Throws std::bad_alloc.
bool copy_extended_attributes(int from, int to)
{
    std::vector<std::string> wanted;
    std::vector<std::string> present;
    if (!attribute_names(from, wanted) || !attribute_names(to, present)) {
        return false;
    }
    if (wanted.empty() && present.empty()) {
        return true;
    }
    for (const std::string& name : present) {
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            ::fremovexattr(to, name.c_str()) != 0) {
            return false;
        }
    }
    std::string value;
    std::string existing;
    for (const std::string& name : wanted) {
        if (!attribute_value(from, name, value)) {
            return false;
        }
        if (attribute_value(to, name, existing) && existing == value) {
            continue;  // a label the new file was given already
        }
        if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
            return false;
        }
    }
    return true;
}

// Whether the ext4 file system on the device keeps the mount's default
// ordering: the data of a file renamed over another is on the disk before
// the rename is committed (auto_da_alloc, data=ordered or data=journal).
// Read from the mount table. Throws std::bad_alloc.
bool ext4_orders_renames(dev_t device)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> table(std::fopen("/proc/self/mountinfo", "re"),
                                                                &std::fclose);
    if (table == nullptr) {
        return false;
    }
    const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    bool found = false;
    bool ordered = false;
    // getline() grows the line; it is freed on every way out, a throw too.
    struct Line {
        char* text = nullptr;
        std::size_t capacity = 0;
        ~Line() { std::free(text); }
    } line;
    while (!found && ::getline(&line.text, &line.capacity, table.get()) > 0) {
        // id parent major:minor root mount-point options [tags...] - type source super-options
        std::istringstream fields(line.text);
        std::string id;
        std::string parent;
        std::string numbers;
        fields >> id >> parent >> numbers;
        if (numbers != wanted) {
            continue;
        }
        std::string field;
        while (fields >> field && field != "-") {
        }
        std::string type;
        std::string source;
        std::string options;
        fields >> type >> source >> options;
        found = true;
        ordered = type == "ext4";
        std::istringstream list(options);
        for (std::string option; std::getline(list, option, ',');) {
            if (option == "noauto_da_alloc" || option == "data=writeback") {
                ordered = false;
            }
        }
    }
    return ordered;
}

}  // namespace

Descriptor open(const std::string& path, int flags, mode_t mode) noexcept
{
    if ((flags & O_CREAT) != 0) {
        if (write_fails()) {
            return Descriptor();
        }
        if (vh::fault::tracing()) {
            vh::fault::trace("create", path);
        }
    }
    return Descriptor(retrying([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); }));
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
    trace_file("write", fd);
    while (!bytes.empty()) {
        const ssize_t count = retrying([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (count < 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

bool write_at(int fd, std::string_view bytes, off_t offset) noexcept
{
    if (write_fails()) {
        return false;
    }
    trace_file("write", fd);
    while (!bytes.empty()) {
        const ssize_t count = retrying([&] { return ::pwrite(fd, bytes.data(), bytes.size(), offset); });
        if (count < 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
        offset += count;
    }
    return true;
}

bool reserve(int fd, off_t size) noexcept
{
    if (write_fails()) {
        return false;
    }
    trace_file("reserve", fd);
    if (retrying([&] { return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size); }) == 0) {
        return true;
    }
    return errno == EOPNOTSUPP || errno == ENOSYS;
}

bool truncate(int fd, off_t size) noexcept
{
    if (write_fails()) {
        return false;
    }
    trace_file("truncate", fd);
    return retrying([&] { return ::ftruncate(fd, size); }) == 0;
}

bool sync(int fd) noexcept
{
    if (write_fails()) {
        return false;
    }
    trace_file("sync", fd);
    return retrying([&] { return ::fdatasync(fd); }) == 0;
}

bool lock_exclusive(int fd) noexcept
{
    return retrying([&] { return ::flock(fd, LOCK_EX); }) == 0;
}

bool lock_shared_briefly(int fd) noexcept
{
    // A rewrite in place of even a large file takes a fraction of a second;
    // a lock held longer is not one (another program holding it), and the
    // read goes on as it would without locks.
    constexpr long limit_ns = 2'000'000'000;
    long pause_ns = 50'000;
    for (long waited_ns = 0;; waited_ns += pause_ns, pause_ns = std::min(2 * pause_ns, 20'000'000L)) {
        if (retrying([&] { return ::flock(fd, LOCK_SH | LOCK_NB); }) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK || waited_ns >= limit_ns) {
            return false;
        }
        const timespec pause{0, pause_ns};
        ::nanosleep(&pause, nullptr);
    }
}

bool copy_attributes(int from, int to, const struct stat& like) noexcept
{
    struct stat made {};
    if (::fstat(to, &made) != 0) {
        return false;
    }
    // Only a privileged writer can give the file away; anyone else keeps the
    // file's group on its own, when they belong to it.
    if ((made.st_uid != like.st_uid || made.st_gid != like.st_gid) &&
        ::fchown(to, like.st_uid, like.st_gid) != 0 &&
        ::fchown(to, static_cast<uid_t>(-1), like.st_gid) != 0) {
        return false;
    }
    try {
        if (!copy_extended_attributes(from, to)) {
            return false;
        }
    } catch (...) {
        errno = ENOMEM;
        return false;
    }
    // Last: a change of owner drops the set-user and set-group bits, and an
    // ACL copied carries permission bits of its own.
    if (::fchmod(to, like.st_mode & 07777) != 0 || ::fstat(to, &made) != 0) {
        return false;
    }
    return made.st_gid == like.st_gid && (made.st_mode & 07777) == (like.st_mode & 07777);
}

bool orders_data_before_rename(int fd, const struct stat& info) noexcept
{
    if (vh::fault::assume_unordered()) {
        return false;
    }
    struct statfs system {};
    if (::fstatfs(fd, &system) != 0) {
        return false;
    }
    // Nothing on a file system in memory outlives a power cut.
    if (system.f_type == TMPFS_MAGIC || system.f_type == RAMFS_MAGIC) {
        return true;
    }
    if (system.f_type != EXT4_SUPER_MAGIC) {
        return false;
    }
    // The mount table is read once per device and process.
    static std::mutex lock;
    static std::vector<std::pair<dev_t, bool>> known;
    try {
        const std::lock_guard<std::mutex> guard(lock);
        for (const auto& [device, ordered] : known) {
            if (device == info.st_dev) {
                return ordered;
            }
        }
        const bool ordered = ext4_orders_renames(info.st_dev);
        known.emplace_back(info.st_dev, ordered);
        return ordered;
    } catch (...) {
        return false;
    }
}

std::string path_of(int fd)
{
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string path(256, '\0');
    for (;;) {
        const ssize_t size = ::readlink(link.c_str(), path.data(), path.size());
        if (size < 0) {
            return {};
        }
        if (static_cast<std::size_t>(size) < path.size()) {
            path.resize(static_cast<std::size_t>(size));
            break;
        }
        path.resize(2 * path.size());
    }
    constexpr std::string_view removed = " (deleted)";
    if (path.empty() || path.front() != '/' ||
        (path.size() >= removed.size() &&
         path.compare(path.size() - removed.size(), removed.size(), removed) == 0)) {
        return {};
    }
    return path;
}

bool rename(const std::string& from, const std::string& to) noexcept
{
    if (write_fails()) {
        return false;
    }
    if (vh::fault::tracing()) {
        vh::fault::trace("rename", from, to);
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool remove(const std::string& path) noexcept
{
    if (vh::fault::tracing()) {
        vh::fault::trace("remove", path);
    }
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
