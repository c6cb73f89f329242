#include "automation/members.h"

namespace vh {

namespace {

using K = InvokeKind;

const Member collection_members[] = {
    describe<&_Collection::Item>(u"Item", DISPID_VALUE, K::method, 7, {u"Index"}),
    describe<&_Collection::Add, false>(u"Add", 1, K::method, 8, {u"Item", u"Key", u"Before", u"After"}, 0, 1),
    describe<&_Collection::Count>(u"Count", 2, K::method, 9, {}),
    describe<&_Collection::Remove, false>(u"Remove", 3, K::method, 10, {u"Index"}),
    describe<&_Collection::_NewEnum>(u"_NewEnum", DISPID_NEWENUM, K::method, 11, {}),
};

}  // namespace

const InterfaceTable& collection_table()
{
    static const InterfaceTable table{u"_Collection", u"Collection", &IID__Collection, 0, collection_members};
    return table;
}

}  // namespace vh
