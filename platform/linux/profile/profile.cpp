// The profile service: GetPrivateProfileStringA and WritePrivateProfileStringA
// over INI files on disk, with the Windows semantics.
//
// Each writer opens the path as open() does (a symbolic link is followed by
// the kernel, with its protections), takes the exclusive lock of the file
// itself, reads it, and puts the new version in place. Where it can, it
// writes a complete new file beside the old one, gives it everything the old
// one has besides its text (owner where allowed, group, permissions,
// extended attributes and ACLs), and renames it over the old: a crash then
// leaves either the old file or the new one, never a torn one. A file that
// cannot be replaced so (a folder this user may not write, a sticky folder
// holding another user's file, a new file that could not keep the old one's
// group or attributes) and a file with several names (hard links, which a
// rename would split) are rewritten in place instead, under the same lock
// (rewrite_in_place says what a crash can do then). Several processes
// writing one file lose no entry either way.
//
// Readers take a shared lock of the file while they read it, waiting a
// little for a rewrite in place to end, so that they see one whole version.
// A file read before and unchanged since is answered from its parse kept in
// memory (profile_cache.h).
//
// A power cut: the new file's data is flushed before the rename unless the
// file system is documented to write it before it records the rename (ext4
// with its default options; file systems in memory lose everything anyway).
// Nothing else is flushed, so a power cut may lose the writes the file
// system had not yet committed; it leaves each file whole, as one of its
// versions.
//
// Since a writer may rename a new file into place while another one waits
// for the lock of the old file, a writer that gets the lock first checks
// that the file it locked is still the one at the path, and starts over when
// it is not.
//
// Names and values are the ANSI code page's bytes and files are bytes: no
// text is decoded, so nothing fails on bytes that are not valid UTF-8. A
// file that starts with a UTF-16 byte-order mark is the exception: the
// platform reads and writes it as UTF-16, so names and values are converted
// for it, and it stays UTF-16 (never a line of single bytes in it). The
// format and the edits are in profile_file.h; every system call that touches
// a file goes through profile_io.h.
#include <fcntl.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/profile/profile_cache.h"
#include "platform/linux/profile/profile_file.h"
#include "platform/linux/profile/profile_io.h"
#include "platform/win32.h"

namespace {

using vh::Descriptor;
using vh::Win32Failure;
using vh::profile::ProfileCache;
using vh::profile::ProfileText;
using vh::profile::SharedText;
namespace io = vh::profile::io;

[[noreturn]] void throw_errno(DWORD fallback)
{
    throw Win32Failure(vh::profile::win32_error_from_errno(errno, fallback));
}

// Turns a failed file operation of a write into its Win32 error.
void check(bool succeeded)
{
    if (!succeeded) {
        throw_errno(ERROR_WRITE_FAULT);
    }
}

// ---- Where profile files are ------------------------------------------------

// The stand-in's Windows directory, which holds win.ini: $VORNHALL_WINDIR, or
// vornhall/windows in the user's data directory ($XDG_DATA_HOME, which must
// be absolute, else ~/.local/share).
std::string windows_directory()
{
    if (const char* dir = std::getenv("VORNHALL_WINDIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return std::string(data) + "/vornhall/windows";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::string(home) + "/.local/share/vornhall/windows";
    }
    throw Win32Failure(ERROR_PATH_NOT_FOUND);
}

// The path of the file that a file-name argument names. A null name is
// win.ini in the Windows directory. A name without a directory is a file in
// the current directory (on Windows it would be the Windows directory), so
// that a caller's own test for the file and the service see the same file.
std::string profile_path(LPCSTR file_name)
{
    if (file_name == nullptr) {
        return windows_directory() + "/win.ini";
    }
    const std::string_view name(file_name);
    return name.find('/') == std::string_view::npos ? "./" + std::string(name) : std::string(name);
}

// The directory part of a path.
std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The error for a path where no file stands: the file is missing, or the
// directory it would be in is.
DWORD missing_file_error(const std::string& path)
{
    struct stat info {};
    return io::stat(directory_of(path), info) && S_ISDIR(info.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                       : ERROR_PATH_NOT_FOUND;
}

// ---- Reading ------------------------------------------------------------------

// A file's text as a read finds it, and the error code that a missing or
// unreadable file leaves (that file reads as empty).
struct Snapshot {
    SharedText parsed;  // null for a file that could not be read
    DWORD error = ERROR_SUCCESS;

    const ProfileText& text() const noexcept
    {
        static const ProfileText empty;
        return parsed ? *parsed : empty;
    }
};

// Reads the file without a lock; writers replace it whole, so the read sees
// one version of it. A file that the cache holds in the state stat() finds
// it in is not read at all.
Snapshot read_profile(LPCSTR file_name)
{
    Snapshot snapshot;
    std::string path;
    try {
        path = profile_path(file_name);
    } catch (const Win32Failure& error) {
        snapshot.error = error.status();
        return snapshot;
    }
    ProfileCache& cache = vh::profile::profile_cache();
    struct stat info {};
    ProfileCache::Kept kept;
    if (io::stat(path, info) && S_ISREG(info.st_mode)) {
        kept = cache.find(path, vh::profile::stamp_of(info));
        if (kept.current) {
            snapshot.parsed = std::move(kept.text);
            return snapshot;
        }
    }
    const timespec read_start = vh::profile::file_clock_now();
    Descriptor file = io::open(path, O_RDONLY | O_NONBLOCK);
    if (!file) {
        const int error = errno;
        cache.forget(path);
        snapshot.error = error == ENOENT ? missing_file_error(path)
                                         : vh::profile::win32_error_from_errno(error, ERROR_READ_FAULT);
        return snapshot;
    }
    // A writer that must rewrite the file in place holds its lock meanwhile.
    (void)io::lock_shared_briefly(file.get());
    if (!io::fstat(file.get(), info) || !S_ISREG(info.st_mode)) {
        cache.forget(path);
        snapshot.error = ERROR_ACCESS_DENIED;
        return snapshot;
    }
    // A file read again while it is recent has mostly not changed: when its
    // bytes are still those of the kept text, that parse serves.
    SharedText parsed;
    if (kept.text && static_cast<std::size_t>(info.st_size) == kept.text->file_bytes().size()) {
        bool same = false;
        if (!io::read_matches(file.get(), kept.text->file_bytes(), same)) {
            const int error = errno;
            cache.forget(path);
            snapshot.error = vh::profile::win32_error_from_errno(error, ERROR_READ_FAULT);
            return snapshot;
        }
        if (same) {
            parsed = std::move(kept.text);
        }
    }
    if (!parsed) {
        std::string bytes;
        if (!io::read_all(file.get(), bytes)) {
            const int error = errno;
            cache.forget(path);
            snapshot.error = vh::profile::win32_error_from_errno(error, ERROR_READ_FAULT);
            return snapshot;
        }
        parsed = std::make_shared<const ProfileText>(std::move(bytes), ProfileText::Lookup::indexed);
    }
    cache.keep(path, vh::profile::stamp_of(info), read_start, parsed);
    snapshot.parsed = std::move(parsed);
    return snapshot;
}

// ---- Replies --------------------------------------------------------------------

// What a read placed in the caller's buffer: the count it returns, and
// whether the reply was cut to fit.
struct Reply {
    DWORD count = 0;
    bool truncated = false;
};

// Copies a value and a NUL; a value that does not fit is cut to size - 1
// bytes. A buffer of size 0 is left alone.
Reply copy_value(std::string_view value, LPSTR buffer, DWORD size)
{
    if (size == 0) {
        return {0, true};
    }
    const std::size_t count = std::min<std::size_t>(value.size(), size - 1);
    std::memcpy(buffer, value.data(), count);
    buffer[count] = '\0';
    return {static_cast<DWORD>(count), count < value.size()};
}

// Copies names, each followed by a NUL, and one more NUL after the last.
// As on Windows, a list fits only with a byte to spare; otherwise its first
// size - 2 bytes are copied (cutting the last name) and two NULs end it. An
// empty list is a single NUL.
Reply copy_list(const std::vector<std::string>& names, LPSTR buffer, DWORD size)
{
    std::string list;
    for (const std::string& name : names) {
        list.append(name);
        list.push_back('\0');
    }
    if (size == 0) {
        return {0, true};
    }
    if (list.empty() || size == 1) {
        buffer[0] = '\0';
        return {0, !list.empty()};
    }
    if (list.size() + 2 <= size) {
        std::memcpy(buffer, list.data(), list.size());
        buffer[list.size()] = '\0';
        return {static_cast<DWORD>(list.size()), false};
    }
    const DWORD count = size - 2;
    std::memcpy(buffer, list.data(), count);
    buffer[count] = '\0';
    buffer[count + 1] = '\0';
    return {count, true};
}

// A request's name or value as the file's text holds it (converted for a
// Unicode file), and an answer from that text as the caller receives it.
class Converter {
public:
    explicit Converter(const ProfileText& text) : m_unicode(text.is_unicode()) {}
    std::string in(std::string_view ansi) const
    {
        return m_unicode ? vh::profile::ansi_to_unicode_text(ansi) : std::string(ansi);
    }
    // For a change: a name or value that the conversion would not keep as
    // given (bytes that are no character of the ANSI code page) is refused,
    // as other text that would not read back as written is, rather than
    // written or matched as something else.
    std::string exact(std::string_view ansi) const
    {
        std::string text = in(ansi);
        if (m_unicode && out(text) != ansi) {
            throw Win32Failure(ERROR_INVALID_PARAMETER);
        }
        return text;
    }
    std::string out(std::string_view text) const
    {
        return m_unicode ? vh::profile::unicode_text_to_ansi(text) : std::string(text);
    }
    std::vector<std::string> out(const std::vector<std::string_view>& names) const
    {
        std::vector<std::string> converted;
        converted.reserve(names.size());
        for (const std::string_view name : names) {
            converted.push_back(out(name));
        }
        return converted;
    }

private:
    bool m_unicode;
};

// The default a read falls back on: "" for null, without trailing spaces.
std::string_view default_text(LPCSTR default_value)
{
    std::string_view text = default_value == nullptr ? "" : default_value;
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return text;
}

// ---- Writing --------------------------------------------------------------------

// Removes a file when the scope is left after arm() and before keep().
class RemoveOnFailure {
public:
    explicit RemoveOnFailure(std::string path, bool armed = true) : m_path(std::move(path)), m_armed(armed) {}
    ~RemoveOnFailure()
    {
        if (m_armed && !m_path.empty()) {
            io::remove(m_path);
        }
    }
    RemoveOnFailure(const RemoveOnFailure&) = delete;
    RemoveOnFailure& operator=(const RemoveOnFailure&) = delete;
    void arm() noexcept { m_armed = true; }
    void keep() noexcept { m_armed = false; }

private:
    std::string m_path;
    bool m_armed;
};

bool same_file(const struct stat& a, const struct stat& b) noexcept
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name of the new version while it is written: hidden, beside the file.
// Only the holder of the file's lock uses it, so one name per file suffices;
// a writer that died leaves at most that one file, which the next writer
// replaces.
std::string temporary_path(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    return directory + "/." + path.substr(slash + 1) + ".vhtmp";
}

// True for the errors that say this user may not make a file in the folder
// or rename over this one there: a folder it may not write, a sticky
// folder holding another user's file, a file mounted over on its own.
bool cannot_replace(int error) noexcept
{
    return error == EACCES || error == EPERM || error == EROFS || error == EBUSY || error == EEXIST;
}

// Puts bytes in place of the file at path (open as `file`, described by
// `original`): a new file beside it, given everything the old one has, is
// written and renamed over it, so that a crash leaves the old version or the
// new one, whole. Where the file system may record the rename before the
// new file's data, the data is flushed first. Returns false, with nothing
// changed, when the file cannot be replaced that way (see cannot_replace, and
// a new file that cannot have the old one's group, permissions or extended
// attributes). Throws Win32Failure on other failures, the file untouched.
bool replace_file(const std::string& path, int file, std::string_view bytes, const struct stat& original)
{
    const std::string temporary = temporary_path(path);
    // Made before the file exists, so that nothing between its creation and
    // the guard (the guard's own copy of the name) can leave it behind.
    RemoveOnFailure remove_temporary(temporary, false);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    Descriptor out = io::open(temporary, flags, 0600);
    if (!out && errno == EEXIST && io::remove(temporary)) {
        out = io::open(temporary, flags, 0600);  // one left by a writer that died
    }
    if (!out) {
        if (cannot_replace(errno)) {
            return false;
        }
        throw_errno(ERROR_WRITE_FAULT);
    }
    remove_temporary.arm();
    if (!io::copy_attributes(file, out.get(), original)) {
        return false;
    }
    check(io::write_all(out.get(), bytes));
    if (!io::orders_data_before_rename(out.get(), original)) {
        check(io::sync(out.get()));
    }
    out.reset();
    if (!io::rename(temporary, path)) {
        if (errno == EPERM || errno == EACCES || errno == EBUSY) {
            return false;
        }
        throw_errno(ERROR_WRITE_FAULT);
    }
    remove_temporary.keep();
    return true;
}

// Rewrites the open file in place, under its lock, for a file that cannot
// be replaced by a new one. Only the bytes from the first one that changes
// on are written, the disk space of a longer file is set aside before
// anything changes, and the data is flushed before the call returns; a
// failure puts the old bytes back. Readers wait for the lock, so none sees
// the rewrite half done; a crash of the process or a power cut during it
// can leave the file part old, part new.
void rewrite_in_place(int file, std::string_view old_bytes, std::string_view bytes)
{
    const auto size = [](std::string_view text) { return static_cast<off_t>(text.size()); };
    const std::size_t same = static_cast<std::size_t>(
        std::mismatch(old_bytes.begin(), old_bytes.begin() + std::min(old_bytes.size(), bytes.size()),
                      bytes.begin())
            .first -
        old_bytes.begin());
    if (bytes.size() > old_bytes.size()) {
        check(io::reserve(file, size(bytes)));
    }
    const bool written = io::write_at(file, bytes.substr(same), size(bytes.substr(0, same))) &&
                         (bytes.size() >= old_bytes.size() || io::truncate(file, size(bytes))) &&
                         io::sync(file);
    if (!written) {
        const int error = errno;
        (void)(io::write_at(file, old_bytes.substr(same), size(old_bytes.substr(0, same))) &&
               io::truncate(file, size(old_bytes)));
        errno = error;
        throw_errno(ERROR_WRITE_FAULT);
    }
}

// Puts the new version of the open file in place of the old one. A file
// with several names (hard links) stays one file: it is rewritten in place,
// and every name sees the change. Any other is replaced where it can be,
// and rewritten in place where it cannot. A symbolic link at the path stays
// a link: the file that open() reached through it is replaced where the
// kernel has it, never a file found by resolving the link again.
void write_version(const std::string& path, bool link, int file, const struct stat& locked,
                   std::string_view old_bytes, std::string_view bytes)
{
    if (locked.st_nlink == 1) {
        std::string target = path;
        if (link) {
            target = io::path_of(file);
            struct stat info {};
            if (!target.empty() && !(io::lstat(target, info) && same_file(info, locked))) {
                target.clear();
            }
        }
        if (!target.empty() && replace_file(target, file, bytes, locked)) {
            return;
        }
    }
    rewrite_in_place(file, old_bytes, bytes);
}

// Applies edit to the file at path under the file's exclusive lock.
// edit(const ProfileText&) returns the new bytes, or nothing when nothing
// changes. The path is opened as open() finds it, symbolic links followed
// by the kernel (with its protections), and everything after works from
// that descriptor. A missing file is created when may_create is set (and
// removed again if the write fails); otherwise it stays missing and the
// call succeeds, as removing from it changes nothing. Throws Win32Failure.
template <typename Edit>
void update_profile(const std::string& path, bool may_create, const Edit& edit)
{
    ProfileCache& cache = vh::profile::profile_cache();
    for (int creation_races = 0;;) {
        Descriptor file = io::open(path, O_RDWR | O_NONBLOCK);
        bool created = false;
        if (!file && errno == ENOENT) {
            if (!may_create) {
                const DWORD error = missing_file_error(path);
                if (error == ERROR_FILE_NOT_FOUND) {
                    return;
                }
                throw Win32Failure(error);
            }
            file = io::open(path, O_RDWR | O_NONBLOCK | O_CREAT | O_EXCL, 0666);
            created = static_cast<bool>(file);
            struct stat info {};
            if (!file && errno == EEXIST && io::lstat(path, info) && S_ISLNK(info.st_mode)) {
                // A link to a missing file: open() makes the file it names.
                file = io::open(path, O_RDWR | O_NONBLOCK | O_CREAT, 0666);
            } else if (!file && errno == EEXIST && ++creation_races < 100) {
                continue;  // another writer created it first
            }
            if (!file && errno == ENOENT) {
                throw Win32Failure(ERROR_PATH_NOT_FOUND);
            }
        }
        if (!file) {
            throw_errno(ERROR_ACCESS_DENIED);
        }
        check(io::lock_exclusive(file.get()));
        struct stat locked {};
        struct stat current {};
        check(io::fstat(file.get(), locked));
        if (!S_ISREG(locked.st_mode)) {
            throw Win32Failure(ERROR_ACCESS_DENIED);
        }
        // A writer may have put a new version in place while this one waited
        // for the lock of the old.
        if (!io::lstat(path, current)) {
            continue;
        }
        const bool link = S_ISLNK(current.st_mode);
        if ((link && !io::stat(path, current)) || !same_file(locked, current)) {
            continue;
        }
        RemoveOnFailure remove_created(created ? path : std::string());
        std::string bytes;
        if (!io::read_all(file.get(), bytes)) {
            throw_errno(ERROR_READ_FAULT);
        }
        const ProfileText text(std::move(bytes));
        const std::optional<std::string> updated = edit(text);
        if (!updated) {
            remove_created.keep();
            return;
        }
        write_version(path, link, file.get(), locked, text.file_bytes(), *updated);
        remove_created.keep();
        // Reads would see the new version anyway; the old text only takes room.
        cache.forget(path);
        return;
    }
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer, DWORD size,
                               LPCSTR file_name)
{
    try {
        if (buffer == nullptr && size != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        const Snapshot file = read_profile(file_name);
        const ProfileText& text = file.text();
        const Converter convert(text);
        DWORD error = file.error;
        Reply reply;
        if (section == nullptr) {
            reply = copy_list(convert.out(text.section_names()), buffer, size);
        } else if (key == nullptr) {
            const std::string wanted = convert.in(section);
            if (error == ERROR_SUCCESS && !text.has_section(wanted)) {
                error = ERROR_FILE_NOT_FOUND;
            }
            // A section without keys (or no such section) lists nothing;
            // the default stands in for the empty list, as on Windows.
            const std::vector<std::string> keys = convert.out(text.key_names(wanted));
            reply = keys.empty() ? copy_value(default_text(default_value), buffer, size)
                                 : copy_list(keys, buffer, size);
        } else if (const std::optional<std::string_view> value =
                       text.find_value(convert.in(section), convert.in(key))) {
            reply = copy_value(convert.out(vh::profile::unquote(*value)), buffer, size);
        } else {
            if (error == ERROR_SUCCESS) {
                error = ERROR_FILE_NOT_FOUND;
            }
            reply = copy_value(default_text(default_value), buffer, size);
        }
        SetLastError(reply.truncated ? ERROR_MORE_DATA : error);
        return reply.count;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_READ_FAULT);
    }
    if (buffer != nullptr && size != 0) {
        buffer[0] = '\0';
    }
    return 0;
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file_name)
{
    try {
        if (section == nullptr) {
            throw Win32Failure(ERROR_FILE_NOT_FOUND);
        }
        // Windows always has its Windows directory; the stand-in makes its
        // own on the first write there.
        if (file_name == nullptr && !io::make_directories(windows_directory())) {
            throw_errno(ERROR_PATH_NOT_FOUND);
        }
        if (key == nullptr) {
            update_profile(profile_path(file_name), false, [&](const ProfileText& text) {
                return text.without_section(Converter(text).exact(section));
            });
        } else if (value == nullptr) {
            update_profile(profile_path(file_name), false, [&](const ProfileText& text) {
                const Converter convert(text);
                return text.without_key(convert.exact(section), convert.exact(key));
            });
        } else {
            // A name or value that would not read back as written is refused
            // rather than stored as something else.
            if (!vh::profile::is_writable_section(section) || !vh::profile::is_writable_entry(key, value)) {
                throw Win32Failure(ERROR_INVALID_PARAMETER);
            }
            update_profile(profile_path(file_name), true, [&](const ProfileText& text) {
                const Converter convert(text);
                return text.with_value(convert.exact(section), convert.exact(key), convert.exact(value));
            });
        }
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (const Win32Failure& error) {
        SetLastError(error.status());
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_WRITE_FAULT);
    }
    return FALSE;
}
