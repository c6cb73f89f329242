// The file operations of the profile service, in one place.
//
// Every system call that reads, writes, locks, renames or removes a profile
// file goes through the functions below, so that the test switches can make
// a write, flush, rename or creating open fail (VhFaultArm) and record the
// changes in order (VhFaultTrace) without touching the code that uses them.
// Each behaves like the POSIX call it stands for: on failure it returns
// false (or an empty descriptor) and leaves the reason in errno. Interrupted
// calls are repeated.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <string>
#include <string_view>

#include "platform/linux/descriptor.h"
#include "platform/linux/win32_failure.h"
#include "platform/win32.h"

namespace vh::profile {

// The Win32 error code for an errno value; fallback for those without one.
DWORD win32_error_from_errno(int error, DWORD fallback) noexcept;

namespace io {

Descriptor open(const std::string& path, int flags, mode_t mode = 0) noexcept;
bool stat(const std::string& path, struct stat& info) noexcept;
bool lstat(const std::string& path, struct stat& info) noexcept;
bool fstat(int fd, struct stat& info) noexcept;
// Reads the whole file from its start; throws std::bad_alloc.
bool read_all(int fd, std::string& bytes);
// Reads the file from its start as far as it matches expected, without
// keeping what it reads: same is set when its bytes are exactly expected.
bool read_matches(int fd, std::string_view expected, bool& same) noexcept;
bool write_all(int fd, std::string_view bytes) noexcept;
// Writes bytes at offset, over what the file holds there.
bool write_at(int fd, std::string_view bytes, off_t offset) noexcept;
// Sets aside the disk space for a file of size bytes without changing its
// size, so that writing up to that size cannot run out of space. True also
// where the file system has no such reservation.
bool reserve(int fd, off_t size) noexcept;
bool truncate(int fd, off_t size) noexcept;
// Flushes the file's data, and what reading it back needs, to the disk.
bool sync(int fd) noexcept;
// Waits for the exclusive lock of the open file (flock).
bool lock_exclusive(int fd) noexcept;
// Waits a little for a shared lock of the open file, so that a read does not
// see a rewrite in place half done: true with the lock, false when a holder
// of the exclusive lock kept it past the wait (the read goes on without).
bool lock_shared_briefly(int fd) noexcept;
// Gives the new file `to` what the file `from` (described by `like`) has
// besides its text: its group, its owner where the caller may give files
// away, its extended attributes (ACLs among them) and its permissions.
// False when any of them but the owner cannot be given; `to` may then be
// half done, and is for removal.
bool copy_attributes(int from, int to, const struct stat& like) noexcept;
// True when the file system holding the open file writes a file's data
// before it records a rename over another file, by its documented
// behaviour: a rename then needs no flush of the data before it to leave
// the old version or the new one, whole, after a power cut.
bool orders_data_before_rename(int fd, const struct stat& info) noexcept;
// The path the kernel holds for the open file, "" when it has none (the
// file was removed, /proc is missing); throws std::bad_alloc.
std::string path_of(int fd);
bool rename(const std::string& from, const std::string& to) noexcept;
bool remove(const std::string& path) noexcept;
// Creates the directory and any missing parents; throws std::bad_alloc.
bool make_directories(const std::string& path);

}  // namespace io

}  // namespace vh::profile
