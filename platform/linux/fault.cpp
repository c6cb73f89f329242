// The fault-injection switch: one counter per kind of operation.
#include "platform/linux/fault.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace vh::fault {

std::atomic<LONG> g_armed[kind_count];
std::atomic<DWORD> g_trace;

namespace {

std::atomic<LONG> g_count[kind_count];
std::atomic<LONG> g_failure[kind_count];

bool valid(DWORD kind) noexcept
{
    return kind > 0 && kind < kind_count;
}

std::mutex g_record_lock;
std::string g_record;

std::string_view last_component(std::string_view path) noexcept
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

void trace(std::string_view operation, std::string_view name, std::string_view other) noexcept
{
    try {
        const std::lock_guard<std::mutex> lock(g_record_lock);
        g_record.append(operation).append(" ").append(last_component(name));
        if (!other.empty()) {
            g_record.append(" ").append(last_component(other));
        }
        g_record.push_back('\n');
    } catch (...) {
        // A record without memory stays as far as it got; the test sees it short.
    }
}

bool count_and_check(DWORD kind) noexcept
{
    const LONG seen = g_count[kind].fetch_add(1, std::memory_order_relaxed) + 1;
    return seen == g_armed[kind].load(std::memory_order_relaxed);
}

LONG failure(DWORD kind, LONG fallback) noexcept
{
    const LONG chosen = g_failure[kind].load(std::memory_order_relaxed);
    return chosen != 0 ? chosen : fallback;
}

}  // namespace vh::fault

using vh::fault::g_armed;

void VhFaultArm(DWORD kind, LONG nth, LONG failure)
{
    if (!vh::fault::valid(kind)) {
        return;
    }
    g_armed[kind].store(0, std::memory_order_relaxed);
    vh::fault::g_count[kind].store(0, std::memory_order_relaxed);
    vh::fault::g_failure[kind].store(failure, std::memory_order_relaxed);
    g_armed[kind].store(nth > 0 ? nth : 0, std::memory_order_relaxed);
}

void VhFaultDisarm(DWORD kind)
{
    if (vh::fault::valid(kind)) {
        g_armed[kind].store(0, std::memory_order_relaxed);
    }
}

LONG VhFaultCount(DWORD kind)
{
    return vh::fault::valid(kind) ? vh::fault::g_count[kind].load(std::memory_order_relaxed) : 0;
}

BOOL VhFaultHit(DWORD kind)
{
    return vh::fault::valid(kind) && vh::fault::fail_now(kind) ? TRUE : FALSE;
}

void VhFaultTrace(DWORD flags)
{
    const std::lock_guard<std::mutex> lock(vh::fault::g_record_lock);
    vh::fault::g_record.clear();
    vh::fault::g_record.shrink_to_fit();
    vh::fault::g_trace.store(flags, std::memory_order_relaxed);
}

DWORD VhFaultTraced(LPSTR buffer, DWORD size)
{
    const std::lock_guard<std::mutex> lock(vh::fault::g_record_lock);
    const std::string& record = vh::fault::g_record;
    if (buffer != nullptr && size > 0) {
        const std::size_t count = std::min<std::size_t>(record.size(), size - 1);
        std::memcpy(buffer, record.data(), count);
        buffer[count] = '\0';
    }
    return static_cast<DWORD>(record.size());
}
