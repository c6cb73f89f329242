#include "automation/collection.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "automation/frame.h"
#include "automation/object.h"

namespace vh {

namespace {

struct Entry {
    Variant item;
    Bstr key;  // lower-cased; null when the item has none
};

// Walks a snapshot of the items taken when the enumeration began.
class Enumerator final : public ComObject<IEnumVARIANT> {
public:
    explicit Enumerator(std::shared_ptr<const std::vector<Variant>> items, std::size_t next = 0)
        : m_items(std::move(items)), m_next(next)
    {
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* items, ULONG* fetched) override
    {
        if (items == nullptr || (count > 1 && fetched == nullptr)) {
            return E_INVALIDARG;
        }
        ULONG done = 0;
        for (; done < count && m_next < m_items->size(); ++done, ++m_next) {
            VariantInit(&items[done]);
            const HRESULT status = VariantCopy(&items[done], &(*m_items)[m_next].get());
            if (FAILED(status)) {
                for (ULONG k = 0; k < done; ++k) {
                    VariantClear(&items[k]);
                }
                return status;
            }
        }
        if (fetched != nullptr) {
            *fetched = done;
        }
        return done == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        const std::size_t left = m_items->size() - m_next;
        m_next += std::min<std::size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        m_next = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) override
    {
        if (copy == nullptr) {
            return E_POINTER;
        }
        *copy = new (std::nothrow) Enumerator(m_items, m_next);
        return *copy == nullptr ? E_OUTOFMEMORY : S_OK;
    }

private:
    std::shared_ptr<const std::vector<Variant>> m_items;
    std::size_t m_next;
};

class Collection final : public DispatchObject<_Collection> {
public:
    HRESULT STDMETHODCALLTYPE Item(VARIANT* Index, VARIANT* result) override
    {
        return run_member(this, result, [&](Variant& out) { out = m_entries[locate(Index)].item; });
    }

    HRESULT STDMETHODCALLTYPE Add(VARIANT* Item, VARIANT* Key, VARIANT* Before, VARIANT* After) override
    {
        return run_member(this, [&] {
            if (Item == nullptr) {
                raise_error(err::invalid_argument);
            }
            Entry entry{Variant::copy_of(*Item), Bstr()};
            if (given(Key)) {
                entry.key = lower(Variant::copy_of(*Key).to_string().view());
                if (find_key(entry.key.view()) != npos) {
                    raise_error(err::duplicate_key);
                }
            }
            std::size_t at = m_entries.size();
            if (given(Before) && given(After)) {
                raise_error(err::invalid_argument);
            }
            if (given(Before)) {
                at = locate(Before);
            } else if (given(After)) {
                at = locate(After) + 1;
            }
            m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
        });
    }

    HRESULT STDMETHODCALLTYPE Count(LONG* result) override
    {
        return run_member(this, result,
                          [&](LONG& out) { out = to_int32(static_cast<std::int64_t>(m_entries.size())); });
    }

    HRESULT STDMETHODCALLTYPE Remove(VARIANT* Index) override
    {
        return run_member(
            this, [&] { m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(locate(Index))); });
    }

    HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** result) override
    {
        return run_member(this, result, [&](ComPtr<IUnknown>& out) {
            auto items = std::make_shared<std::vector<Variant>>();
            items->reserve(m_entries.size());
            for (const Entry& e : m_entries) {
                items->push_back(e.item);
            }
            out = ComPtr<IUnknown>::attach(new Enumerator(std::move(items)));
        });
    }

private:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    static bool given(const VARIANT* v)
    {
        return v != nullptr && !(v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND);
    }

    std::size_t find_key(Text key) const
    {
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            if (!m_entries[i].key.is_null() && m_entries[i].key.view() == key) {
                return i;
            }
        }
        return npos;
    }

    // The entry an index names: a 1-based position (error 9 outside) or a
    // key (error 5 when absent).
    std::size_t locate(const VARIANT* index) const
    {
        if (index == nullptr) {
            raise_error(err::invalid_argument);
        }
        const Variant value = Variant::copy_of(*index);
        if (value.kind() == VT_BSTR) {
            const std::size_t found =
                find_key(lower(value.get().bstrVal == nullptr
                                   ? Text()
                                   : text_of(value.get().bstrVal, SysStringLen(value.get().bstrVal)))
                             .view());
            if (found == npos) {
                raise_error(err::invalid_argument);
            }
            return found;
        }
        Variant number;
        check_runtime(VariantChangeType(number.put(), &value.get(), 0, VT_I4));
        const LONG position = number.get().lVal;
        if (position < 1 || static_cast<std::size_t>(position) > m_entries.size()) {
            raise_error(err::subscript);
        }
        return static_cast<std::size_t>(position) - 1;
    }

    std::vector<Entry> m_entries;
};

}  // namespace

ComPtr<_Collection> make_collection()
{
    return ComPtr<_Collection>::attach(new Collection());
}

}  // namespace vh
