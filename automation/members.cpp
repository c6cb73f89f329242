#include "automation/members.h"

namespace vh {

namespace {

using K = InvokeKind;

const Member ini_handler_members[] = {
    describe<&_iniHandler::put_FileName, false>(u"FileName", 0x68030000, K::put, 7, {u"INIFileName"}, 2101),
    describe<&_iniHandler::get_FileName>(u"FileName", 0x68030000, K::get, 8, {}, 2101),
    describe<&_iniHandler::GetValue>(u"GetValue", 0x60030001, K::method, 9,
                                     {u"Section", u"Key", u"DefaultValue"}, 2102, 2),
    describe<&_iniHandler::WriteValue>(u"WriteValue", 0x60030002, K::method, 10,
                                       {u"Section", u"Key", u"Value"}, 2103),
    describe<&_iniHandler::GetAllSections>(u"GetAllSections", 0x60030003, K::method, 11, {}, 2104),
    describe<&_iniHandler::GetAllKeys>(u"GetAllKeys", 0x60030004, K::method, 12, {u"Section"}, 2105),
    describe<&_iniHandler::DeleteSection>(u"DeleteSection", 0x60030005, K::method, 13, {u"Section"}, 2106),
    describe<&_iniHandler::DeleteKey>(u"DeleteKey", 0x60030006, K::method, 14, {u"Section", u"Key"}, 2107),
};

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

const Member collection_members[] = {
    describe<&_Collection::Item>(u"Item", DISPID_VALUE, K::method, 7, {u"Index"}),
    describe<&_Collection::Add, false>(u"Add", 1, K::method, 8, {u"Item", u"Key", u"Before", u"After"}, 0, 1),
    describe<&_Collection::Count>(u"Count", 2, K::method, 9, {}),
    describe<&_Collection::Remove, false>(u"Remove", 3, K::method, 10, {u"Index"}),
    describe<&_Collection::_NewEnum>(u"_NewEnum", DISPID_NEWENUM, K::method, 11, {}),
};

}  // namespace

const InterfaceTable& ini_handler_table()
{
    static const InterfaceTable table{u"_iniHandler", u"Vornhall.iniHandler", &IID__iniHandler, 2099,
                                      ini_handler_members};
    return table;
}

const InterfaceTable& registry_handler_table()
{
    static const InterfaceTable table{u"_RegistryHandler", u"Vornhall.RegistryHandler", &IID__RegistryHandler,
                                      0, registry_handler_members};
    return table;
}

const InterfaceTable& collection_table()
{
    static const InterfaceTable table{u"_Collection", u"Collection", &IID__Collection, 0, collection_members};
    return table;
}

}  // namespace vh
