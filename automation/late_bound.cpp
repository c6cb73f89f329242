#include "automation/late_bound.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace vh {

ExcepInfo::ExcepInfo(ExcepInfo&& other) noexcept : m_info(std::exchange(other.m_info, EXCEPINFO{}))
{
}

ExcepInfo& ExcepInfo::operator=(ExcepInfo&& other) noexcept
{
    if (this != &other) {
        clear();
        m_info = std::exchange(other.m_info, EXCEPINFO{});
    }
    return *this;
}

EXCEPINFO* ExcepInfo::put() noexcept
{
    clear();
    return &m_info;
}

Text ExcepInfo::description() const noexcept
{
    return text_of(m_info.bstrDescription, SysStringLen(m_info.bstrDescription));
}

void ExcepInfo::clear() noexcept
{
    SysFreeString(m_info.bstrSource);
    SysFreeString(m_info.bstrDescription);
    SysFreeString(m_info.bstrHelpFile);
    m_info = EXCEPINFO{};
}

DISPID dispatch_id(IDispatch* object, std::u16string_view name)
{
    std::u16string buffer(name);
    LPOLESTR names[1] = {reinterpret_cast<LPOLESTR>(buffer.data())};
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
        return DISPID_UNKNOWN;
    }
    return id;
}

LateCall::LateCall(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args,
                   std::vector<DISPID> named)
    : m_object(object), m_id(id), m_flags(flags), m_named(std::move(named))
{
    // Named arguments come first, in the order of their identifiers; the
    // others follow last one first. A name is given to one of the arguments.
    if (m_named.size() > args.size()) {
        throw std::invalid_argument("more named arguments than arguments");
    }
    const std::size_t positional = args.size() - m_named.size();
    for (std::size_t i = 0; i < m_named.size(); ++i) {
        m_slots.push_back(args[positional + i]);
    }
    for (std::size_t i = positional; i-- > 0;) {
        m_slots.push_back(args[i]);
    }
    m_params =
        DISPPARAMS{m_slots.empty() ? nullptr : m_slots.data(), m_named.empty() ? nullptr : m_named.data(),
                   static_cast<UINT>(m_slots.size()), static_cast<UINT>(m_named.size())};
}

HRESULT LateCall::invoke(VARIANT* result, EXCEPINFO* excep, UINT* arg_error)
{
    return m_object->Invoke(m_id, IID_NULL, LOCALE_USER_DEFAULT, m_flags, &m_params, result, excep,
                            arg_error);
}

ValueArgs value_args(const std::vector<Variant>& values, WORD flags)
{
    ValueArgs made;
    for (const Variant& value : values) {
        made.args.push_back(value.get());
    }
    if (flags == DISPATCH_PROPERTYPUT) {
        made.named.push_back(DISPID_PROPERTYPUT);
    }
    return made;
}

CallResult invoke(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args,
                  std::vector<DISPID> named)
{
    CallResult call;
    call.status = LateCall(object, id, flags, std::move(args), std::move(named))
                      .invoke(call.result.put(), call.excep.put(), &call.arg_error);
    return call;
}

}  // namespace vh
