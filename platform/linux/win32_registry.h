// The registry service as the Linux build sees it: the ANSI registry
// functions of advapi32, served by the stand-in over a SQLite store.
//
// Handles are 32-bit numbers carried in the pointer type HKEY, as on Windows;
// the four predefined roots have the values 0x80000000 to 0x80000003.
#pragma once

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// RegSetValueExA's answer to a null data pointer with a non-zero size.
constexpr DWORD ERROR_NOACCESS = 998;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
// A key that lasts until the system starts again; its subkeys must be so too.
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD ERROR_CHILD_MUST_BE_VOLATILE = 1021;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

VH_PLATFORM_API LSTATUS RegOpenKeyExA(HKEY parent, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result);
VH_PLATFORM_API LSTATUS RegCreateKeyExA(HKEY parent, LPCSTR subkey, DWORD reserved, LPSTR class_text,
                                        DWORD options, REGSAM access, const SECURITY_ATTRIBUTES* security,
                                        PHKEY result, LPDWORD disposition);
VH_PLATFORM_API LSTATUS RegCloseKey(HKEY key);
VH_PLATFORM_API LSTATUS RegDeleteKeyA(HKEY parent, LPCSTR subkey);
VH_PLATFORM_API LSTATUS RegDeleteValueA(HKEY key, LPCSTR name);
VH_PLATFORM_API LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length,
                                      LPDWORD reserved, LPSTR class_text, LPDWORD class_length,
                                      PFILETIME last_write);
VH_PLATFORM_API LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length,
                                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_length);
VH_PLATFORM_API LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                         LPDWORD data_length);
VH_PLATFORM_API LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                       DWORD size);

// ---- Administration of the stand-in store (not Windows functions) -----------------
//
// Per-key access rights: a key may refuse reading, writing, or both, to this
// user. An open asking for KEY_READ needs read; KEY_ALL_ACCESS needs both.

constexpr DWORD VH_KEY_DENY_READ = 0x1;
constexpr DWORD VH_KEY_DENY_WRITE = 0x2;

// Sets the refusals of the key subkey below parent (0 allows everything).
VH_PLATFORM_API LSTATUS VhRegSetKeyAccess(HKEY parent, LPCSTR subkey, DWORD denied);
// Reads them back.
VH_PLATFORM_API LSTATUS VhRegGetKeyAccess(HKEY parent, LPCSTR subkey, LPDWORD denied);
// The number of handles this process holds open (roots excluded).
VH_PLATFORM_API DWORD VhRegOpenHandleCount();
// Selects which of two registry states the process's calls use from now on:
// 0, the usual one, or 1, a second connection to the store with a memory of
// reads and a table of handles of its own, as another process would have.
// For tests that need two processes' views of one store in one process.
// ERROR_INVALID_PARAMETER for any other number.
VH_PLATFORM_API LSTATUS VhRegSelectState(DWORD state);
