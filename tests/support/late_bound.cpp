#include "tests/support/late_bound.h"

namespace vh::test {

Call::Call(Call&& other) noexcept
    : status(other.status), result(std::move(other.result)), excep(other.excep), arg_error(other.arg_error)
{
    other.excep = EXCEPINFO{};
}

Call::~Call()
{
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
}

DISPID id_of(IDispatch* object, const std::u16string& name)
{
    std::u16string buffer = name;
    LPOLESTR names[1] = {reinterpret_cast<LPOLESTR>(buffer.data())};
    DISPID id = DISPID_UNKNOWN;
    object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

Call invoke(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, std::vector<DISPID> named)
{
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    // Named arguments come first in rgvarg, in the order of their identifiers.
    std::vector<VARIANT> ordered;
    const std::size_t positional = args.size() - named.size();
    for (std::size_t i = 0; i < named.size(); ++i) {
        ordered.push_back(args[positional + i]);
    }
    for (std::size_t i = positional; i-- > 0;) {
        ordered.push_back(args[i]);
    }
    DISPPARAMS params{ordered.data(), named.empty() ? nullptr : named.data(),
                      static_cast<UINT>(ordered.size()), static_cast<UINT>(named.size())};
    Call call;
    call.status = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, call.result.put(),
                                 &call.excep, &call.arg_error);
    return call;
}

Call call(IDispatch* object, const std::u16string& name, std::initializer_list<const Variant*> args)
{
    std::vector<Variant> copies;
    for (const Variant* a : args) {
        copies.push_back(*a);
    }
    std::vector<VARIANT> raw;
    for (Variant& c : copies) {
        raw.push_back(c.get());
    }
    return invoke(object, id_of(object, name), DISPATCH_METHOD | DISPATCH_PROPERTYGET, raw);
}

Variant text(const std::u16string& value)
{
    return Variant::from_string(Bstr(value));
}

}  // namespace vh::test
