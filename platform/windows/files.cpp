// The binding's file operations over the Windows file system.
//
// The existence test asks for the attributes of the path rather than
// searching for it, so wildcard characters are never taken as a pattern:
// such a path is a bad file name, as it is to the file system. What stands
// at the path counts as found only when it is an ordinary file: not a
// directory, and neither hidden nor system, which a directory search for
// ordinary files would skip.
#include "platform/files.h"

#include "platform/win32.h"

namespace vh::platform {

namespace {

// Owns a file handle from CreateFileA.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) noexcept : m_handle(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle()
    {
        if (valid()) {
            CloseHandle(m_handle);
        }
    }

    bool valid() const noexcept { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};

constexpr DWORD not_ordinary = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The file error number of a system error code.
int error_number(DWORD code)
{
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
            return file_error::file_not_found;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return file_error::path_not_found;
        case ERROR_TOO_MANY_OPEN_FILES:
            return file_error::too_many_files;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return file_error::permission_denied;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_INVALID_PARAMETER:
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
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        // A missing file, or a missing directory: the creation tells which.
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                   ? FileProbe{}
                   : FileProbe{false, error_number(code)};
    }
    if ((attributes & not_ordinary) != 0) {
        return {false, file_error::path_file_access};
    }
    return {true, 0};
}

int create_empty_file(const char* path)
{
    if (path == nullptr || *path == '\0') {
        return file_error::bad_file_name;
    }
    // CREATE_NEW fails rather than replace or truncate what is there.
    const FileHandle file(CreateFileA(path, GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid()) {
        return 0;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
        const FileProbe probe = find_file(path);
        return probe.found ? 0 : (probe.error != 0 ? probe.error : file_error::path_file_access);
    }
    return error_number(code);
}

}  // namespace vh::platform
