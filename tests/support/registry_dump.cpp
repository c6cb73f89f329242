#include "tests/support/registry_dump.h"

#include <cstdio>
#include <vector>

namespace vh::test {

namespace {

// Appends one key's line and its values' lines; the names of its subkeys
// go to children.
void dump_key(HKEY root, const std::string& path, std::string& out, std::vector<std::string>& children)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    out += path + "\n";
    std::vector<char> name(16384);
    std::vector<BYTE> data(65536);
    for (DWORD i = 0;; ++i) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        if (RegEnumValueA(key, i, name.data(), &name_length, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        out += path + " | " + std::string(name.data(), name_length) + " | " + std::to_string(type) + " |";
        for (DWORD b = 0; b < size; ++b) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", data[b]);
            out += hex;
        }
        out += "\n";
    }
    for (DWORD i = 0;; ++i) {
        char child[256];
        DWORD length = sizeof child;
        if (RegEnumKeyExA(key, i, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        children.emplace_back(child, length);
    }
    RegCloseKey(key);
}

}  // namespace

std::string dump(HKEY root, const std::string& path)
{
    // Parents before their subkeys, subkeys in the service's order, without
    // recursion (trees may be hundreds of levels deep).
    std::string out;
    std::vector<std::string> pending{path};
    std::vector<std::string> children;
    while (!pending.empty()) {
        const std::string current = std::move(pending.back());
        pending.pop_back();
        children.clear();
        dump_key(root, current, out, children);
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            pending.push_back(current.empty() ? *child : current + "\\" + *child);
        }
    }
    return out;
}

}  // namespace vh::test
