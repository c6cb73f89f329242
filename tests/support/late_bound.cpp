#include "tests/support/late_bound.h"

namespace vh::test {

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
