// The fault-injection switch: one counter per kind of operation.
#include "platform/linux/fault.h"

namespace vh::fault {

std::atomic<LONG> g_armed[kind_count];

namespace {

std::atomic<LONG> g_count[kind_count];
std::atomic<LONG> g_failure[kind_count];

bool valid(DWORD kind) noexcept { return kind > 0 && kind < kind_count; }

}  // namespace

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
