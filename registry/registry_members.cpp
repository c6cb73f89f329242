#include "registry/registry_members.h"

namespace vh {

namespace {

using K = InvokeKind;

const Member registry_handler_members[] = {
    describe<&_RegistryHandler::CheckRegistryKey>(u"CheckRegistryKey", 0x60030000, K::method, 7,
                                                  {u"hKey", u"KeyName"}),
    describe<&_RegistryHandler::WriteRegValue>(
        u"WriteRegValue", 0x60030001, K::method, 8,
        {u"vhRootKey", u"vstrKeyName", u"vstrValueName", u"vvntValue"}),
    describe<&_RegistryHandler::ReadRegValue>(u"ReadRegValue", 0x60030002, K::method, 9,
                                              {u"RootKey", u"sKey", u"sValueName"}),
    describe<&_RegistryHandler::EnumKeys>(u"EnumKeys", 0x60030003, K::method, 10, {u"RootKey", u"sKey"}),
    describe<&_RegistryHandler::DeleteKey, false>(u"DeleteKey", 0x60030004, K::method, 11,
                                                  {u"RootKey", u"sKey"}),
    describe<&_RegistryHandler::DeleteValue, false>(u"DeleteValue", 0x60030005, K::method, 12,
                                                    {u"RootKey", u"sKey", u"sValueName"}),
    describe<&_RegistryHandler::DeleteAllValues>(u"DeleteAllValues", 0x60030006, K::method, 13,
                                                 {u"RootKey", u"sKey"}),
    describe<&_RegistryHandler::EnumValues>(u"EnumValues", 0x60030007, K::method, 14, {u"RootKey", u"sKey"}),
};

}  // namespace

const InterfaceTable& registry_handler_table()
{
    static const InterfaceTable table{u"_RegistryHandler", u"Vornhall.RegistryHandler", &IID__RegistryHandler,
                                      0, registry_handler_members};
    return table;
}

}  // namespace vh
