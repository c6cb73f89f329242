// What the registry tests share: keys and values made and read through the
// ANSI registry functions, and the store the stand-in uses.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"
#include "tests/support/environment.h"

namespace vh::test {

inline HKEY create(HKEY parent, const char* path, DWORD* disposition = nullptr)
{
    HKEY key = nullptr;
    const LSTATUS status =
        RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition);
    EXPECT_EQ(status, ERROR_SUCCESS) << path;
    return key;
}

inline void set_bytes(HKEY key, const char* name, DWORD type, std::string_view bytes)
{
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS)
        << name;
}

// A string value with its terminating zero.
inline void set_text(HKEY key, const char* name, const char* text)
{
    set_bytes(key, name, REG_SZ, std::string_view(text, std::strlen(text) + 1));
}

// The text of a REG_SZ value ("<status N>" when it cannot be read).
inline std::string text_of(HKEY key, const char* name)
{
    char buffer[256] = {};
    DWORD size = sizeof(buffer) - 1;
    const LSTATUS status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    return status == ERROR_SUCCESS ? std::string(buffer) : "<status " + std::to_string(status) + ">";
}

inline std::vector<std::string> subkey_names(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[300];
        DWORD length = sizeof(name);
        const LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, length);
    }
}

// Removes every subkey of a key, deepest first.
inline void delete_tree(HKEY key)
{
    char name[300];
    DWORD length = sizeof(name);
    while (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        HKEY child = nullptr;
        ASSERT_EQ(RegOpenKeyExA(key, name, 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
        delete_tree(child);
        RegCloseKey(child);
        ASSERT_EQ(RegDeleteKeyA(key, name), ERROR_SUCCESS) << name;
        length = sizeof(name);
    }
}

// The stand-in reads its store from the file this names; each test gets its own.
inline void use_store(const std::string& file)
{
    vh::test::set_environment("VORNHALL_REGISTRY", file.c_str());
}

}  // namespace vh::test
