// What the parts of the compiled client share: the count of checks, text
// conversions, and the owners of type descriptions.
#pragma once

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "automation/values.h"
#include "platform/win32.h"

namespace vh::client {

// Counts a check, and prints it when it fails.
void check(bool ok, const std::string& what);

// Wide text as ASCII for messages ("?" for anything else).
std::string narrow(const wchar_t* text);
std::string narrow(std::u16string_view text);
std::wstring wide(std::u16string_view text);
std::string hex(long value);

// The component's own owners of strings; these two cross between them and
// the wide strings of this client.
vh::Bstr bstr(const wchar_t* text);
std::wstring text(const vh::Bstr& value);

// Reads and releases the attributes of a type description.
struct TypeAttr {
    explicit TypeAttr(ITypeInfo* info) : m_info(info) { ok = SUCCEEDED(info->GetTypeAttr(&attr)); }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    ~TypeAttr()
    {
        if (ok) {
            m_info->ReleaseTypeAttr(attr);
        }
    }
    ITypeInfo* m_info;
    TYPEATTR* attr = nullptr;
    bool ok = false;
};

struct FuncDesc {
    FuncDesc(ITypeInfo* info, UINT index) : m_info(info) { ok = SUCCEEDED(info->GetFuncDesc(index, &desc)); }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    ~FuncDesc()
    {
        if (ok) {
            m_info->ReleaseFuncDesc(desc);
        }
    }
    ITypeInfo* m_info;
    FUNCDESC* desc = nullptr;
    bool ok = false;
};

// The type library built into the DLL against the member tables, and the
// DLL's resources and version information (type_library.cpp).
void check_type_library(const std::wstring& dll);
void check_resources(const std::wstring& dll);

// The counts of checks so far.
int passed_checks();
int failed_checks();

}  // namespace vh::client
