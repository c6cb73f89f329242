// vornhall: the command-line client of the component.
//
// It drives the component only through its public surface, the way a
// script host does: it loads the module, asks its class object for an
// object, and calls the members late-bound, by name, through IDispatch.
#include <dlfcn.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/win32.h"
#include "surface/interfaces.h"
#include "surface/values.h"

namespace {

using vh::Bstr;
using vh::ComPtr;
using vh::Variant;

// Exit codes.
constexpr int exit_ok = 0;
constexpr int exit_not_found = 1;
constexpr int exit_usage = 2;
constexpr int exit_failed = 3;

// A failure that ends the command: its message and exit code.
struct Failure {
    std::string message;
    int code = exit_failed;
};

std::string hex(HRESULT status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// ---- Loading the module -------------------------------------------------------------

using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);

std::filesystem::path module_path()
{
    if (const char* path = std::getenv("VORNHALL_MODULE"); path != nullptr && *path != '\0') {
        return path;
    }
    std::error_code ignored;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ignored);
    return self.parent_path() / "Vornhall.so";
}

ComPtr<IDispatch> create_object(const CLSID& clsid)
{
    const auto path = module_path();
    // The module stays loaded for the life of the process, as it would in a
    // script host that keeps its objects to the end.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        throw Failure{"cannot load the component " + path.string() + ": " + dlerror()};
    }
    auto get_class_object = reinterpret_cast<GetClassObject>(dlsym(module, "DllGetClassObject"));
    if (get_class_object == nullptr) {
        throw Failure{path.string() + " is not a component module"};
    }
    ComPtr<IClassFactory> factory;
    HRESULT status = get_class_object(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(status)) {
        throw Failure{"the component has no such class (" + hex(status) + ")"};
    }
    ComPtr<IDispatch> object;
    status = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(object.put()));
    if (FAILED(status)) {
        throw Failure{"cannot create the object (" + hex(status) + ")"};
    }
    return object;
}

// ---- Late-bound calls ---------------------------------------------------------------

Variant text_arg(const std::string& utf8) { return Variant::from_string(Bstr(vh::from_utf8(utf8))); }

// Calls a member by name with the given arguments (first argument first).
Variant call(IDispatch* object, const std::u16string& name, std::vector<Variant> args,
             WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET)
{
    std::u16string buffer = name;
    LPOLESTR names[1] = {reinterpret_cast<LPOLESTR>(buffer.data())};
    DISPID id = 0;
    HRESULT status = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(status)) {
        throw Failure{"the component has no member " + vh::to_utf8(name)};
    }
    // Arguments travel last one first.
    std::vector<VARIANT> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) {
        reversed.push_back(it->get());
    }
    DISPID put_id = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &put_id;
        params.cNamedArgs = 1;
    }
    Variant result;
    EXCEPINFO excep{};
    UINT arg_error = 0;
    status = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.put(), &excep, &arg_error);
    const Bstr description = Bstr::attach(excep.bstrDescription);
    const Bstr source = Bstr::attach(excep.bstrSource);
    const Bstr help = Bstr::attach(excep.bstrHelpFile);
    if (status == DISP_E_EXCEPTION) {
        throw Failure{vh::to_utf8(name) + " failed: " + vh::to_utf8(description.view()) + " (" + hex(excep.scode) +
                      ")"};
    }
    if (FAILED(status)) {
        throw Failure{vh::to_utf8(name) + " failed (" + hex(status) + ")"};
    }
    return result;
}

std::string to_text(const Variant& value)
{
    if (value.is_empty()) {
        return "";
    }
    return vh::to_utf8(value.to_string().view());
}

bool to_bool(const Variant& value) { return value.kind() == VT_BOOL && value.get().boolVal != VARIANT_FALSE; }

// Prints each item of a collection on a line of its own.
void print_collection(const Variant& value)
{
    if (value.kind() != VT_DISPATCH || value.get().pdispVal == nullptr) {
        throw Failure{"the component returned no collection"};
    }
    IDispatch* names = value.get().pdispVal;
    const Variant count = call(names, u"Count", {});
    for (LONG i = 1; i <= count.get().lVal; ++i) {
        std::printf("%s\n", to_text(call(names, u"Item", {Variant::from_int32(i)})).c_str());
    }
}

// ---- Verbs --------------------------------------------------------------------------

using Args = std::vector<std::string>;

struct Verb {
    const char* usage;
    const char* summary;
    std::size_t min_args;
    std::size_t max_args;
    std::function<int(const Args&)> run;
};

ComPtr<IDispatch> ini_file(const std::string& path)
{
    ComPtr<IDispatch> ini = create_object(vh::CLSID_iniHandler);
    call(ini.get(), u"FileName", {text_arg(path)}, DISPATCH_PROPERTYPUT);
    return ini;
}

int report_write(bool stored, const char* what)
{
    if (!stored) {
        std::fprintf(stderr, "vornhall: the profile service did not %s\n", what);
        return exit_failed;
    }
    return exit_ok;
}

const std::map<std::string, Verb>& ini_verbs()
{
    static const std::map<std::string, Verb> verbs{
        {"get",
         {"ini get FILE SECTION KEY [DEFAULT]", "print the value of an entry (DEFAULT when it is missing)", 3, 4,
          [](const Args& a) {
              auto ini = ini_file(a[0]);
              std::vector<Variant> args{text_arg(a[1]), text_arg(a[2])};
              if (a.size() > 3) {
                  args.push_back(text_arg(a[3]));
              }
              std::printf("%s\n", to_text(call(ini.get(), u"GetValue", std::move(args))).c_str());
              return exit_ok;
          }}},
        {"set",
         {"ini set FILE SECTION KEY VALUE", "write an entry, adding or replacing it", 4, 4,
          [](const Args& a) {
              auto ini = ini_file(a[0]);
              const auto stored = call(ini.get(), u"WriteValue", {text_arg(a[1]), text_arg(a[2]), text_arg(a[3])});
              return report_write(to_bool(stored), "store the entry");
          }}},
        {"delete-key",
         {"ini delete-key FILE SECTION KEY", "remove one entry", 3, 3,
          [](const Args& a) {
              auto ini = ini_file(a[0]);
              const auto removed = call(ini.get(), u"DeleteKey", {text_arg(a[1]), text_arg(a[2])});
              return report_write(to_bool(removed), "remove the entry");
          }}},
        {"delete-section",
         {"ini delete-section FILE SECTION", "remove a section with all its entries", 2, 2,
          [](const Args& a) {
              auto ini = ini_file(a[0]);
              const auto removed = call(ini.get(), u"DeleteSection", {text_arg(a[1])});
              return report_write(to_bool(removed), "remove the section");
          }}},
        {"sections",
         {"ini sections FILE", "list the section names, one per line", 1, 1,
          [](const Args& a) {
              auto ini = ini_file(a[0]);
              print_collection(call(ini.get(), u"GetAllSections", {}));
              return exit_ok;
          }}},
        {"keys",
         {"ini keys FILE SECTION", "list the key names of a section, one per line", 2, 2,
          [](const Args& a) {
              auto ini = ini_file(a[0]);
              print_collection(call(ini.get(), u"GetAllKeys", {text_arg(a[1])}));
              return exit_ok;
          }}},
    };
    return verbs;
}

// ---- Registry verbs -------------------------------------------------------------------

// A root key by name (HKCU or HKEY_CURRENT_USER, any case) or by number.
std::int32_t parse_root(const std::string& text)
{
    std::string upper;
    for (char c : text) {
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    static const std::map<std::string, std::uint32_t> roots{
        {"HKCR", 0x80000000u}, {"HKEY_CLASSES_ROOT", 0x80000000u}, {"HKCU", 0x80000001u},
        {"HKEY_CURRENT_USER", 0x80000001u}, {"HKLM", 0x80000002u}, {"HKEY_LOCAL_MACHINE", 0x80000002u},
        {"HKU", 0x80000003u}, {"HKEY_USERS", 0x80000003u},
    };
    if (const auto found = roots.find(upper); found != roots.end()) {
        return static_cast<std::int32_t>(found->second);
    }
    char* end = nullptr;
    const long long number = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || number < INT32_MIN || number > UINT32_MAX) {
        throw Failure{"\"" + text + "\" is no root key (HKCR, HKCU, HKLM, HKU or a number)", exit_usage};
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
}

ComPtr<IDispatch> registry() { return create_object(vh::CLSID_RegistryHandler); }

// The names of a listing, without its end entry.
std::vector<std::string> listed_names(const Variant& listing)
{
    std::vector<std::string> names;
    SAFEARRAY* array = listing.array();
    const std::int32_t last = vh::upper_bound(array, 1);
    for (LONG i = 0; i < last; ++i) {
        void* element = nullptr;
        vh::check_runtime(SafeArrayPtrOfIndex(array, &i, &element));
        if (listing.kind() == (VT_ARRAY | VT_BSTR)) {
            names.push_back(vh::to_utf8(Bstr::copy_of(*static_cast<BSTR*>(element)).view()));
        } else {
            names.push_back(to_text(Variant::copy_of(*static_cast<VARIANT*>(element))));
        }
    }
    return names;
}

// Runs CheckRegistryKey; a key that is missing or unreadable ends the command.
void require_key(IDispatch* handler, const Args& a)
{
    const LONG check = call(handler, u"CheckRegistryKey", {Variant::from_int32(parse_root(a[0])), text_arg(a[1])})
                           .get()
                           .lVal;
    if (check == 2) {
        throw Failure{"no key " + a[0] + "\\" + a[1], exit_not_found};
    }
    if (check != -1) {
        throw Failure{"cannot read " + a[0] + "\\" + a[1] + " (status " + std::to_string(check) + ")"};
    }
}

std::string describe_value(const Variant& value)
{
    switch (value.kind()) {
    case VT_I4:
        return std::to_string(value.get().lVal) + " (number)";
    case VT_BOOL:
        return std::string(value.get().boolVal != VARIANT_FALSE ? "true" : "false") + " (Boolean)";
    default:
        return to_text(value);
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

const std::map<std::string, Verb>& reg_verbs()
{
    static const std::map<std::string, Verb> verbs{
        {"check",
         {"reg check ROOT KEY", "tell whether a key can be opened for reading", 2, 2,
          [](const Args& a) {
              auto handler = registry();
              require_key(handler.get(), a);
              std::printf("%s\\%s can be read\n", a[0].c_str(), a[1].c_str());
              return exit_ok;
          }}},
        {"keys",
         {"reg keys ROOT KEY", "list the subkeys of a key, one per line", 2, 2,
          [](const Args& a) {
              auto handler = registry();
              require_key(handler.get(), a);
              for (const auto& name : listed_names(
                       call(handler.get(), u"EnumKeys", {Variant::from_int32(parse_root(a[0])), text_arg(a[1])}))) {
                  std::printf("%s\n", name.c_str());
              }
              return exit_ok;
          }}},
        {"values",
         {"reg values ROOT KEY", "list the values of a key with their data", 2, 2,
          [](const Args& a) {
              auto handler = registry();
              require_key(handler.get(), a);
              const Variant root = Variant::from_int32(parse_root(a[0]));
              for (const auto& name : listed_names(call(handler.get(), u"EnumValues", {root, text_arg(a[1])}))) {
                  const Variant value = call(handler.get(), u"ReadRegValue", {root, text_arg(a[1]), text_arg(name)});
                  std::printf("%s = %s\n", name.empty() ? "(unnamed)" : name.c_str(),
                              value.is_empty() ? "(of a type not read)" : describe_value(value).c_str());
              }
              return exit_ok;
          }}},
        {"read",
         {"reg read ROOT KEY NAME", "print a value (number, text or Boolean)", 3, 3,
          [](const Args& a) {
              auto handler = registry();
              const Variant value = call(handler.get(), u"ReadRegValue",
                                         {Variant::from_int32(parse_root(a[0])), text_arg(a[1]), text_arg(a[2])});
              if (value.is_empty()) {
                  throw Failure{"no value " + a[2] + " of a readable type under " + a[0] + "\\" + a[1],
                                exit_not_found};
              }
              std::printf("%s\n", value.kind() == VT_BOOL ? (value.get().boolVal != 0 ? "true" : "false")
                                                         : to_text(value).c_str());
              return exit_ok;
          }}},
        {"write",
         {"reg write ROOT KEY NAME --number|--text|--bool DATA",
          "write a value, creating the key when it is missing", 5, 5,
          [](const Args& a) {
              auto handler = registry();
              const Variant outcome =
                  call(handler.get(), u"WriteRegValue",
                       {Variant::from_int32(parse_root(a[0])), text_arg(a[1]), text_arg(a[2]), typed_value(a[3], a[4])});
              if (!to_text(outcome).empty()) {
                  throw Failure{to_text(outcome)};
              }
              return exit_ok;
          }}},
        {"delete-value",
         {"reg delete-value ROOT KEY NAME", "remove one value", 3, 3,
          [](const Args& a) {
              auto handler = registry();
              call(handler.get(), u"DeleteValue",
                   {Variant::from_int32(parse_root(a[0])), text_arg(a[1]), text_arg(a[2])});
              return exit_ok;
          }}},
        {"delete-all-values",
         {"reg delete-all-values ROOT KEY", "remove every value of a key, keeping the key", 2, 2,
          [](const Args& a) {
              auto handler = registry();
              call(handler.get(), u"DeleteAllValues", {Variant::from_int32(parse_root(a[0])), text_arg(a[1])});
              return exit_ok;
          }}},
        {"delete-key",
         {"reg delete-key ROOT KEY", "remove a key with everything below it", 2, 2,
          [](const Args& a) {
              auto handler = registry();
              call(handler.get(), u"DeleteKey", {Variant::from_int32(parse_root(a[0])), text_arg(a[1])});
              return exit_ok;
          }}},
        {"protect",
         {"reg protect ROOT KEY none|read|write|all",
          "make a key refuse reading, writing or both (none allows all)", 3, 3,
          [](const Args& a) {
              static const std::map<std::string, DWORD> refusals{
                  {"none", 0}, {"read", VH_KEY_DENY_READ}, {"write", VH_KEY_DENY_WRITE},
                  {"all", VH_KEY_DENY_READ | VH_KEY_DENY_WRITE}};
              const auto found = refusals.find(a[2]);
              if (found == refusals.end()) {
                  throw Failure{"refuse none, read, write or all", exit_usage};
              }
              const HKEY root = reinterpret_cast<HKEY>(static_cast<LONG_PTR>(parse_root(a[0])));
              const LSTATUS status = VhRegSetKeyAccess(root, a[1].c_str(), found->second);
              if (status != ERROR_SUCCESS) {
                  throw Failure{"cannot protect " + a[0] + "\\" + a[1] + " (status " + std::to_string(status) + ")",
                                status == ERROR_FILE_NOT_FOUND ? exit_not_found : exit_failed};
              }
              return exit_ok;
          }}},
    };
    return verbs;
}

// ---- Command line ---------------------------------------------------------------------

struct Group {
    const char* name;
    const char* title;
    const std::map<std::string, Verb>& (*verbs)();
};

const Group groups[] = {
    {"ini", "Profile (INI) files, through the iniHandler class", &ini_verbs},
    {"reg", "Registry keys and values, through the RegistryHandler class", &reg_verbs},
};

void print_help(std::FILE* out)
{
    std::fprintf(out, "usage: vornhall <group> <verb> [arguments]\n");
    for (const Group& group : groups) {
        std::fprintf(out, "\n%s:\n", group.title);
        for (const auto& [name, verb] : group.verbs()) {
            std::fprintf(out, "  vornhall %-52s %s\n", verb.usage, verb.summary);
        }
    }
    std::fprintf(out,
                 "\n"
                 "ROOT is HKCR, HKCU, HKLM or HKU (or HKEY_CURRENT_USER and so on); KEY is a path\n"
                 "with \"\\\" between its parts.\n"
                 "Exit codes: 0 success, 1 not found, 2 wrong usage, 3 the operation failed.\n"
                 "The component module is Vornhall.so beside this program, or $VORNHALL_MODULE;\n"
                 "the registry store is $VORNHALL_REGISTRY, else $XDG_DATA_HOME/vornhall/registry.db.\n");
}

int run(const Args& words)
{
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        print_help(words.empty() ? stderr : stdout);
        return words.empty() ? exit_usage : exit_ok;
    }
    const Group* group = nullptr;
    for (const Group& g : groups) {
        group = words[0] == g.name ? &g : group;
    }
    if (group == nullptr || words.size() < 2) {
        std::fprintf(stderr, "vornhall: unknown command \"%s\" (see vornhall --help)\n", words[0].c_str());
        return exit_usage;
    }
    const auto& verbs = group->verbs();
    const auto found = verbs.find(words[1]);
    if (found == verbs.end()) {
        std::fprintf(stderr, "vornhall: unknown verb \"%s %s\" (see vornhall --help)\n", group->name,
                     words[1].c_str());
        return exit_usage;
    }
    const Args args(words.begin() + 2, words.end());
    if (args.size() < found->second.min_args || args.size() > found->second.max_args) {
        std::fprintf(stderr, "usage: vornhall %s\n", found->second.usage);
        return exit_usage;
    }
    return found->second.run(args);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(Args(argv + 1, argv + argc));
    } catch (const Failure& failure) {
        std::fprintf(stderr, "vornhall: %s\n", failure.message.c_str());
        return failure.code;
    } catch (const vh::Error& error) {
        std::fprintf(stderr, "vornhall: failed (%s)\n", hex(error.status()).c_str());
        return exit_failed;
    }
}
