// The reg verbs: a RegistryHandler for the members, and the registry service
// itself for what no member does (access rights, export and import).
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli/client.h"
#include "cli/reg_file.h"
#include "cli/verbs.h"
#include "platform/key_handle.h"

namespace vh::cli {

namespace {

// A root key by name (HKCU or HKEY_CURRENT_USER, any case) or by number.
std::int32_t parse_root(const std::string& text)
{
    std::string upper;
    for (char c : text) {
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    for (const RootKey& root : root_keys) {
        for (const char* name : {root.abbreviation, root.name}) {
            if (upper == name) {
                return static_cast<std::int32_t>(root.number);
            }
        }
    }
    char* end = nullptr;
    const long long number = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || number < INT32_MIN || number > UINT32_MAX) {
        throw Failure{"\"" + text + "\" is no root key (HKCR, HKCU, HKLM, HKU or a number)", exit_usage};
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
}

HKEY root_handle(const std::string& text)
{
    return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(parse_root(text)));
}

Variant root_arg(const std::string& text)
{
    return Variant::from_int32(parse_root(text));
}

ComPtr<IDispatch> registry()
{
    return create_object(u"Vornhall.RegistryHandler");
}

std::string where(const Args& a)
{
    return a[0] + "\\" + a[1];
}

// The names of a listing, without its end entry.
std::vector<std::string> listed_names(const Variant& listing)
{
    std::vector<std::string> names;
    SAFEARRAY* array = listing.array();
    const std::int32_t last = upper_bound(array, 1);
    for (LONG i = 0; i < last; ++i) {
        void* element = nullptr;
        check_runtime(SafeArrayPtrOfIndex(array, &i, &element));
        if (listing.kind() == (VT_ARRAY | VT_BSTR)) {
            names.push_back(to_utf8(Bstr::copy_of(*static_cast<BSTR*>(element)).view()));
        } else {
            names.push_back(to_text(Variant::copy_of(*static_cast<VARIANT*>(element))));
        }
    }
    return names;
}

// Runs CheckRegistryKey; a key that is missing or unreadable ends the command.
void require_key(IDispatch* handler, const Args& a)
{
    const LONG check = call(handler, u"CheckRegistryKey", {root_arg(a[0]), text_arg(a[1])}).get().lVal;
    if (check == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
        throw Failure{"no key " + where(a), exit_not_found};
    }
    if (check != -1) {
        throw Failure{"cannot read " + where(a) + " (status " + std::to_string(check) + ")"};
    }
}

// A value read back: its plain form, and its JSON form.
std::pair<std::string, std::string> describe(const Variant& value)
{
    switch (value.kind()) {
        case VT_I4:
            return {std::to_string(value.get().lVal), std::to_string(value.get().lVal)};
        case VT_BOOL: {
            const char* text = value.get().boolVal != VARIANT_FALSE ? "true" : "false";
            return {text, text};
        }
        case VT_EMPTY:
            return {"", "null"};
        default:
            return {to_text(value), json_string(to_text(value))};
    }
}

const char* kind_name(const Variant& value)
{
    switch (value.kind()) {
        case VT_I4:
            return "number";
        case VT_BOOL:
            return "boolean";
        case VT_EMPTY:
            return "unread";
        default:
            return "text";
    }
}

Variant typed_value(const std::string& kind, const std::string& text)
{
    if (kind == "--text") {
        return text_arg(text);
    }
    if (kind == "--number") {
        char* end = nullptr;
        const long long number = std::strtoll(text.c_str(), &end, 0);
        if (text.empty() || *end != '\0' || number < INT32_MIN || number > UINT32_MAX) {
            throw Failure{"\"" + text + "\" is no 32-bit number", exit_usage};
        }
        return Variant::from_int32(static_cast<std::int32_t>(static_cast<std::uint32_t>(number)));
    }
    if (kind == "--bool") {
        if (text == "true" || text == "1" || text == "yes") {
            return Variant::from_bool(true);
        }
        if (text == "false" || text == "0" || text == "no") {
            return Variant::from_bool(false);
        }
        throw Failure{"\"" + text + "\" is no Boolean (true or false)", exit_usage};
    }
    throw Failure{"the kind must be --number, --text or --bool", exit_usage};
}

// The number of keys in a tree (the key itself included), for progress. A
// list of keys still to visit, not recursion: the tree's depth is the
// store's, not the client's stack's.
std::size_t count_keys(HKEY root, const std::string& path)
{
    std::size_t count = 0;
    std::vector<std::string> pending{path};
    while (!pending.empty()) {
        const std::string current = std::move(pending.back());
        pending.pop_back();
        KeyHandle key;
        if (RegOpenKeyExA(root, current.c_str(), 0, KEY_READ, key.slot()) != ERROR_SUCCESS) {
            continue;
        }
        ++count;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD length = sizeof name;
            if (RegEnumKeyExA(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            const std::string child(name, length);
            pending.push_back(current.empty() ? child : current + "\\" + child);
        }
    }
    return count;
}

std::string read_all(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw Failure{"cannot read " + file, exit_not_found};
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Runs an export or import, its errors turned into the client's failures.
template <class Step>
auto reg_file_step(Step&& step)
{
    try {
        return step();
    } catch (const RegFileError& e) {
        throw Failure{e.what(), e.status() == ERROR_FILE_NOT_FOUND ? exit_not_found : exit_failed};
    }
}

// reg values: every value of a key with its data.
int list_values(const Args& a, const Output& out)
{
    auto handler = registry();
    require_key(handler.get(), a);
    std::vector<std::string> plain;
    std::vector<std::string> json;
    for (const auto& name :
         listed_names(call(handler.get(), u"EnumValues", {root_arg(a[0]), text_arg(a[1])}))) {
        const Variant value =
            call(handler.get(), u"ReadRegValue", {root_arg(a[0]), text_arg(a[1]), text_arg(name)});
        const auto [text, json_value] = describe(value);
        const std::string shown = value.is_empty()          ? "(of a type not read)"
                                  : value.kind() == VT_BSTR ? text
                                                            : text + " (" + kind_name(value) + ")";
        plain.push_back((name.empty() ? std::string("(unnamed)") : name) + " = " + shown);
        json.push_back("{\"name\": " + json_string(name) + ", \"kind\": \"" + kind_name(value) +
                       "\", \"value\": " + json_value + "}");
    }
    out.records(plain, json);
    return exit_ok;
}

// reg protect: the access a key refuses.
int protect_key(const Args& a, const Output& out)
{
    static const std::map<std::string, DWORD> refusals{{"none", 0},
                                                       {"read", VH_KEY_DENY_READ},
                                                       {"write", VH_KEY_DENY_WRITE},
                                                       {"all", VH_KEY_DENY_READ | VH_KEY_DENY_WRITE}};
    const auto found = refusals.find(a[2]);
    if (found == refusals.end()) {
        throw Failure{"refuse none, read, write or all", exit_usage};
    }
    const LSTATUS status = VhRegSetKeyAccess(root_handle(a[0]), a[1].c_str(), found->second);
    if (status != ERROR_SUCCESS) {
        throw Failure{"cannot protect " + where(a) + " (status " + std::to_string(status) + ")",
                      status == ERROR_FILE_NOT_FOUND ? exit_not_found : exit_failed};
    }
    out.done();
    return exit_ok;
}

// reg export: a key tree as a .reg file.
int export_file(const Args& a, const Output& out)
{
    const std::string text = reg_file_step([&] {
        return export_tree(root_handle(a[0]), a[1], [&](std::size_t keys) {
            out.progress("exported " + std::to_string(keys) + " keys ...");
        });
    });
    out.progress_end();
    if (a[2] == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return exit_ok;
    }
    std::ofstream file(a[2], std::ios::binary | std::ios::trunc);
    file << text;
    if (!file.flush()) {
        throw Failure{"cannot write " + a[2]};
    }
    out.done();
    return exit_ok;
}

// reg import: a .reg file applied.
int import_file(const Args& a, const Output& out)
{
    const std::string text = read_all(a[0]);
    const ImportResult done = reg_file_step([&] {
        return import_text(
            text, [&](std::size_t keys) { out.progress("imported " + std::to_string(keys) + " keys ..."); });
    });
    out.progress_end();
    out.result("imported " + std::to_string(done.keys) + " keys and " + std::to_string(done.values) +
                   " values; removed " + std::to_string(done.removed_keys) + " key trees and " +
                   std::to_string(done.removed_values) + " values",
               "{\"keys\": " + std::to_string(done.keys) + ", \"values\": " + std::to_string(done.values) +
                   ", \"removed_keys\": " + std::to_string(done.removed_keys) +
                   ", \"removed_values\": " + std::to_string(done.removed_values) + "}");
    return exit_ok;
}

}  // namespace

const VerbTable& reg_verbs()
{
    static const VerbTable verbs{
        {"check",
         {"reg check ROOT KEY", "tell whether a key can be opened for reading", 2, 2,
          [](const Args& a, const Output& out) {
              auto handler = registry();
              require_key(handler.get(), a);
              out.result(where(a) + " can be read", "true");
              return exit_ok;
          }}},
        {"keys",
         {"reg keys ROOT KEY", "list the subkeys of a key, one per line", 2, 2,
          [](const Args& a, const Output& out) {
              auto handler = registry();
              require_key(handler.get(), a);
              out.names(listed_names(call(handler.get(), u"EnumKeys", {root_arg(a[0]), text_arg(a[1])})));
              return exit_ok;
          }}},
        {"values", {"reg values ROOT KEY", "list the values of a key with their data", 2, 2, &list_values}},
        {"read",
         {"reg read ROOT KEY NAME", "print a value (number, text or Boolean)", 3, 3,
          [](const Args& a, const Output& out) {
              auto handler = registry();
              const Variant value =
                  call(handler.get(), u"ReadRegValue", {root_arg(a[0]), text_arg(a[1]), text_arg(a[2])});
              if (value.is_empty()) {
                  throw Failure{"no value " + a[2] + " of a readable type under " + where(a), exit_not_found};
              }
              const auto [text, json_value] = describe(value);
              out.result(text, json_value);
              return exit_ok;
          }}},
        {"write",
         {"reg write ROOT KEY NAME --number|--text|--bool DATA",
          "write a value, creating the key when it is missing", 5, 5,
          [](const Args& a, const Output& out) {
              auto handler = registry();
              const Variant outcome =
                  call(handler.get(), u"WriteRegValue",
                       {root_arg(a[0]), text_arg(a[1]), text_arg(a[2]), typed_value(a[3], a[4])});
              if (!to_text(outcome).empty()) {
                  throw Failure{to_text(outcome)};
              }
              out.done();
              return exit_ok;
          }}},
        {"delete-value",
         {"reg delete-value ROOT KEY NAME", "remove one value", 3, 3,
          [](const Args& a, const Output& out) {
              auto handler = registry();
              call(handler.get(), u"DeleteValue", {root_arg(a[0]), text_arg(a[1]), text_arg(a[2])});
              out.done();
              return exit_ok;
          }}},
        {"delete-all-values",
         {"reg delete-all-values ROOT KEY", "remove every value of a key, keeping the key", 2, 2,
          [](const Args& a, const Output& out) {
              auto handler = registry();
              call(handler.get(), u"DeleteAllValues", {root_arg(a[0]), text_arg(a[1])});
              out.done();
              return exit_ok;
          }}},
        {"delete-key",
         {"reg delete-key ROOT KEY", "remove a key with everything below it", 2, 2,
          [](const Args& a, const Output& out) {
              auto handler = registry();
              const std::size_t keys = count_keys(root_handle(a[0]), a[1]);
              if (keys > 100) {
                  out.progress("deleting " + std::to_string(keys) + " keys below " + where(a) + " ...");
              }
              call(handler.get(), u"DeleteKey", {root_arg(a[0]), text_arg(a[1])});
              out.progress_end();
              out.done();
              return exit_ok;
          }}},
        {"protect",
         {"reg protect ROOT KEY none|read|write|all",
          "make a key refuse reading, writing or both (none allows all)", 3, 3, &protect_key}},
        {"export",
         {"reg export ROOT KEY FILE", "write a key tree to a .reg file (- for standard output)", 3, 3,
          &export_file}},
        {"import",
         {"reg import FILE", "apply a .reg file: create keys, set and remove values", 1, 1, &import_file}},
    };
    return verbs;
}

}  // namespace vh::cli
