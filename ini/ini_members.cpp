#include "ini/ini_members.h"

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

}  // namespace

const InterfaceTable& ini_handler_table()
{
    static const InterfaceTable table{u"_iniHandler", u"Vornhall.iniHandler", &IID__iniHandler, 2099,
                                      ini_handler_members};
    return table;
}

}  // namespace vh
