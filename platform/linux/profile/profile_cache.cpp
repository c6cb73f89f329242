#include "platform/linux/profile/profile_cache.h"

#include <new>
#include <utility>

namespace vh::profile {

namespace {

// True when a file time is more than the settling time before moment.
bool settled_before(time_t seconds, long nanoseconds, const timespec& moment) noexcept
{
    const time_t limit = moment.tv_sec - ProfileCache::settle_seconds;
    return seconds < limit || (seconds == limit && nanoseconds < moment.tv_nsec);
}

}  // namespace

FileStamp stamp_of(const struct stat& info) noexcept
{
    return {info.st_dev,          info.st_ino,         info.st_size,        info.st_mtim.tv_sec,
            info.st_mtim.tv_nsec, info.st_ctim.tv_sec, info.st_ctim.tv_nsec};
}

timespec file_clock_now() noexcept
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

ProfileCache::Kept ProfileCache::find(const std::string& path, const FileStamp& stamp) noexcept
{
    const std::lock_guard<std::mutex> lock(m_lock);
    for (Entry& entry : m_entries) {
        if (entry.path == path) {
            entry.last_use = ++m_uses;
            return {entry.text, entry.settled && entry.stamp == stamp};
        }
    }
    return {};
}

void ProfileCache::keep(const std::string& path, const FileStamp& stamp, const timespec& read_start,
                        SharedText text) noexcept
{
    const std::size_t bytes = text->footprint() + path.size();
    const bool settled = settled_before(stamp.modified_seconds, stamp.modified_nanoseconds, read_start) &&
                         settled_before(stamp.changed_seconds, stamp.changed_nanoseconds, read_start);
    try {
        const std::lock_guard<std::mutex> lock(m_lock);
        // A file read again replaces its entry, which lends the new one its
        // path: no allocation on the way of a read of a recent file.
        std::string kept_path;
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            if (m_entries[i].path == path) {
                kept_path = std::move(m_entries[i].path);
                erase(i);
                break;
            }
        }
        if (bytes > max_bytes) {
            return;
        }
        if (kept_path.empty()) {
            kept_path = path;
        }
        m_entries.reserve(max_files);
        while (!m_entries.empty() && (m_entries.size() >= max_files || m_bytes + bytes > max_bytes)) {
            std::size_t oldest = 0;
            for (std::size_t i = 1; i < m_entries.size(); ++i) {
                if (m_entries[i].last_use < m_entries[oldest].last_use) {
                    oldest = i;
                }
            }
            erase(oldest);
        }
        // Within the room reserved: cannot throw.
        m_entries.push_back({std::move(kept_path), stamp, settled, std::move(text), bytes, ++m_uses});
        m_bytes += bytes;
    } catch (const std::bad_alloc&) {
        // The path could not be copied or the room not reserved, and the
        // entry of the path (an older text of the file) is gone already.
    }
}

void ProfileCache::forget(const std::string& path) noexcept
{
    const std::lock_guard<std::mutex> lock(m_lock);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].path == path) {
            erase(i);
            return;
        }
    }
}

void ProfileCache::erase(std::size_t index) noexcept
{
    m_bytes -= m_entries[index].bytes;
    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
}

ProfileCache& profile_cache()
{
    // Never destroyed, so that a thread still reading a profile while the
    // process exits finds it whole.
    static ProfileCache* const cache = new ProfileCache;
    return *cache;
}

}  // namespace vh::profile
