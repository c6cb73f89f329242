// Strings: a BSTR points just past a 32-bit byte count; three zero bytes
// follow the text, so that after an odd count the code unit that holds the
// last byte is followed by a zero unit too. A null BSTR is the empty string
// with no storage, and every copy made here keeps null and empty apart.
//
// Every block of string, array and Variant storage is obtained through
// obtain_storage() and given back through release_storage(). Keeping to that
// one seam is deliberate: a fault-injection switch placed there can make the
// n-th allocation fail and so reach every out-of-memory path.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/fault.h"
#include "platform/linux/runtime/runtime.h"

namespace {

using vh::runtime::obtain_storage;

constexpr std::size_t bstr_prefix = sizeof(DWORD);
constexpr std::size_t bstr_tail = 3;
// The longest text a string may hold, in bytes; the count must fit its prefix.
constexpr std::size_t max_bstr_bytes = 0x7FFFFFF0;

unsigned char* bstr_block(BSTR text)
{
    return reinterpret_cast<unsigned char*>(text) - bstr_prefix;
}

// A string of `bytes` bytes whose text the caller fills; null when there is
// no storage or the length is impossible.
BSTR allocate_bstr(std::size_t bytes)
{
    if (bytes > max_bstr_bytes) {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(obtain_storage(nullptr, bstr_prefix + bytes + bstr_tail));
    if (block == nullptr) {
        return nullptr;
    }
    const auto count = static_cast<DWORD>(bytes);
    std::memcpy(block, &count, sizeof count);
    std::memset(block + bstr_prefix + bytes, 0, bstr_tail);
    return reinterpret_cast<BSTR>(block + bstr_prefix);
}

}  // namespace

namespace vh::runtime {

void* obtain_storage(void* block, std::size_t bytes)
{
    if (vh::fault::fail_now(VH_FAULT_ALLOC)) {
        return nullptr;
    }
    return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void release_storage(void* block)
{
    std::free(block);
}

// A copy that keeps the byte length (odd ones too) and keeps null as null.
// Sets `ok` to false when storage ran out.
BSTR duplicate_bstr(BSTR text, bool& ok)
{
    ok = true;
    if (text == nullptr) {
        return nullptr;
    }
    BSTR copy = SysAllocStringByteLen(reinterpret_cast<const char*>(text), SysStringByteLen(text));
    ok = copy != nullptr;
    return copy;
}

// A new string holding ASCII text.
BSTR bstr_from_ascii(const char* text, std::size_t length)
{
    BSTR result = allocate_bstr(length * sizeof(OLECHAR));
    if (result != nullptr) {
        for (std::size_t i = 0; i < length; ++i) {
            result[i] = static_cast<unsigned char>(text[i]);
        }
    }
    return result;
}

}  // namespace vh::runtime

using vh::runtime::release_storage;

BSTR SysAllocString(const OLECHAR* text)
{
    if (text == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<UINT>(std::char_traits<char16_t>::length(text)));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length)
{
    const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
    BSTR result = allocate_bstr(bytes);
    if (result != nullptr) {
        if (text != nullptr) {
            std::memcpy(result, text, bytes);
        } else {
            std::memset(result, 0, bytes);
        }
    }
    return result;
}

BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length)
{
    BSTR result = allocate_bstr(length);
    if (result != nullptr) {
        if (bytes != nullptr) {
            std::memcpy(result, bytes, length);
        } else {
            std::memset(result, 0, length);
        }
    }
    return result;
}

INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length)
{
    if (target == nullptr) {
        return FALSE;
    }
    BSTR result = allocate_bstr(std::size_t{length} * sizeof(OLECHAR));
    if (result == nullptr) {
        return FALSE;
    }
    // Copied before the old string goes: `text` may point into it. Without
    // text, the old text is kept as far as it reaches.
    const UINT kept = text != nullptr ? length : std::min(length, SysStringLen(*target));
    const OLECHAR* from = text != nullptr ? text : *target;
    if (kept != 0) {
        std::memcpy(result, from, std::size_t{kept} * sizeof(OLECHAR));
    }
    std::memset(result + kept, 0, std::size_t{length - kept} * sizeof(OLECHAR));
    SysFreeString(*target);
    *target = result;
    return TRUE;
}

void SysFreeString(BSTR text)
{
    if (text != nullptr) {
        release_storage(bstr_block(text));
    }
}

UINT SysStringLen(BSTR text)
{
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

UINT SysStringByteLen(BSTR text)
{
    if (text == nullptr) {
        return 0;
    }
    DWORD bytes = 0;
    std::memcpy(&bytes, bstr_block(text), sizeof bytes);
    return bytes;
}
