// The test switch that makes one operation of a kind fail (VhFaultArm).
//
// Each seam asks fail_now(kind) before it does its work: the allocator of
// the automation runtime, the profile service's file writes, and SQLite's
// prepare and step under the registry. Disarmed, the question is one relaxed
// atomic load; armed, the n-th operation of the kind since arming answers
// true, once, and every operation is counted for VhFaultCount.
#pragma once

#include <atomic>
#include <string_view>

#include "platform/win32.h"

namespace vh::fault {

constexpr DWORD kind_count = 5;  // VH_FAULT_ALLOC .. VH_FAULT_NEW, and 0 unused

// The n-th operation to fail per kind; 0 when the kind is disarmed.
extern std::atomic<LONG> g_armed[kind_count];

// Counts an operation of an armed kind; true when it is the one to fail.
bool count_and_check(DWORD kind) noexcept;

// True when the operation about to run must fail instead.
inline bool fail_now(DWORD kind) noexcept
{
    return g_armed[kind].load(std::memory_order_relaxed) != 0 && count_and_check(kind);
}

// The failure the arming chose (an errno value, a SQLite result code), or
// fallback when it chose none.
LONG failure(DWORD kind, LONG fallback) noexcept;

// The switches of VhFaultTrace; 0 when no record is kept.
extern std::atomic<DWORD> g_trace;

inline bool tracing() noexcept
{
    return (g_trace.load(std::memory_order_relaxed) & VH_TRACE_FILES) != 0;
}

// True when a test asked to treat every file system as unordered.
inline bool assume_unordered() noexcept
{
    return (g_trace.load(std::memory_order_relaxed) & VH_TRACE_UNORDERED) != 0;
}

// Adds "operation names" to the record, names cut to their last component.
void trace(std::string_view operation, std::string_view name, std::string_view other = {}) noexcept;

}  // namespace vh::fault
