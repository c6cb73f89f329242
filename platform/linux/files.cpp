#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace vh::platform {

namespace {

int error_number(int code)
{
    switch (code) {
        case ENOENT:
        case ENOTDIR:
            return 76;
        case EACCES:
        case EPERM:
        case EROFS:
            return 70;
        case EMFILE:
        case ENFILE:
            return 67;
        case ENAMETOOLONG:
        case EINVAL:
        case EILSEQ:
            return 52;
        default:
            return 75;
    }
}

}  // namespace

FileProbe find_file(const char* path)
{
    if (path == nullptr || *path == '\0') {
        return {false, 52};
    }
    struct stat info {};
    if (stat(path, &info) != 0) {
        // A missing file, or a missing directory: the creation tells which.
        return errno == ENOENT || errno == ENOTDIR ? FileProbe{} : FileProbe{false, error_number(errno)};
    }
    if (!S_ISREG(info.st_mode)) {
        return {false, 75};
    }
    return {true, 0};
}

int create_empty_file(const char* path)
{
    if (path == nullptr || *path == '\0') {
        return 52;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    if (errno == EEXIST) {
        const FileProbe probe = find_file(path);
        return probe.found ? 0 : (probe.error != 0 ? probe.error : 75);
    }
    return error_number(errno);
}

}  // namespace vh::platform
