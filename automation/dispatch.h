// Late binding from the member tables: names to dispatch identifiers, and
// Invoke with argument counting, conversion to the declared kinds,
// by-reference arguments with write-back, omitted optional arguments and
// named arguments.
#pragma once

#include "automation/members.h"
#include "platform/win32.h"

namespace vh::dispatch {

// GetIDsOfNames: names[0] is a member, the others its parameters; compared
// without regard to case.
HRESULT ids_of_names(const InterfaceTable& table, REFIID riid, LPOLESTR* names, UINT count,
                     DISPID* ids) noexcept;

// Invoke on self, whose interface the table describes. A member that fails
// gives DISP_E_EXCEPTION with its status and a description in *excep (its
// status itself when excep is null).
HRESULT invoke(const InterfaceTable& table, IDispatch* self, DISPID id, REFIID riid, WORD flags,
               DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* arg_error) noexcept;

// Type information for browsers and marshalling, where the platform has it.
HRESULT type_info_count(const InterfaceTable& table, UINT* count) noexcept;
HRESULT type_info(const InterfaceTable& table, UINT index, LCID lcid, ITypeInfo** info) noexcept;

}  // namespace vh::dispatch
