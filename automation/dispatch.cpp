#include "automation/dispatch.h"

#include <array>

#include "automation/errors.h"
#include "automation/values.h"
#include "platform/type_info.h"

namespace vh::dispatch {

namespace {

bool same_name(std::u16string_view a, const OLECHAR* b)
{
    if (b == nullptr) {
        return false;
    }
    auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
    std::size_t i = 0;
    for (; i < a.size(); ++i) {
        if (b[i] == 0 || fold(a[i]) != fold(static_cast<char16_t>(b[i]))) {
            return false;
        }
    }
    return b[i] == 0;
}

// The member that answers a call with these flags: a property assignment
// only the assignment; a method call or a property read the method or the
// read of that identifier, whichever was asked for first. Script hosts
// call a property read as a method (JScript's enumeration does), and read a
// method without arguments as a property, so either answers the other.
const Member* find_member(const InterfaceTable& table, DISPID id, WORD flags)
{
    const Member* method = nullptr;
    const Member* get = nullptr;
    const Member* put = nullptr;
    for (const Member& m : table.members) {
        if (m.id != id) {
            continue;
        }
        switch (m.invoke) {
            case InvokeKind::method:
                method = &m;
                break;
            case InvokeKind::get:
                get = &m;
                break;
            case InvokeKind::put:
                put = &m;
                break;
        }
    }
    if ((flags & DISPATCH_PROPERTYPUT) != 0) {
        return put;
    }
    if ((flags & DISPATCH_METHOD) != 0) {
        return method != nullptr ? method : get;
    }
    if ((flags & DISPATCH_PROPERTYGET) != 0) {
        if (get != nullptr) {
            return get;
        }
        return (method != nullptr && method->result != Kind::none) ? method : nullptr;
    }
    return nullptr;
}

bool is_missing(const VARIANT* arg)
{
    return arg == nullptr || (arg->vt == VT_ERROR && arg->scode == DISP_E_PARAMNOTFOUND);
}

// Follows by-reference Variants to the value they stand for.
VARIANT* resolve(VARIANT* arg)
{
    for (int depth = 0; depth < 8 && arg->vt == (VT_BYREF | VT_VARIANT) && arg->pvarVal != nullptr; ++depth) {
        arg = arg->pvarVal;
    }
    return arg;
}

// The address of a value of the wire type inside v, or null.
void* value_slot(VARIANT* v, VARTYPE type)
{
    if (v->vt == type) {
        return type == VT_BSTR ? static_cast<void*>(&v->bstrVal) : static_cast<void*>(&v->lVal);
    }
    if (v->vt == (VT_BYREF | type)) {
        return v->byref;
    }
    return nullptr;
}

// Converts a value to a parameter's kind. Root keys also take the unsigned
// reading of a number (0x80000001 from a script is 2147483649).
HRESULT convert(const VARIANT& source, Kind kind, Variant& out)
{
    const VARTYPE type = wire_type(kind);
    HRESULT status = VariantChangeType(out.put(), const_cast<VARIANT*>(&source), 0, type);
    if (status == DISP_E_OVERFLOW && kind == Kind::root_key) {
        Variant wide;
        if (SUCCEEDED(VariantChangeType(wide.put(), const_cast<VARIANT*>(&source), 0, VT_UI4))) {
            out = Variant::from_int32(static_cast<std::int32_t>(wide.get().ulVal));
            status = S_OK;
        }
    }
    return status;
}

// One argument made ready for the member: where its value lives, and the
// caller's Variant to update afterwards when the value had to be converted.
struct Prepared {
    Variant value;
    VARIANT* write_back = nullptr;
    void* slot = nullptr;
};

HRESULT prepare(const Param& param, VARIANT* arg, Prepared& out)
{
    const VARTYPE type = wire_type(param.kind);
    if (is_missing(arg)) {
        // An omitted optional argument: the marker itself for a Variant; an
        // empty string for a string, which is what leaving it out means (a
        // null string would reach the system as a null pointer, another
        // request).
        if (param.kind == Kind::variant) {
            out.value.get().vt = VT_ERROR;
            out.value.get().scode = DISP_E_PARAMNOTFOUND;
            out.slot = &out.value.get();
        } else if (param.kind == Kind::string) {
            out.value.get().vt = VT_BSTR;
            out.value.get().bstrVal = SysAllocStringLen(nullptr, 0);
            if (out.value.get().bstrVal == nullptr) {
                return E_OUTOFMEMORY;
            }
            out.slot = &out.value.get().bstrVal;
        } else {
            out.value.get().vt = type;
            out.value.get().llVal = 0;
            out.slot = &out.value.get().lVal;
        }
        return S_OK;
    }
    VARIANT* v = resolve(arg);
    if (param.kind == Kind::variant) {
        if ((v->vt & VT_BYREF) != 0 && !param.by_ref) {
            // A by-value Variant sees the value's own kind.
            const HRESULT status = VariantCopyInd(out.value.put(), v);
            out.slot = &out.value.get();
            return status;
        }
        out.slot = v;
        return S_OK;
    }
    // The caller's own storage serves when it holds the declared kind; a
    // by-reference parameter only writes into a by-reference argument.
    const bool writable = !param.by_ref || (arg->vt & VT_BYREF) != 0;
    if (void* direct = value_slot(v, type); direct != nullptr && writable) {
        out.slot = direct;
        return S_OK;
    }
    if ((v->vt & VT_BYREF) != 0 && param.by_ref) {
        // A variable of another fixed kind cannot take the member's value.
        return DISP_E_TYPEMISMATCH;
    }
    const HRESULT status = convert(*v, param.kind, out.value);
    if (FAILED(status)) {
        return status;
    }
    out.slot = param.kind == Kind::string ? static_cast<void*>(&out.value.get().bstrVal)
                                          : static_cast<void*>(&out.value.get().lVal);
    // A by-reference parameter writes back into a caller's Variant variable.
    if (param.by_ref && (arg->vt & VT_BYREF) != 0) {
        out.write_back = v;
    }
    return S_OK;
}

void fill_exception(EXCEPINFO* excep, const InterfaceTable& table, HRESULT status)
{
    *excep = EXCEPINFO{};
    excep->scode = status;
    excep->bstrSource = SysAllocStringLen(ole(table.source), static_cast<UINT>(table.source.size()));
    const auto text = describe(status);
    excep->bstrDescription = SysAllocStringLen(ole(text), static_cast<UINT>(text.size()));
}

// The arguments of a call in parameter order: given[k] is the argument of
// parameter k (null when left out), position[k] its index in rgvarg.
struct Arguments {
    std::array<VARIANT*, max_params> given{};
    std::array<UINT, max_params> position{};
};

// Matches the caller's positional and named arguments to the member's
// parameters and checks that every required one is there.
HRESULT match_arguments(const Member& member, DISPPARAMS& params, Arguments& out, UINT* arg_error)
{
    const UINT count = params.cArgs;
    const UINT named = params.cNamedArgs;
    if (named > count || (count > 0 && params.rgvarg == nullptr) ||
        (named > 0 && params.rgdispidNamedArgs == nullptr)) {
        return E_INVALIDARG;
    }
    const auto param_count = static_cast<UINT>(member.param_count);
    auto& given = out.given;
    auto& position = out.position;

    UINT positional = count - named;
    UINT first_named = 0;
    if (member.invoke == InvokeKind::put) {
        // The assigned value is the argument named DISPID_PROPERTYPUT (or,
        // from lenient callers, the only argument).
        if (count != 1 || (named == 1 && params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) || named > 1) {
            return count != 1 ? DISP_E_BADPARAMCOUNT : DISP_E_PARAMNOTFOUND;
        }
        positional = 1;
        first_named = named;
    }
    if (positional > param_count) {
        return DISP_E_BADPARAMCOUNT;
    }
    for (UINT k = 0; k < positional; ++k) {
        position[k] = count - 1 - k;
        given[k] = &params.rgvarg[position[k]];
    }
    for (UINT n = first_named; n < named; ++n) {
        const DISPID target = params.rgdispidNamedArgs[n];
        if (target < 0 || static_cast<UINT>(target) >= param_count ||
            given[static_cast<UINT>(target)] != nullptr) {
            if (arg_error != nullptr) {
                *arg_error = n;
            }
            return DISP_E_PARAMNOTFOUND;
        }
        position[static_cast<UINT>(target)] = n;
        given[static_cast<UINT>(target)] = &params.rgvarg[n];
    }
    for (int k = 0; k < member.required; ++k) {
        if (given[static_cast<std::size_t>(k)] == nullptr) {
            return named > 0 ? DISP_E_PARAMNOTOPTIONAL : DISP_E_BADPARAMCOUNT;
        }
        if (is_missing(given[static_cast<std::size_t>(k)])) {
            return DISP_E_PARAMNOTOPTIONAL;
        }
    }
    return S_OK;
}

HRESULT invoke_member(const InterfaceTable& table, const Member& member, IDispatch* self, DISPPARAMS& params,
                      VARIANT* result, EXCEPINFO* excep, UINT* arg_error)
{
    Arguments arguments;
    if (const HRESULT status = match_arguments(member, params, arguments, arg_error); FAILED(status)) {
        return status;
    }
    const auto param_count = static_cast<UINT>(member.param_count);
    std::array<Prepared, max_params> prepared;
    std::array<void*, max_params> slots{};
    for (UINT k = 0; k < param_count; ++k) {
        const HRESULT status = prepare(member.params[k], arguments.given[k], prepared[k]);
        if (FAILED(status)) {
            if (arg_error != nullptr) {
                *arg_error = arguments.position[k];
            }
            return status;
        }
        slots[k] = prepared[k].slot;
    }

    const HRESULT status = member.call(self, slots.data(), result);

    for (Prepared& p : prepared) {
        if (p.write_back != nullptr) {
            VariantClear(p.write_back);
            *p.write_back = p.value.detach();
        }
    }
    if (SUCCEEDED(status)) {
        return status;
    }
    if (excep == nullptr) {
        return status;
    }
    fill_exception(excep, table, status);
    return DISP_E_EXCEPTION;
}

}  // namespace

HRESULT ids_of_names(const InterfaceTable& table, REFIID riid, LPOLESTR* names, UINT count,
                     DISPID* ids) noexcept
{
    if (riid != IID_NULL) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    if (names == nullptr || ids == nullptr || count == 0) {
        return E_INVALIDARG;
    }
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
    }
    const Member* found = nullptr;
    for (const Member& m : table.members) {
        if (same_name(m.name, names[0])) {
            found = &m;
            // The assignment of a property shares the read's identifier;
            // prefer the member whose parameters carry names.
            if (m.param_count > 0 || count == 1) {
                break;
            }
        }
    }
    if (found == nullptr) {
        return DISP_E_UNKNOWNNAME;
    }
    ids[0] = found->id;
    HRESULT status = S_OK;
    for (UINT i = 1; i < count; ++i) {
        for (int k = 0; k < found->param_count; ++k) {
            if (same_name(found->params[static_cast<std::size_t>(k)].name, names[i])) {
                ids[i] = k;
            }
        }
        if (ids[i] == DISPID_UNKNOWN) {
            status = DISP_E_UNKNOWNNAME;
        }
    }
    return status;
}

HRESULT invoke(const InterfaceTable& table, IDispatch* self, DISPID id, REFIID riid, WORD flags,
               DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* arg_error) noexcept
{
    if (riid != IID_NULL) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    if (params == nullptr) {
        return E_INVALIDARG;
    }
    const Member* member = find_member(table, id, flags);
    if (member == nullptr) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (result != nullptr) {
        VariantInit(result);
    }
    try {
        return invoke_member(table, *member, self, *params, result, excep, arg_error);
    } catch (...) {
        return status_at_edge();
    }
}

HRESULT type_info_count(const InterfaceTable&, UINT* count) noexcept
{
    if (count == nullptr) {
        return E_INVALIDARG;
    }
    *count = platform::type_info_count();
    return S_OK;
}

HRESULT type_info(const InterfaceTable& table, UINT index, LCID, ITypeInfo** info) noexcept
{
    if (info == nullptr) {
        return E_POINTER;
    }
    *info = nullptr;
    if (index >= platform::type_info_count()) {
        return DISP_E_BADINDEX;
    }
    try {
        return platform::type_info_of(*table.iid, info);
    } catch (...) {
        return status_at_edge();
    }
}

}  // namespace vh::dispatch
