// iniHandler's member table, which late binding, the command-line client
// and the check against the Windows type library read.
#pragma once

#include "automation/members.h"
#include "ini/ini_interface.h"

namespace vh {

const InterfaceTable& ini_handler_table();

template <>
inline const InterfaceTable& table_of<_iniHandler>()
{
    return ini_handler_table();
}

}  // namespace vh
