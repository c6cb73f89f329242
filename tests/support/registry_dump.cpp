#include "tests/support/registry_dump.h"

#include <cstdio>
#include <vector>

namespace vh::test {

namespace {

void dump_key(HKEY root, const std::string& path, std::string& out)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    out += path + "\n";
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD name_length = sizeof name;
        DWORD type = 0;
        std::vector<BYTE> data(65536);
        DWORD size = static_cast<DWORD>(data.size());
        if (RegEnumValueA(key, i, name, &name_length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
            break;
        }
        out += path + " | " + std::string(name, name_length) + " | " + std::to_string(type) + " |";
        for (DWORD b = 0; b < size; ++b) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", data[b]);
            out += hex;
        }
        out += "\n";
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        children.emplace_back(name, length);
    }
    RegCloseKey(key);
    for (const auto& child : children) {
        dump_key(root, path.empty() ? child : path + "\\" + child, out);
    }
}

}  // namespace

std::string dump(HKEY root, const std::string& path)
{
    std::string out;
    dump_key(root, path, out);
    return out;
}

}  // namespace vh::test
