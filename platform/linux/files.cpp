#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "platform/linux/descriptor.h"

namespace vh::platform {

using vh::Descriptor;

namespace {

int error_number(int code)
{
    switch (code) {
        case ENOENT:
        case ENOTDIR:
            return file_error::path_not_found;
        case EACCES:
        case EPERM:
        case EROFS:
            return file_error::permission_denied;
        case EMFILE:
        case ENFILE:
            return file_error::too_many_files;
        case ENAMETOOLONG:
        case EINVAL:
        case EILSEQ:
            return file_error::bad_file_name;
        default:
            return file_error::path_file_access;
    }
}

}  // namespace

FileProbe find_file(const char* path)
{
    if (path == nullptr || *path == '\0') {
        return {false, file_error::bad_file_name};
    }
    struct stat info {};
    if (stat(path, &info) != 0) {
        // A missing file, or a missing directory: the creation tells which.
        return errno == ENOENT || errno == ENOTDIR ? FileProbe{} : FileProbe{false, error_number(errno)};
    }
    if (!S_ISREG(info.st_mode)) {
        return {false, file_error::path_file_access};
    }
    return {true, 0};
}

int create_empty_file(const char* path)
{
    if (path == nullptr || *path == '\0') {
        return file_error::bad_file_name;
    }
    const Descriptor file(open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file) {
        return 0;
    }
    if (errno == EEXIST) {
        const FileProbe probe = find_file(path);
        return probe.found ? 0 : (probe.error != 0 ? probe.error : file_error::path_file_access);
    }
    return error_number(errno);
}

}  // namespace vh::platform
