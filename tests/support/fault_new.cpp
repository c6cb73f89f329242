// The global operator new and delete of a test program, counted by the
// platform's fault switch: once VH_FAULT_NEW is armed (VhFaultArm), the
// n-th allocation throws std::bad_alloc (the nothrow forms return null).
// Linked only into programs that inject faults; the aligned forms keep
// the library's own definitions.
#include <cstdlib>
#include <new>

#include "platform/win32.h"

namespace {

void* allocate(std::size_t bytes) noexcept
{
    if (VhFaultHit(VH_FAULT_NEW)) {
        return nullptr;
    }
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void* allocate_or_throw(std::size_t bytes)
{
    if (void* block = allocate(bytes)) {
        return block;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t bytes)
{
    return allocate_or_throw(bytes);
}
void* operator new[](std::size_t bytes)
{
    return allocate_or_throw(bytes);
}
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept
{
    return allocate(bytes);
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept
{
    return allocate(bytes);
}
void operator delete(void* block) noexcept
{
    std::free(block);
}
void operator delete[](void* block) noexcept
{
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept
{
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept
{
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    std::free(block);
}
