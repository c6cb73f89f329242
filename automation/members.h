// The member tables: one description per interface of every member a
// caller can reach, with its slot, dispatch identifier, invocation kind,
// parameters and result. Late binding (automation/dispatch.h), the command-line
// client and the checks against the Windows type library all read these
// tables; nothing else lists the members.
//
// Parameter and result kinds are not written by hand: they are read off the
// C++ signature of each interface function, so a table cannot disagree
// with the interface it describes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "automation/interfaces.h"
#include "platform/win32.h"

namespace vh {

// The kind of a parameter or result as the binary interface carries it.
enum class Kind : std::uint8_t {
    none,        // no result
    string,      // BSTR
    int32,       // LONG
    boolean,     // VARIANT_BOOL
    variant,     // VARIANT
    root_key,    // a root key, a 32-bit integer
    collection,  // _Collection*
    unknown,     // IUnknown*
};

// The Variant type a value of the kind travels as in late-bound calls.
constexpr VARTYPE wire_type(Kind kind) noexcept
{
    switch (kind) {
        case Kind::string:
            return VT_BSTR;
        case Kind::int32:
        case Kind::root_key:
            return VT_I4;
        case Kind::boolean:
            return VT_BOOL;
        case Kind::variant:
            return VT_VARIANT;
        case Kind::collection:
            return VT_DISPATCH;
        case Kind::unknown:
            return VT_UNKNOWN;
        case Kind::none:
            break;
    }
    return VT_EMPTY;
}

enum class InvokeKind : WORD {
    method = DISPATCH_METHOD,
    get = DISPATCH_PROPERTYGET,
    put = DISPATCH_PROPERTYPUT,
};

struct Param {
    std::u16string_view name;
    Kind kind = Kind::none;
    bool by_ref = false;
};

// Calls a member through the interface's table of operations. slots[i]
// holds the address of the i-th argument's value, of its kind (BSTR, LONG,
// VARIANT); for a by-reference parameter that address is what the member
// receives. The member's result is moved into *result (freed when result is
// null).
using Thunk = HRESULT (*)(IDispatch* self, void* const* slots, VARIANT* result);

inline constexpr std::size_t max_params = 4;

struct Member {
    std::u16string_view name;
    DISPID id = 0;
    InvokeKind invoke = InvokeKind::method;
    int slot = 0;
    std::array<Param, max_params> params{};
    int param_count = 0;
    int required = 0;  // the parameters after these are optional
    Kind result = Kind::none;
    DWORD help_context = 0;
    Thunk call = nullptr;

    std::span<const Param> parameters() const
    {
        return {params.data(), static_cast<std::size_t>(param_count)};
    }
};

struct InterfaceTable {
    std::u16string_view name;    // "_iniHandler"
    std::u16string_view source;  // the programmatic identifier, named in errors
    const IID* iid = nullptr;
    DWORD help_context = 0;
    std::span<const Member> members;
};

const InterfaceTable& collection_table();

// The table of each interface; each class's member header adds its own.
template <class I>
const InterfaceTable& table_of();
template <>
inline const InterfaceTable& table_of<_Collection>()
{
    return collection_table();
}

// ---- Reading kinds off signatures ---------------------------------------------------

namespace detail {

// How one argument type of an interface function is described and passed.
template <class T>
struct Arg;
template <>
struct Arg<BSTR> {
    static constexpr Kind kind = Kind::string;
    static constexpr bool by_ref = false;
    static BSTR from(void* slot) { return *static_cast<BSTR*>(slot); }
};
template <>
struct Arg<BSTR*> {
    static constexpr Kind kind = Kind::string;
    static constexpr bool by_ref = true;
    static BSTR* from(void* slot) { return static_cast<BSTR*>(slot); }
};
template <>
struct Arg<VARIANT> {
    static constexpr Kind kind = Kind::variant;
    static constexpr bool by_ref = false;
    static VARIANT from(void* slot) { return *static_cast<VARIANT*>(slot); }
};
template <>
struct Arg<VARIANT*> {
    static constexpr Kind kind = Kind::variant;
    static constexpr bool by_ref = true;
    static VARIANT* from(void* slot) { return static_cast<VARIANT*>(slot); }
};

// How a result type is described and handed to a late-bound caller.
template <class T>
struct Result;
template <>
struct Result<BSTR> {
    static constexpr Kind kind = Kind::string;
    static void store(BSTR& value, VARIANT* out)
    {
        out->vt = VT_BSTR;
        out->bstrVal = value;
    }
    static void discard(BSTR& value) { SysFreeString(value); }
};
template <>
struct Result<LONG> {
    static constexpr Kind kind = Kind::int32;
    static void store(LONG& value, VARIANT* out)
    {
        out->vt = VT_I4;
        out->lVal = value;
    }
    static void discard(LONG&) {}
};
template <>
struct Result<VARIANT_BOOL> {
    static constexpr Kind kind = Kind::boolean;
    static void store(VARIANT_BOOL& value, VARIANT* out)
    {
        out->vt = VT_BOOL;
        out->boolVal = value;
    }
    static void discard(VARIANT_BOOL&) {}
};
template <>
struct Result<VARIANT> {
    static constexpr Kind kind = Kind::variant;
    static void store(VARIANT& value, VARIANT* out) { *out = value; }
    static void discard(VARIANT& value) { VariantClear(&value); }
};
template <>
struct Result<_Collection*> {
    static constexpr Kind kind = Kind::collection;
    static void store(_Collection*& value, VARIANT* out)
    {
        out->vt = VT_DISPATCH;
        out->pdispVal = value;
    }
    static void discard(_Collection*& value)
    {
        if (value != nullptr) {
            value->Release();
        }
    }
};
template <>
struct Result<IUnknown*> {
    static constexpr Kind kind = Kind::unknown;
    static void store(IUnknown*& value, VARIANT* out)
    {
        out->vt = VT_UNKNOWN;
        out->punkVal = value;
    }
    static void discard(IUnknown*& value)
    {
        if (value != nullptr) {
            value->Release();
        }
    }
};

template <class F>
struct Signature;
template <class C, class... A>
struct Signature<HRESULT (STDMETHODCALLTYPE C::*)(A...)> {
    using Class = C;
    static constexpr std::size_t arity = sizeof...(A);
    template <std::size_t I>
    using At = std::tuple_element_t<I, std::tuple<A...>>;
};

// The description and the thunk of one interface function. With a result,
// the function's last argument is the result's address.
template <auto Method, bool HasResult>
struct Describe {
    using Sig = Signature<decltype(Method)>;
    static constexpr std::size_t param_count = Sig::arity - (HasResult ? 1 : 0);
    static_assert(param_count <= max_params);

    using ResultType = std::conditional_t<
        HasResult, std::remove_pointer_t<typename Sig::template At<HasResult ? Sig::arity - 1 : 0>>, void>;

    static constexpr Kind result_kind()
    {
        if constexpr (HasResult) {
            return Result<ResultType>::kind;
        } else {
            return Kind::none;
        }
    }

    template <std::size_t... I>
    static constexpr std::array<Param, max_params> params(
        const std::array<std::u16string_view, max_params>& names, std::index_sequence<I...>)
    {
        std::array<Param, max_params> result{};
        ((result[I] = Param{names[I], Arg<typename Sig::template At<I>>::kind,
                            Arg<typename Sig::template At<I>>::by_ref}),
         ...);
        return result;
    }

    template <std::size_t... I>
    static HRESULT call(IDispatch* self, void* const* slots, VARIANT* out, std::index_sequence<I...>)
    {
        auto* object = static_cast<typename Sig::Class*>(self);
        if constexpr (HasResult) {
            ResultType value{};
            const HRESULT status =
                (object->*Method)(Arg<typename Sig::template At<I>>::from(slots[I])..., &value);
            if (out != nullptr) {
                Result<ResultType>::store(value, out);
            } else {
                Result<ResultType>::discard(value);
            }
            return status;
        } else {
            (void)out;
            return (object->*Method)(Arg<typename Sig::template At<I>>::from(slots[I])...);
        }
    }

    static HRESULT thunk(IDispatch* self, void* const* slots, VARIANT* out)
    {
        return call(self, slots, out, std::make_index_sequence<param_count>{});
    }
};

}  // namespace detail

// Describes the interface function Method; HasResult says whether its last
// argument is the member's result. names lists the parameter names; the
// parameters after the first `required` are optional (-1: none is).
template <auto Method, bool HasResult = true>
constexpr Member describe(std::u16string_view name, DISPID id, InvokeKind invoke, int slot,
                          std::array<std::u16string_view, max_params> names, DWORD help_context = 0,
                          int required = -1)
{
    using D = detail::Describe<Method, HasResult>;
    Member m;
    m.name = name;
    m.id = id;
    m.invoke = invoke;
    m.slot = slot;
    m.params = D::params(names, std::make_index_sequence<D::param_count>{});
    m.param_count = static_cast<int>(D::param_count);
    m.required = required < 0 ? m.param_count : required;
    m.result = D::result_kind();
    m.help_context = help_context;
    m.call = &D::thunk;
    return m;
}

}  // namespace vh
