// Export and import of .reg text against the registry (the text itself is
// reg_text.h's).
//
// Export walks the tree parents first and hands each key with its values to
// the codec. Import has the codec parse the whole text first, so that a
// malformed file changes nothing, and then applies it section by section.
#include "cli/reg_file.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/key_handle.h"

namespace vh {

namespace {

constexpr std::size_t value_name_capacity = 65536;  // 16,383 UTF-16 units of at most 3 bytes, and the zero
constexpr std::size_t key_name_capacity = 1024;     // 255 UTF-16 units likewise

// The service's status with its meaning where it is a common one.
std::string describe(LSTATUS status)
{
    std::string number = "status " + std::to_string(status);
    switch (static_cast<DWORD>(status)) {
        case ERROR_FILE_NOT_FOUND:
            return number + ": not found";
        case ERROR_ACCESS_DENIED:
            return number + ": access denied";
        case ERROR_KEY_DELETED:
            return number + ": the key was removed meanwhile";
        case ERROR_CANTOPEN:
            return number + ": the registry store cannot be opened";
        case ERROR_BADDB:
            return number + ": the registry store is not a Vornhall registry store, and was left as it was";
        default:
            return number;
    }
}

// A refusal from the service while doing `what` (which names the key).
[[noreturn]] void fail(const std::string& what, LSTATUS status, std::size_t line = 0)
{
    throw RegFileError(what + " (" + describe(status) + ")", line, status);
}

// Every value of a key open for reading, in the service's order.
std::vector<RegValue> read_values(HKEY key, const std::string& key_path_text)
{
    std::vector<RegValue> values;
    std::string name(value_name_capacity, '\0');
    std::string data(256, '\0');
    for (DWORD index = 0;;) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        const LSTATUS status = RegEnumValueA(key, index, name.data(), &name_length, nullptr, &type,
                                             reinterpret_cast<BYTE*>(data.data()), &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            return values;
        }
        if (status == ERROR_MORE_DATA && size > data.size()) {
            data.resize(size);  // and read the same value again
            continue;
        }
        if (status != ERROR_SUCCESS) {
            fail("cannot read the values of " + key_path_text, status);
        }
        values.push_back(RegValue{name.substr(0, name_length), type, data.substr(0, size)});
        ++index;
    }
}

// The names of a key's subkeys, in the service's order.
std::vector<std::string> subkey_names(HKEY key, const std::string& key_path_text)
{
    std::vector<std::string> names;
    char name[key_name_capacity];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        const LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            return names;
        }
        if (status != ERROR_SUCCESS) {
            fail("cannot list the subkeys of " + key_path_text, status);
        }
        names.emplace_back(name, length);
    }
}

// Calls `visit` for root\path and every key below it, parents before their
// subkeys, with the key's path below root and a handle open for reading.
void walk_tree(HKEY root, const std::string& path,
               const std::function<void(const std::string& path, HKEY key)>& visit)
{
    std::vector<std::string> pending{path};
    while (!pending.empty()) {
        const std::string current = std::move(pending.back());
        pending.pop_back();
        const std::string text = key_text(root, current);
        KeyHandle key;
        const LSTATUS status = RegOpenKeyExA(root, current.c_str(), 0, KEY_READ, key.slot());
        if (status != ERROR_SUCCESS) {
            fail((status == ERROR_FILE_NOT_FOUND ? "no key " : "cannot read ") + text, status);
        }
        visit(current, key.get());
        const std::vector<std::string> children = subkey_names(key.get(), text);
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            pending.push_back(current.empty() ? *child : current + "\\" + *child);
        }
    }
}

// A path with its empty parts (doubled, leading or trailing "\") dropped.
std::string normalized_path(const std::string& path)
{
    std::string result;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('\\', start), path.size());
        if (end > start) {
            result += (result.empty() ? "" : "\\") + path.substr(start, end - start);
        }
        start = end + 1;
    }
    return result;
}

// Removes root\path with everything below it; false when it did not exist.
bool remove_tree(HKEY root, const std::string& path, std::size_t line)
{
    {
        KeyHandle probe;
        if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, probe.slot()) == ERROR_FILE_NOT_FOUND) {
            return false;
        }
    }
    std::vector<std::string> keys;
    walk_tree(root, path, [&](const std::string& key_path, HKEY) { keys.push_back(key_path); });
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {  // children before their parents
        const LSTATUS status = RegDeleteKeyA(root, key->c_str());
        if (status != ERROR_SUCCESS) {
            fail("line " + std::to_string(line) + ": cannot remove " + key_text(root, *key), status, line);
        }
    }
    return true;
}

// Applies one section; counts what it changed into `result`.
void apply(const RegSection& section, ImportResult& result)
{
    if (section.remove) {
        if (remove_tree(section.root, section.path, section.line)) {
            ++result.removed_keys;
        }
        return;
    }
    const std::string at = "line " + std::to_string(section.line) + ": ";
    KeyHandle key;
    LSTATUS status = RegCreateKeyExA(section.root, section.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, key.slot(), nullptr);
    if (status != ERROR_SUCCESS) {
        fail(at + "cannot create " + section.key_text, status, section.line);
    }
    ++result.keys;
    for (const RegValueChange& change : section.values) {
        const std::string value = "line " + std::to_string(change.line) + ": cannot " +
                                  (change.remove ? "remove" : "set") + " value \"" + change.name + "\" of " +
                                  section.key_text;
        if (change.remove) {
            status = RegDeleteValueA(key.get(), change.name.c_str());
            if (status == ERROR_SUCCESS) {
                ++result.removed_values;
            } else if (status != ERROR_FILE_NOT_FOUND) {
                fail(value, status, change.line);
            }
        } else {
            // The bytes exactly as the file gives them: RegSetValueExA takes
            // a zero after a string whose last byte is not zero for its lost
            // terminator, so a byte that is not zero follows them.
            std::string bytes = change.data;
            bytes.push_back('\x01');
            status = RegSetValueExA(key.get(), change.name.c_str(), 0, change.type,
                                    reinterpret_cast<const BYTE*>(bytes.data()),
                                    static_cast<DWORD>(change.data.size()));
            if (status != ERROR_SUCCESS) {
                fail(value, status, change.line);
            }
            ++result.values;
        }
    }
}

}  // namespace

std::string export_tree(HKEY root, const std::string& path, const RegFileProgress& progress)
{
    if (root_name(root) == nullptr) {
        throw RegFileError("only the four predefined root keys can be exported", 0, ERROR_INVALID_HANDLE);
    }
    std::string out = reg_text_header();
    std::size_t keys = 0;
    walk_tree(root, normalized_path(path), [&](const std::string& key_path, HKEY key) {
        append_reg_section(out, root, key_path, read_values(key, key_text(root, key_path)));
        if (progress) {
            progress(++keys);
        }
    });
    return out;
}

ImportResult import_text(const std::string& text, const RegFileProgress& progress)
{
    const std::vector<RegSection> sections = parse_reg_text(text);
    ImportResult result;
    std::size_t keys = 0;
    for (const RegSection& section : sections) {
        apply(section, result);
        if (progress) {
            progress(++keys);
        }
    }
    return result;
}

}  // namespace vh
