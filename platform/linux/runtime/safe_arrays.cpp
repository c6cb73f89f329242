// Safe arrays. The descriptor is preceded by a private prefix: the capacity
// of the element storage, so that growing the last dimension reallocates
// geometrically instead of copying on every step, and, as on Windows, the
// interface identifier (FADF_HAVEIID) or element VARTYPE (FADF_HAVEVARTYPE)
// in the 16 bytes just before the descriptor. Only arrays made here carry the
// prefix; arrays marked FADF_STATIC, FADF_AUTO or FADF_EMBEDDED are their
// owner's storage and are never freed or resized here.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/linux/runtime/runtime.h"

namespace {

using vh::runtime::duplicate_bstr;
using vh::runtime::is_interface;
using vh::runtime::obtain_storage;
using vh::runtime::payload_size;
using vh::runtime::release_storage;

// ---- Safe arrays ----------------------------------------------------------------

struct alignas(16) ArrayPrefix {
    std::size_t capacity;  // bytes of element storage at pvData
    std::size_t unused;
    unsigned char type_info[16];  // the IID, or the VARTYPE in the last four bytes
};
static_assert(sizeof(ArrayPrefix) == 32, "the descriptor stays 16-byte aligned");

constexpr USHORT not_owned_features = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;
constexpr std::size_t vartype_offset = 12;

ArrayPrefix& prefix_of(SAFEARRAY* array)
{
    return *reinterpret_cast<ArrayPrefix*>(reinterpret_cast<unsigned char*>(array) - sizeof(ArrayPrefix));
}

std::size_t element_size(VARTYPE vt)
{
    switch (vt) {
        case VT_VARIANT:
            return sizeof(VARIANT);
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        default:
            return payload_size(vt);  // 0 for a kind no array holds
    }
}

// The number of elements, false when it overflows.
bool cell_count(const SAFEARRAY* array, std::size_t& cells)
{
    cells = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        if (__builtin_mul_overflow(cells, std::size_t{array->rgsabound[d].cElements}, &cells)) {
            return false;
        }
    }
    return true;
}

// A zeroed descriptor with its prefix, and no element storage yet.
SAFEARRAY* create_descriptor(UINT dims, USHORT features, ULONG element_bytes, const unsigned char* type_info)
{
    if (dims == 0 || dims > 0xFFFF) {
        return nullptr;
    }
    const std::size_t bytes =
        sizeof(ArrayPrefix) + offsetof(SAFEARRAY, rgsabound) + dims * sizeof(SAFEARRAYBOUND);
    void* block = obtain_storage(nullptr, bytes);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, 0, bytes);
    auto* array = reinterpret_cast<SAFEARRAY*>(static_cast<unsigned char*>(block) + sizeof(ArrayPrefix));
    array->cDims = static_cast<USHORT>(dims);
    array->fFeatures = features;
    array->cbElements = element_bytes;
    if (type_info != nullptr) {
        std::memcpy(prefix_of(array).type_info, type_info, sizeof ArrayPrefix::type_info);
    }
    return array;
}

void destroy_descriptor(SAFEARRAY* array)
{
    release_storage(&prefix_of(array));
}

// Gives the array `bytes` of zeroed element storage.
bool allocate_elements(SAFEARRAY* array, std::size_t bytes)
{
    void* data = obtain_storage(nullptr, bytes);
    if (data == nullptr) {
        return false;
    }
    std::memset(data, 0, bytes);
    array->pvData = data;
    prefix_of(array).capacity = bytes;
    return true;
}

// Frees what elements [first, last) hold and leaves them zero.
void release_elements(SAFEARRAY* array, std::size_t first, std::size_t last)
{
    if (array->pvData == nullptr || first >= last) {
        return;
    }
    auto* data = static_cast<unsigned char*>(array->pvData);
    if ((array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
        auto* items = reinterpret_cast<IUnknown**>(data);
        for (std::size_t i = first; i < last; ++i) {
            if (IUnknown* item = items[i]) {
                items[i] = nullptr;
                item->Release();
            }
        }
    } else if ((array->fFeatures & FADF_BSTR) != 0) {
        auto* items = reinterpret_cast<BSTR*>(data);
        for (std::size_t i = first; i < last; ++i) {
            SysFreeString(items[i]);
            items[i] = nullptr;
        }
    } else if ((array->fFeatures & FADF_VARIANT) != 0) {
        auto* items = reinterpret_cast<VARIANT*>(data);
        for (std::size_t i = first; i < last; ++i) {
            VariantClear(&items[i]);
        }
    }
    std::memset(data + first * array->cbElements, 0, (last - first) * array->cbElements);
}

// Copies every element of `source` into the zeroed storage of `copy`.
HRESULT copy_elements(const SAFEARRAY* source, SAFEARRAY* copy, std::size_t cells)
{
    if (source->pvData == nullptr) {
        return S_OK;
    }
    if ((source->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
        auto* from = static_cast<IUnknown* const*>(source->pvData);
        auto* to = static_cast<IUnknown**>(copy->pvData);
        for (std::size_t i = 0; i < cells; ++i) {
            if ((to[i] = from[i]) != nullptr) {
                to[i]->AddRef();
            }
        }
    } else if ((source->fFeatures & FADF_BSTR) != 0) {
        auto* from = static_cast<const BSTR*>(source->pvData);
        auto* to = static_cast<BSTR*>(copy->pvData);
        for (std::size_t i = 0; i < cells; ++i) {
            bool ok = true;
            to[i] = duplicate_bstr(from[i], ok);
            if (!ok) {
                return E_OUTOFMEMORY;
            }
        }
    } else if ((source->fFeatures & FADF_VARIANT) != 0) {
        auto* from = static_cast<const VARIANT*>(source->pvData);
        auto* to = static_cast<VARIANT*>(copy->pvData);
        for (std::size_t i = 0; i < cells; ++i) {
            const HRESULT hr = VariantCopy(&to[i], &from[i]);
            if (FAILED(hr)) {
                return hr;
            }
        }
    } else {
        std::memcpy(copy->pvData, source->pvData, cells * source->cbElements);
    }
    return S_OK;
}

// The position of an element in storage; indices leftmost dimension first,
// and the leftmost index varies fastest.
HRESULT element_offset(const SAFEARRAY* array, const LONG* indices, std::size_t& cell)
{
    cell = 0;
    std::size_t stride = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        const SAFEARRAYBOUND& bound = array->rgsabound[array->cDims - 1 - d];
        const std::int64_t index = indices[d];
        if (index < bound.lLbound || index >= std::int64_t{bound.lLbound} + bound.cElements) {
            return DISP_E_BADINDEX;
        }
        cell += static_cast<std::size_t>(index - bound.lLbound) * stride;
        stride *= bound.cElements;
    }
    return S_OK;
}

// Adds one lock to an array's count, or takes one away; E_UNEXPECTED at the
// count's limits (0xFFFF locks, or none).
HRESULT count_lock(SAFEARRAY* array, bool lock)
{
    if (array == nullptr) {
        return E_INVALIDARG;
    }
    std::atomic_ref<ULONG> locks(array->cLocks);
    ULONG current = locks.load();
    do {
        if (lock ? current >= 0xFFFF : current == 0) {
            return E_UNEXPECTED;
        }
    } while (!locks.compare_exchange_weak(current, lock ? current + 1 : current - 1));
    return S_OK;
}

// Holds a lock on an array for the length of one element access.
class ArrayLock {
public:
    explicit ArrayLock(SAFEARRAY* array) : m_array(array), m_hr(SafeArrayLock(array)) {}
    ~ArrayLock()
    {
        if (SUCCEEDED(m_hr)) {
            SafeArrayUnlock(m_array);
        }
    }
    ArrayLock(const ArrayLock&) = delete;
    ArrayLock& operator=(const ArrayLock&) = delete;

    HRESULT status() const { return m_hr; }

private:
    SAFEARRAY* m_array;
    HRESULT m_hr;
};

}  // namespace

// ---- Safe arrays ----------------------------------------------------------------

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds)
{
    const std::size_t element_bytes = element_size(vt);
    if (bounds == nullptr || element_bytes == 0) {
        return nullptr;
    }
    USHORT features = FADF_HAVEVARTYPE;
    unsigned char type_info[16] = {};
    const DWORD vartype = vt;
    std::memcpy(type_info + vartype_offset, &vartype, sizeof vartype);
    if (vt == VT_BSTR) {
        features |= FADF_BSTR;
    } else if (vt == VT_VARIANT) {
        features |= FADF_VARIANT;
    } else if (is_interface(vt)) {
        features = FADF_HAVEIID | (vt == VT_UNKNOWN ? FADF_UNKNOWN : FADF_DISPATCH);
        std::memcpy(type_info, vt == VT_UNKNOWN ? &IID_IUnknown : &IID_IDispatch, sizeof(GUID));
    }
    SAFEARRAY* array = create_descriptor(dims, features, static_cast<ULONG>(element_bytes), type_info);
    if (array == nullptr) {
        return nullptr;
    }
    for (UINT d = 0; d < dims; ++d) {
        array->rgsabound[d] = bounds[dims - 1 - d];  // stored last dimension first
    }
    std::size_t cells = 0;
    std::size_t bytes = 0;
    if (!cell_count(array, cells) || __builtin_mul_overflow(cells, element_bytes, &bytes) ||
        !allocate_elements(array, bytes)) {
        destroy_descriptor(array);
        return nullptr;
    }
    return array;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower, ULONG count)
{
    SAFEARRAYBOUND bound{count, lower};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array)
{
    if (array == nullptr) {
        return S_OK;
    }
    if (array->cLocks != 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    std::size_t cells = 0;
    if (cell_count(array, cells)) {
        release_elements(array, 0, cells);
    }
    if ((array->fFeatures & not_owned_features) == 0) {
        release_storage(array->pvData);
        destroy_descriptor(array);
    }
    return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* array, SAFEARRAYBOUND* last_bound)
{
    if (array == nullptr || last_bound == nullptr ||
        (array->fFeatures & (FADF_FIXEDSIZE | not_owned_features)) != 0) {
        return E_INVALIDARG;
    }
    if (array->cLocks != 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    std::size_t old_cells = 0;
    std::size_t others = 1;  // elements per step of the last dimension
    for (USHORT d = 1; d < array->cDims; ++d) {
        others *= array->rgsabound[d].cElements;  // fits: the array exists
    }
    cell_count(array, old_cells);
    std::size_t new_cells = 0;
    std::size_t new_bytes = 0;
    if (__builtin_mul_overflow(others, std::size_t{last_bound->cElements}, &new_cells) ||
        __builtin_mul_overflow(new_cells, std::size_t{array->cbElements}, &new_bytes)) {
        return E_OUTOFMEMORY;
    }
    ArrayPrefix& prefix = prefix_of(array);
    const std::size_t old_bytes = old_cells * array->cbElements;
    if (new_cells < old_cells) {
        release_elements(array, new_cells, old_cells);
        if (new_bytes < prefix.capacity / 4) {
            // Give back most of a storage that shrank a lot; keep it if that fails.
            if (void* data = obtain_storage(array->pvData, new_bytes)) {
                array->pvData = data;
                prefix.capacity = new_bytes;
            }
        }
    } else if (new_bytes > old_bytes) {
        if (new_bytes > prefix.capacity) {
            // Geometric growth: a run of one-element steps copies each element
            // a bounded number of times.
            std::size_t capacity = std::max(new_bytes, prefix.capacity * 2);
            void* data = obtain_storage(array->pvData, capacity);
            if (data == nullptr && capacity > new_bytes) {
                capacity = new_bytes;
                data = obtain_storage(array->pvData, capacity);
            }
            if (data == nullptr) {
                return E_OUTOFMEMORY;
            }
            array->pvData = data;
            prefix.capacity = capacity;
        }
        std::memset(static_cast<unsigned char*>(array->pvData) + old_bytes, 0, new_bytes - old_bytes);
    }
    array->rgsabound[0] = *last_bound;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array)
{
    return array != nullptr ? array->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* array)
{
    return array != nullptr ? array->cbElements : 0;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* upper)
{
    if (array == nullptr || upper == nullptr) {
        return E_INVALIDARG;
    }
    if (dim == 0 || dim > array->cDims) {
        return DISP_E_BADINDEX;
    }
    const SAFEARRAYBOUND& bound = array->rgsabound[array->cDims - dim];
    *upper = static_cast<LONG>(std::int64_t{bound.lLbound} + bound.cElements - 1);
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* lower)
{
    if (array == nullptr || lower == nullptr) {
        return E_INVALIDARG;
    }
    if (dim == 0 || dim > array->cDims) {
        return DISP_E_BADINDEX;
    }
    *lower = array->rgsabound[array->cDims - dim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt)
{
    if (array == nullptr || vt == nullptr) {
        return E_INVALIDARG;
    }
    if ((array->fFeatures & FADF_HAVEIID) != 0) {
        *vt = (array->fFeatures & FADF_DISPATCH) != 0 ? VT_DISPATCH : VT_UNKNOWN;
        return S_OK;
    }
    if ((array->fFeatures & FADF_HAVEVARTYPE) != 0) {
        DWORD vartype = 0;
        std::memcpy(&vartype, prefix_of(array).type_info + vartype_offset, sizeof vartype);
        *vt = static_cast<VARTYPE>(vartype);
        return S_OK;
    }
    return E_INVALIDARG;
}

HRESULT SafeArrayLock(SAFEARRAY* array)
{
    return count_lock(array, true);
}

HRESULT SafeArrayUnlock(SAFEARRAY* array)
{
    return count_lock(array, false);
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data)
{
    if (array == nullptr || data == nullptr) {
        return E_INVALIDARG;
    }
    if (FAILED(SafeArrayLock(array))) {
        *data = nullptr;
        return E_UNEXPECTED;
    }
    *data = array->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array)
{
    return SafeArrayUnlock(array);
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* array, LONG* indices, void** element)
{
    if (array == nullptr || indices == nullptr || element == nullptr) {
        return E_INVALIDARG;
    }
    std::size_t cell = 0;
    const HRESULT hr = element_offset(array, indices, cell);
    if (FAILED(hr)) {
        return hr;
    }
    *element = static_cast<unsigned char*>(array->pvData) + cell * array->cbElements;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value)
{
    if (array == nullptr || indices == nullptr || value == nullptr) {
        return E_INVALIDARG;
    }
    const ArrayLock lock(array);
    if (FAILED(lock.status())) {
        return lock.status();
    }
    void* element = nullptr;
    const HRESULT hr = SafeArrayPtrOfIndex(array, indices, &element);
    if (FAILED(hr)) {
        return hr;
    }
    if ((array->fFeatures & FADF_VARIANT) != 0) {
        // Whatever `value` held before is not ours to free.
        auto* out = static_cast<VARIANT*>(value);
        VariantInit(out);
        return VariantCopy(out, static_cast<const VARIANT*>(element));
    }
    if ((array->fFeatures & FADF_BSTR) != 0) {
        bool ok = true;
        *static_cast<BSTR*>(value) = duplicate_bstr(*static_cast<const BSTR*>(element), ok);
        return ok ? S_OK : E_OUTOFMEMORY;
    }
    if ((array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
        IUnknown* item = *static_cast<IUnknown* const*>(element);
        if (item != nullptr) {
            item->AddRef();
        }
        *static_cast<IUnknown**>(value) = item;
        return S_OK;
    }
    std::memcpy(value, element, array->cbElements);
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value)
{
    if (array == nullptr || indices == nullptr) {
        return E_INVALIDARG;
    }
    const bool holds_references = (array->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)) != 0;
    if (value == nullptr && !holds_references) {
        return E_INVALIDARG;  // a null string or interface is a value; null data is not
    }
    const ArrayLock lock(array);
    if (FAILED(lock.status())) {
        return lock.status();
    }
    void* element = nullptr;
    const HRESULT hr = SafeArrayPtrOfIndex(array, indices, &element);
    if (FAILED(hr)) {
        return hr;
    }
    if ((array->fFeatures & FADF_VARIANT) != 0) {
        return VariantCopy(static_cast<VARIANT*>(element), static_cast<const VARIANT*>(value));
    }
    if ((array->fFeatures & FADF_BSTR) != 0) {
        // The new copy is made first, so that a failure keeps the old element.
        bool ok = true;
        BSTR copy = duplicate_bstr(static_cast<BSTR>(value), ok);
        if (!ok) {
            return E_OUTOFMEMORY;
        }
        auto* slot = static_cast<BSTR*>(element);
        SysFreeString(*slot);
        *slot = copy;
        return S_OK;
    }
    if ((array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
        auto* item = static_cast<IUnknown*>(value);
        auto* slot = static_cast<IUnknown**>(element);
        if (item != nullptr) {
            item->AddRef();
        }
        if (IUnknown* old = *slot) {
            *slot = item;
            old->Release();
        } else {
            *slot = item;
        }
        return S_OK;
    }
    std::memcpy(element, value, array->cbElements);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy)
{
    if (copy == nullptr) {
        return E_INVALIDARG;
    }
    *copy = nullptr;
    if (source == nullptr) {
        return S_OK;
    }
    if (source->cbElements == 0) {
        return E_INVALIDARG;
    }
    const bool has_type_info = (source->fFeatures & (FADF_HAVEIID | FADF_HAVEVARTYPE)) != 0;
    SAFEARRAY* result =
        create_descriptor(source->cDims, source->fFeatures & ~(not_owned_features | FADF_FIXEDSIZE),
                          source->cbElements, has_type_info ? prefix_of(source).type_info : nullptr);
    if (result == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::memcpy(result->rgsabound, source->rgsabound, source->cDims * sizeof(SAFEARRAYBOUND));
    std::size_t cells = 0;
    std::size_t bytes = 0;
    if (!cell_count(source, cells) ||
        __builtin_mul_overflow(cells, std::size_t{source->cbElements}, &bytes) ||
        !allocate_elements(result, bytes)) {
        destroy_descriptor(result);
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = copy_elements(source, result, cells);
    if (FAILED(hr)) {
        SafeArrayDestroy(result);  // frees the elements copied so far
        return hr;
    }
    *copy = result;
    return S_OK;
}
