// Parsed profile files kept between reads, so that reading a file that has
// not changed costs a stat() of its path instead of a read and a parse.
//
// A kept file is served only while stat() of its path shows the same file
// in the same state: device, inode, size, and modification and change times
// to the nanosecond. Writers here replace a file by a rename, which gives it
// a new inode, but other programs may rewrite a file in place, and a file
// system stamps times at its own granularity (a clock tick, a second, two
// on some), so an edit in the same tick as the one before it can leave all
// of that unchanged. A file is therefore served only when both its times
// were safely older than the moment it was read: any later edit carries a
// later time. A file too recent for that is read again on every call (its
// parse is reused when the bytes read are the same) until a read finds it
// old enough.
//
// Files that cannot be read are never kept. The cache holds a few files
// within a byte budget, the least recently used going first, and is shared
// by all threads.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/profile/profile_file.h"

namespace vh::profile {

// What stat() says of one version of a file.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    time_t modified_seconds = 0;
    long modified_nanoseconds = 0;
    time_t changed_seconds = 0;
    long changed_nanoseconds = 0;

    bool operator==(const FileStamp&) const = default;
};

FileStamp stamp_of(const struct stat& info) noexcept;

// The clock that file times are taken from.
timespec file_clock_now() noexcept;

using SharedText = std::shared_ptr<const ProfileText>;

class ProfileCache {
public:
    static constexpr std::size_t max_files = 8;
    static constexpr std::size_t max_bytes = std::size_t{32} << 20;
    // How much older than its reading a file's times must be for it to be
    // served: more than any file system's time granularity, and some slack
    // for the clock of a file server.
    static constexpr time_t settle_seconds = 2;

    // What the cache holds for a path: the text, and whether it may be
    // served for the file that stat() now describes by stamp. A text that
    // may not be served is still worth comparing with what a read finds.
    struct Kept {
        SharedText text;
        bool current = false;
    };

    Kept find(const std::string& path, const FileStamp& stamp) noexcept;
    // Keeps text as what the file at path held when fstat() said stamp,
    // the read having started at read_start. Does nothing when memory runs
    // out: a cache is a help, not a duty.
    void keep(const std::string& path, const FileStamp& stamp, const timespec& read_start,
              SharedText text) noexcept;
    void forget(const std::string& path) noexcept;

private:
    struct Entry {
        std::string path;
        FileStamp stamp;
        bool settled = false;
        SharedText text;
        std::size_t bytes = 0;
        std::uint64_t last_use = 0;
    };

    void erase(std::size_t index) noexcept;

    std::mutex m_lock;
    std::vector<Entry> m_entries;
    std::size_t m_bytes = 0;
    std::uint64_t m_uses = 0;
};

// The process's cache; throws std::bad_alloc on the first call only.
ProfileCache& profile_cache();

}  // namespace vh::profile
