#include "bench/workloads.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>
#include <utility>

#include "automation/late_bound.h"
#include "automation/values.h"
#include "module/vornhall.h"
#include "platform/key_handle.h"

namespace vh::bench {
namespace {

constexpr HKEYS user = HKEYS::current_user;
const std::string base_key = "Software\\Vornhall bench";

void check(HRESULT status, const std::string& what)
{
    if (FAILED(status)) {
        char code[24];
        snprintf(code, sizeof code, "%08lX", static_cast<unsigned long>(status));
        throw WorkloadError(what + " failed with 0x" + code);
    }
}

void check_status(LSTATUS status, const std::string& what)
{
    if (status != ERROR_SUCCESS) {
        throw WorkloadError(what + " failed with status " + std::to_string(status));
    }
}

std::u16string wide(const std::string& text)
{
    return from_utf8(text);
}

// ---- Data -----------------------------------------------------------------------------

// A profile of the given number of entries, a hundred to a section: keys
// k0.. in sections s0..; the last entry is the one the workloads ask for.
// Lines end with CR LF, or with the given line break.
struct ProfileShape {
    std::string last_section;
    std::string last_key;
};

ProfileShape write_profile(const std::filesystem::path& path, std::int64_t entries,
                           const char* line_break = "\r\n")
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ProfileShape shape;
    for (std::int64_t i = 0; i < entries; ++i) {
        if (i % 100 == 0) {
            shape.last_section = "s" + std::to_string(i / 100);
            out << '[' << shape.last_section << ']' << line_break;
        }
        shape.last_key = "k" + std::to_string(i);
        out << shape.last_key << "=value number " << i << line_break;
    }
    if (!out.flush()) {
        throw WorkloadError("writing " + path.string() + " failed");
    }
    return shape;
}

// Creates (or opens) parent\path into `key`.
void create_key(KeyHandle& key, HKEY parent, const std::string& path)
{
    check_status(
        RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.slot(), nullptr),
        "RegCreateKeyExA " + path);
}

// Values v0..v(count-1), each a number.
void fill_values(const std::string& path, std::int64_t count)
{
    KeyHandle key;
    create_key(key, HKEY_CURRENT_USER, path);
    for (std::int64_t i = 0; i < count; ++i) {
        const DWORD number = static_cast<DWORD>(i);
        check_status(RegSetValueExA(key.get(), ("v" + std::to_string(i)).c_str(), 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&number), sizeof number),
                     "RegSetValueExA");
    }
}

// Keys k0..k(count-1) below path.
void fill_subkeys(const std::string& path, std::int64_t count)
{
    KeyHandle key;
    create_key(key, HKEY_CURRENT_USER, path);
    for (std::int64_t i = 0; i < count; ++i) {
        KeyHandle child;
        create_key(child, key.get(), "k" + std::to_string(i));
    }
}

// A chain of count keys, each the only subkey of the one above.
void fill_chain(const std::string& path, std::int64_t count)
{
    auto key = std::make_unique<KeyHandle>();
    create_key(*key, HKEY_CURRENT_USER, path);
    for (std::int64_t i = 1; i < count; ++i) {
        auto below = std::make_unique<KeyHandle>();
        create_key(*below, key->get(), "k");
        key = std::move(below);
    }
}

// ---- Late binding ---------------------------------------------------------------------

// One late-bound call, its arguments made once: the way a script host calls
// a member it has looked up.
class BoundCall {
public:
    BoundCall(IUnknown* object, const std::u16string& name, WORD flags, std::vector<Variant> args)
        : m_args(std::move(args)), m_flags(flags)
    {
        check(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(m_object.put())),
              "QueryInterface(IDispatch)");
        const DISPID id = dispatch_id(m_object.get(), name);
        if (id == DISPID_UNKNOWN) {
            throw WorkloadError("GetIDsOfNames failed");
        }
        ValueArgs made = value_args(m_args, flags);
        m_call = std::make_unique<LateCall>(m_object.get(), id, flags, std::move(made.args),
                                            std::move(made.named));
    }

    void operator()()
    {
        VARIANT result;
        VariantInit(&result);
        check(m_call->invoke(m_flags == DISPATCH_PROPERTYPUT ? nullptr : &result), "Invoke");
        VariantClear(&result);
    }

private:
    ComPtr<IDispatch> m_object;
    std::vector<Variant> m_args;
    WORD m_flags;
    std::unique_ptr<LateCall> m_call;
};

// A late-bound call as a workload's step.
std::function<void()> late(IUnknown* object, const std::u16string& name, WORD flags,
                           std::vector<Variant> args = {})
{
    return [call = std::make_shared<BoundCall>(object, name, flags, std::move(args))] { (*call)(); };
}

Variant text(const std::string& value)
{
    return Variant::from_string(Bstr(wide(value)));
}

Variant number(std::int32_t value)
{
    return Variant::from_int32(value);
}

Variant root()
{
    return number(static_cast<std::int32_t>(user));
}

// A call of a member that takes the root and a path by reference and gives
// a Variant: the listings and DeleteAllValues.
using PathMember = HRESULT (STDMETHODCALLTYPE _RegistryHandler::*)(HKEYS*, BSTR*, VARIANT*);

std::function<void()> path_call(ComPtr<_RegistryHandler> registry, std::string key, PathMember member,
                                std::string what)
{
    return [registry = std::move(registry), key = std::move(key), member, what = std::move(what)] {
        HKEYS root_key = user;
        Bstr path(wide(key));
        Variant result;
        check((registry.get()->*member)(&root_key, &path.slot(), result.put()), what);
    };
}

}  // namespace

// ---- The workloads --------------------------------------------------------------------

struct Workloads::State {
    std::shared_ptr<Module> module;
    std::filesystem::path folder;

    template <class I>
    ComPtr<I> make(REFCLSID clsid, REFIID iid)
    {
        return ComPtr<I>::attach(static_cast<I*>(create_object(*module, clsid, iid)));
    }
    ComPtr<_iniHandler> ini() { return make<_iniHandler>(CLSID_iniHandler, IID__iniHandler); }
    ComPtr<_RegistryHandler> registry()
    {
        return make<_RegistryHandler>(CLSID_RegistryHandler, IID__RegistryHandler);
    }

    // An iniHandler bound to a new file of the given number of entries.
    ComPtr<_iniHandler> bound_ini(const std::string& file)
    {
        ComPtr<_iniHandler> object = ini();
        check(object->put_FileName(Bstr(wide((folder / file).string())).get()), "FileName");
        return object;
    }
};

Workloads::Workloads(const std::filesystem::path& module, const std::filesystem::path& folder)
    : m_state(std::make_unique<State>())
{
    m_state->module = load_module(module);
    m_state->folder = folder;
}

Workloads::~Workloads() = default;

namespace {

// A member called through the table of operations and late-bound, on the
// same input.
void add_member(std::vector<Case>& out, const std::string& name, std::function<void()> direct,
                std::function<void()> late, std::function<void()> before_each = {})
{
    out.push_back(Case{name + "/direct", 0, 0, {}, before_each, std::move(direct), {}});
    out.push_back(Case{name + "/invoke", 0, 0, {}, before_each, std::move(late), {}});
}

constexpr std::int64_t profile_sizes[] = {10, 1000, 100000};

// The profiles, made first: the reads are timed on files that have not
// changed for a while, as a program's settings usually have not (a file
// changed moments ago is read again from the disk: its times are too recent
// to tell a later change apart). The writes have files of their own.
// Gives the shape of each size's file.
std::map<std::int64_t, ProfileShape> write_profiles(const std::filesystem::path& folder)
{
    std::map<std::int64_t, ProfileShape> shapes;
    for (const std::int64_t entries : profile_sizes) {
        const std::string name = "entries-" + std::to_string(entries);
        shapes[entries] = write_profile(folder / (name + ".ini"), entries);
        write_profile(folder / (name + "-written.ini"), entries);
        // Lines that end with a CR alone, as old Mac files do.
        write_profile(folder / (name + "-cr.ini"), entries, "\r");
        // A file with a second name, which a write keeps one file.
        write_profile(folder / (name + "-linked.ini"), entries);
        std::filesystem::create_hard_link(folder / (name + "-linked.ini"),
                                          folder / (name + "-other-name.ini"));
    }
    write_profile(folder / "small.ini", 10);
    write_profile(folder / "small-written.ini", 10);
    return shapes;
}

// ---- iniHandler, one call on a small file ------------------------------------

// The file name, a value read and a value written.
void add_small_ini_values(std::vector<Case>& out, const ComPtr<_iniHandler>& object,
                          const ComPtr<_iniHandler>& writer, const std::string& path)
{
    add_member(
        out, "ini.FileName.get",
        [object] {
            Bstr result;
            check(object->get_FileName(result.put()), "FileName");
        },
        late(object.get(), u"FileName", DISPATCH_PROPERTYGET));
    add_member(
        out, "ini.FileName.put",
        [object, name = Bstr(wide(path))] { check(object->put_FileName(name.get()), "FileName"); },
        late(object.get(), u"FileName", DISPATCH_PROPERTYPUT, {text(path)}));
    add_member(
        out, "ini.GetValue",
        [object, section = Bstr(u"s0"), key = Bstr(u"k9"), fallback = Bstr(u"")] {
            Bstr result;
            check(object->GetValue(section.get(), key.get(), fallback.get(), result.put()), "GetValue");
        },
        late(object.get(), u"GetValue", DISPATCH_METHOD, {text("s0"), text("k9"), text("")}));
    // Two values in turn, so that every call changes the file.
    add_member(
        out, "ini.WriteValue",
        [writer, section = Bstr(u"s0"), key = Bstr(u"k5"), values = std::make_shared<int>(0)] {
            VARIANT_BOOL done = VARIANT_FALSE;
            const Bstr value((++*values & 1) != 0 ? u"one" : u"two");
            check(writer->WriteValue(section.get(), key.get(), value.get(), &done), "WriteValue");
        },
        [late = std::make_shared<BoundCall>(writer.get(), u"WriteValue", DISPATCH_METHOD,
                                            std::vector<Variant>{text("s0"), text("k5"), text("one")}),
         other = std::make_shared<BoundCall>(writer.get(), u"WriteValue", DISPATCH_METHOD,
                                             std::vector<Variant>{text("s0"), text("k5"), text("two")}),
         turn = std::make_shared<int>(0)] { (++*turn & 1) != 0 ? (*late)() : (*other)(); });
}

// The listings, and the removals of what the untimed step before each call wrote.
void add_small_ini_lists_and_removals(std::vector<Case>& out, const ComPtr<_iniHandler>& object,
                                      const ComPtr<_iniHandler>& writer, const std::string& written_path)
{
    add_member(
        out, "ini.GetAllSections",
        [object] {
            ComPtr<_Collection> result;
            check(object->GetAllSections(result.put()), "GetAllSections");
        },
        late(object.get(), u"GetAllSections", DISPATCH_METHOD));
    add_member(
        out, "ini.GetAllKeys",
        [object, section = Bstr(u"s0")] {
            ComPtr<_Collection> result;
            check(object->GetAllKeys(section.get(), result.put()), "GetAllKeys");
        },
        late(object.get(), u"GetAllKeys", DISPATCH_METHOD, {text("s0")}));
    // The removals remove what the untimed step before each call wrote.
    const auto add_gone = [written_path] {
        if (!WritePrivateProfileStringA("gone", "key", "value", written_path.c_str())) {
            throw WorkloadError("WritePrivateProfileStringA failed");
        }
    };
    add_member(
        out, "ini.DeleteSection",
        [writer, section = Bstr(u"gone")] {
            VARIANT_BOOL done = VARIANT_FALSE;
            check(writer->DeleteSection(section.get(), &done), "DeleteSection");
        },
        late(writer.get(), u"DeleteSection", DISPATCH_METHOD, {text("gone")}), add_gone);
    add_member(
        out, "ini.DeleteKey",
        [writer, section = Bstr(u"gone"), key = Bstr(u"key")] {
            VARIANT_BOOL done = VARIANT_FALSE;
            check(writer->DeleteKey(section.get(), key.get(), &done), "DeleteKey");
        },
        late(writer.get(), u"DeleteKey", DISPATCH_METHOD, {text("gone"), text("key")}), add_gone);
}

// ---- RegistryHandler, one call on a small key ------------------------------------

// A key checked, a value written and read, the key's listings.
void add_small_registry_calls(std::vector<Case>& out, const ComPtr<_RegistryHandler>& object,
                              const std::string& key)
{
    add_member(
        out, "registry.CheckRegistryKey",
        [object, path = Bstr(wide(key))] {
            LONG result = 0;
            check(object->CheckRegistryKey(user, path.get(), &result), "CheckRegistryKey");
        },
        late(object.get(), u"CheckRegistryKey", DISPATCH_METHOD, {root(), text(key)}));
    add_member(
        out, "registry.WriteRegValue",
        [object, path = Bstr(wide(key)), name = Bstr(u"v0"), value = number(7)] {
            Bstr result;
            check(object->WriteRegValue(user, path.get(), name.get(), value.get(), result.put()),
                  "WriteRegValue");
        },
        late(object.get(), u"WriteRegValue", DISPATCH_METHOD, {root(), text(key), text("v0"), number(7)}));
    add_member(
        out, "registry.ReadRegValue",
        [object, key] {
            HKEYS root_key = user;
            Bstr path(wide(key));
            Bstr name(u"v0");
            Variant result;
            check(object->ReadRegValue(&root_key, &path.slot(), &name.slot(), result.put()), "ReadRegValue");
        },
        late(object.get(), u"ReadRegValue", DISPATCH_METHOD, {root(), text(key), text("v0")}));
    add_member(out, "registry.EnumKeys", path_call(object, key, &_RegistryHandler::EnumKeys, "EnumKeys"),
               late(object.get(), u"EnumKeys", DISPATCH_METHOD, {root(), text(key)}));
    add_member(out, "registry.EnumValues",
               path_call(object, key, &_RegistryHandler::EnumValues, "EnumValues"),
               late(object.get(), u"EnumValues", DISPATCH_METHOD, {root(), text(key)}));
}

// The removals, of what the untimed step before each call made.
void add_small_registry_removals(std::vector<Case>& out, const ComPtr<_RegistryHandler>& object,
                                 const std::string& scratch)
{
    const std::string leaf = scratch + "\\leaf";
    add_member(
        out, "registry.DeleteKey",
        [object, leaf] {
            HKEYS root_key = user;
            Bstr path(wide(leaf));
            check(object->DeleteKey(&root_key, &path.slot()), "DeleteKey");
        },
        late(object.get(), u"DeleteKey", DISPATCH_METHOD, {root(), text(leaf)}),
        [leaf] { fill_values(leaf, 0); });
    add_member(
        out, "registry.DeleteValue",
        [object, scratch] {
            HKEYS root_key = user;
            Bstr path(wide(scratch));
            Bstr name(u"v0");
            check(object->DeleteValue(&root_key, &path.slot(), &name.slot()), "DeleteValue");
        },
        late(object.get(), u"DeleteValue", DISPATCH_METHOD, {root(), text(scratch), text("v0")}),
        [scratch] { fill_values(scratch, 1); });
    add_member(out, "registry.DeleteAllValues",
               path_call(object, scratch, &_RegistryHandler::DeleteAllValues, "DeleteAllValues"),
               late(object.get(), u"DeleteAllValues", DISPATCH_METHOD, {root(), text(scratch)}),
               [scratch] { fill_values(scratch, 1); });
}

// ---- Keys of growing size -------------------------------------------------------------

void add_key_sizes(std::vector<Case>& out, const ComPtr<_RegistryHandler>& registry)
{
    for (const std::int64_t values : {1, 100, 10000}) {
        const std::string key = base_key + "\\values-" + std::to_string(values);
        const std::string last = "v" + std::to_string(values - 1);
        const std::string size = "/values:" + std::to_string(values);
        const auto prepare = [key, values] { fill_values(key, values); };
        out.push_back(Case{"registry.CheckRegistryKey" + size,
                           0,
                           0,
                           prepare,
                           {},
                           [registry, key] {
                               LONG result = 0;
                               check(registry->CheckRegistryKey(user, Bstr(wide(key)).get(), &result),
                                     "CheckRegistryKey");
                           },
                           {}});
        // Reading walks the key's values up to the one asked for: the last.
        out.push_back(
            Case{"registry.ReadRegValue" + size,
                 values,
                 0,
                 prepare,
                 {},
                 [registry, key, last] {
                     HKEYS root_key = user;
                     Bstr path(wide(key));
                     Bstr name(wide(last));
                     Variant result;
                     check(registry->ReadRegValue(&root_key, &path.slot(), &name.slot(), result.put()),
                           "ReadRegValue");
                 },
                 {}});
        out.push_back(Case{"registry.WriteRegValue" + size,
                           0,
                           0,
                           prepare,
                           {},
                           [registry, key, last] {
                               Bstr result;
                               check(registry->WriteRegValue(user, Bstr(wide(key)).get(),
                                                             Bstr(wide(last)).get(), number(7).get(),
                                                             result.put()),
                                     "WriteRegValue");
                           },
                           {}});
    }
}

// ---- Listings and removals --------------------------------------------------------------

void add_listings(std::vector<Case>& out, const ComPtr<_RegistryHandler>& registry)
{
    for (const std::int64_t entries : {10000, 32766}) {
        const std::string count = std::to_string(entries);
        const std::string keys = base_key + "\\subkeys-" + count;
        const std::string values = base_key + "\\list-values-" + count;
        out.push_back(Case{"registry.EnumKeys/keys:" + count,
                           entries,
                           3,
                           [keys, entries] { fill_subkeys(keys, entries); },
                           {},
                           path_call(registry, keys, &_RegistryHandler::EnumKeys, "EnumKeys"),
                           {}});
        out.push_back(Case{"registry.EnumValues/values:" + count,
                           entries,
                           3,
                           [values, entries] { fill_values(values, entries); },
                           {},
                           path_call(registry, values, &_RegistryHandler::EnumValues, "EnumValues"),
                           {}});
    }
    {
        const std::int64_t entries = 32766;
        const std::string key = base_key + "\\delete-values";
        out.push_back(Case{"registry.DeleteAllValues/values:32766",
                           entries,
                           2,
                           {},
                           [key, entries] { fill_values(key, entries); },
                           path_call(registry, key, &_RegistryHandler::DeleteAllValues, "DeleteAllValues"),
                           {}});
    }
}

void add_tree_removals(std::vector<Case>& out, const ComPtr<_RegistryHandler>& registry)
{
    // The platform takes key paths of at most 255 characters and trees of at
    // most 512 levels: a chain of 100 keys is the deepest both systems take,
    // and one of 500 (below a key two levels deep) the deepest the stand-in
    // takes; wide trees go further.
    const std::string too_deep =
        "a chain this deep has paths over the platform's 255 characters, which Wine's ANSI registry "
        "functions refuse (ERROR_MORE_DATA)";
    for (const std::int64_t keys : {100, 500, 1000, 10000}) {
        for (const bool deep : {false, true}) {
            if (deep != (keys <= 500)) {
                continue;
            }
            const std::string shape = deep ? "deep" : "wide";
            const std::string tree = base_key + "\\tree-" + shape;
            Case c;
            c.name = "registry.DeleteKey/" + shape + "-keys:" + std::to_string(keys);
            c.entries = keys;
            c.iterations = keys >= 10000 ? 1 : 3;
            c.before_each = [tree, keys, deep] {
                if (deep) {
                    fill_chain(tree, keys);
                } else {
                    fill_subkeys(tree, keys - 1);
                }
            };
            c.run = [registry, tree] {
                HKEYS root_key = user;
                Bstr path(wide(tree));
                check(registry->DeleteKey(&root_key, &path.slot()), "DeleteKey");
            };
            if (deep && keys > 100) {
                c.windows_limit = too_deep;
            } else if (keys >= 10000) {
                c.windows_limit =
                    "left out for time: the walk lists the key again after each removal, so its cost grows "
                    "with "
                    "the square of the keys (about 40 minutes here); estimated from the 1,000-key run";
            }
            out.push_back(std::move(c));
        }
    }
}

// ---- Profiles of growing size ---------------------------------------------------------

// `bind` gives an iniHandler bound to a file of the folder.
void add_profile_sizes(std::vector<Case>& out, const std::map<std::int64_t, ProfileShape>& shapes,
                       const std::function<ComPtr<_iniHandler>(const std::string& file)>& bind)
{
    for (const std::int64_t entries : profile_sizes) {
        const std::string name = "entries-" + std::to_string(entries);
        const ProfileShape shape = shapes.at(entries);
        auto reader = std::make_shared<ComPtr<_iniHandler>>();
        out.push_back(
            Case{"ini.GetValue/entries:" + std::to_string(entries),
                 entries,
                 0,
                 [bind, reader, name] { *reader = bind(name + ".ini"); },
                 {},
                 [reader, section = Bstr(wide(shape.last_section)), key = Bstr(wide(shape.last_key))] {
                     Bstr result;
                     check((*reader)->GetValue(section.get(), key.get(), Bstr(u"").get(), result.put()),
                           "GetValue");
                 },
                 [reader] { reader->reset(); }});
        // Writes to the file of the given name, in turn two values of its last entry.
        const auto writes = [&](const std::string& workload, const std::string& file) {
            auto writer = std::make_shared<ComPtr<_iniHandler>>();
            out.push_back(Case{workload + std::to_string(entries),
                               entries,
                               entries >= 100000 ? 20 : 0,
                               [bind, writer, file] { *writer = bind(file); },
                               {},
                               [writer, section = Bstr(wide(shape.last_section)),
                                key = Bstr(wide(shape.last_key)), turn = std::make_shared<int>(0)] {
                                   VARIANT_BOOL done = VARIANT_FALSE;
                                   const Bstr value((++*turn & 1) != 0 ? u"one" : u"two");
                                   check((*writer)->WriteValue(section.get(), key.get(), value.get(), &done),
                                         "WriteValue");
                               },
                               [writer] { writer->reset(); }});
        };
        writes("ini.WriteValue/entries:", name + "-written.ini");
        writes("ini.WriteValue/linked-entries:", name + "-linked.ini");
        writes("ini.WriteValue/cr-entries:", name + "-cr.ini");
    }
}

}  // namespace

std::vector<Case> Workloads::cases()
{
    State& state = *m_state;
    std::vector<Case> out;
    const std::map<std::int64_t, ProfileShape> shapes = write_profiles(state.folder);
    const auto profiles_written = std::chrono::steady_clock::now();
    {
        const std::string path = (state.folder / "small.ini").string();
        const std::string written_path = (state.folder / "small-written.ini").string();
        const auto object = state.bound_ini("small.ini");
        const auto writer = state.bound_ini("small-written.ini");
        add_small_ini_values(out, object, writer, path);
        add_small_ini_lists_and_removals(out, object, writer, written_path);
    }
    {
        const auto object = state.registry();
        const std::string key = base_key + "\\small";
        fill_values(key, 1);
        fill_subkeys(key, 1);
        const std::string scratch = base_key + "\\scratch";
        fill_values(scratch, 0);
        add_small_registry_calls(out, object, key);
        add_small_registry_removals(out, object, scratch);
    }
    add_profile_sizes(out, shapes, [&state](const std::string& file) { return state.bound_ini(file); });
    const auto registry = state.registry();
    add_key_sizes(out, registry);
    add_listings(out, registry);
    add_tree_removals(out, registry);
    // The profiles settle while nothing changes them.
    std::this_thread::sleep_until(profiles_written + std::chrono::milliseconds(2500));
    return out;
}

void* create_object(Module& module, REFCLSID clsid, REFIID iid)
{
    IClassFactory* factory = nullptr;
    void* object = nullptr;
    if (FAILED(class_objects(module)(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        fail("the module gives no class object");
    }
    const HRESULT status = factory->CreateInstance(nullptr, iid, &object);
    factory->Release();
    if (FAILED(status)) {
        fail("cannot create an object of the component");
    }
    return object;
}

void ready(Case& c)
{
    if (c.prepared) {
        return;
    }
    c.prepared = true;
    if (c.prepare) {
        c.prepare();
    }
    // One call untimed, as a caller's first: what is timed is the steady
    // state, the same on both systems.
    if (!c.before_each) {
        c.run();
    }
}

void run_once(Case& c)
{
    ready(c);
    if (c.before_each) {
        c.before_each();
    }
    c.run();
}

std::vector<std::uint64_t> memory_rounds(const std::vector<Case*>& cases, int rounds)
{
    std::vector<std::uint64_t> resident;
    for (int round = 0; round < rounds; ++round) {
        for (Case* c : cases) {
            if (c->entries >= 10000 && c->iterations != 1) {  // the single-call ones take minutes
                try {
                    run_once(*c);
                } catch (const WorkloadError&) {
                    // Reported with the timings already.
                }
            }
        }
        resident.push_back(resident_bytes());
    }
    return resident;
}

void fail(const std::string& what)
{
    std::fprintf(stderr, "vornhall_bench: %s\n", what.c_str());
    std::exit(2);
}

}  // namespace vh::bench
