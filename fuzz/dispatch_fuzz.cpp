// Feeds late binding (IDispatch::Invoke) arbitrary argument lists for every
// member of iniHandler, RegistryHandler and the collection the listings
// return. Each call picks its object (an iniHandler bound to a file in a
// private temporary directory, a RegistryHandler on a fresh store there, or
// the collection of the file's sections), a dispatch identifier (one of the
// member tables' or any other), invoke flags, up to five arguments, some of
// them named, and for each argument a Variant: every kind from Empty to
// UI8 and Decimal, strings with NULs inside, by-reference forms (a
// by-reference Variant pointing at another Variant among them), arrays of
// strings and of Variants, and the "omitted" marker.
//
// After each call it checks that the status is success or a failure (no
// exception escaped a member, which Invoke reports as E_UNEXPECTED), that
// a member's failure came with its status in EXCEPINFO, that an argument
// index it reports names a real argument, and that no registry handle
// stayed open; then it clears the result and every argument, so
// AddressSanitizer sees any string, array or object freed twice or leaked.
//
// Input: calls, each an object byte, an identifier byte, a flags byte, an
// argument count byte and the named identifiers, then each argument's kind
// byte and payload.
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "automation/late_bound.h"
#include "automation/members.h"
#include "automation/values.h"
#include "fuzz/support.h"
#include "ini/ini_handler.h"
#include "ini/ini_members.h"
#include "platform/win32.h"
#include "registry/registry_handler.h"
#include "registry/registry_members.h"
#include "tests/support/environment.h"

namespace {

using vh::fuzz::Input;

constexpr int max_calls = 4;
constexpr UINT max_args = 5;
constexpr int max_depth = 2;
constexpr char initial_ini[] = "; settings\r\n[s]\r\nk=v\r\nq=\"quoted\"\r\n\r\n[t]\r\nx=1\r\n";

// The plain kinds an argument can have, Empty to UI8 and Decimal.
constexpr VARTYPE kinds[] = {VT_EMPTY,   VT_NULL, VT_I2,       VT_I4,    VT_R4,   VT_R8,      VT_CY,
                             VT_DATE,    VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL, VT_VARIANT, VT_UNKNOWN,
                             VT_DECIMAL, VT_I1,   VT_UI1,      VT_UI2,   VT_UI4,  VT_I8,      VT_UI8};

// What a by-reference argument points at, and what it owns through that.
struct Storage {
    VARIANT inner;
    std::unique_ptr<Storage> inner_storage;
    BSTR text = nullptr;
    SAFEARRAY* array = nullptr;
    IUnknown* object = nullptr;
    DECIMAL decimal{};
    std::uint64_t scalar = 0;

    Storage() { VariantInit(&inner); }
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
    ~Storage()
    {
        VariantClear(&inner);
        SysFreeString(text);
        if (array != nullptr) {
            SafeArrayDestroy(array);
        }
        if (object != nullptr) {
            object->Release();
        }
    }
};

// Strings: ASCII as given (NUL included), other bytes a few characters
// that names and paths treat specially or that do not fit a code page.
BSTR make_text(Input& in)
{
    static constexpr char16_t special[] = {u'\\', u'[',  u']',      u'=',      u';',   u'"',   u' ',   u'\t',
                                           u'\r', u'\n', u'\u00E9', u'\u20AC', 0xD800, 0xDC00, 0xFFFF, u'\0'};
    const std::size_t length = in.byte() % 24;
    std::u16string text;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = in.byte();
        text.push_back(b < 0x80 ? static_cast<char16_t>(b)
                                : special[b % (sizeof special / sizeof special[0])]);
    }
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
}

class Objects;

class Arguments {
public:
    explicit Arguments(Objects& objects) : m_objects(objects) {}
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    ~Arguments()
    {
        for (VARIANT& v : m_values) {
            VariantClear(&v);
        }
    }

    // Appends one argument read from the input.
    void add(Input& in)
    {
        m_values.emplace_back();
        VariantInit(&m_values.back());
        m_storage.push_back(std::make_unique<Storage>());
        make(in, m_values.back(), *m_storage.back(), 0);
    }

    std::vector<VARIANT>& values() { return m_values; }

private:
    void make(Input& in, VARIANT& v, Storage& storage, int depth);
    void make_array(Input& in, VARIANT& v, Storage& storage, VARTYPE element, bool by_ref, int depth);
    IUnknown* object(Input& in);

    Objects& m_objects;
    std::vector<VARIANT> m_values;
    std::vector<std::unique_ptr<Storage>> m_storage;
};

// The objects of one input, made when first used.
class Objects {
public:
    explicit Objects(const std::string& directory) : m_directory(directory) {}

    IDispatch* ini()
    {
        if (!m_ini) {
            const std::string path = m_directory + "/fuzz.ini";
            vh::fuzz::write_file(path, initial_ini);
            m_ini = vh::make_ini_handler();
            const vh::Bstr name(vh::from_utf8(path));
            VH_FUZZ_CHECK(m_ini->put_FileName(name.get()) == S_OK, "cannot bind the file");
        }
        return m_ini.get();
    }

    IDispatch* registry()
    {
        if (!m_registry) {
            fresh_store();
            m_registry = vh::make_registry_handler();
        }
        return m_registry.get();
    }

    IDispatch* collection()
    {
        if (!m_collection) {
            ini();
            VH_FUZZ_CHECK(m_ini->GetAllSections(m_collection.put()) == S_OK && m_collection,
                          "GetAllSections of the initial file failed");
        }
        return m_collection.get();
    }

private:
    // A store of two keys and two values. Two file names take turns, so the
    // one about to be removed is never the one the service has open.
    void fresh_store()
    {
        static unsigned turn = 0;
        const std::string path = m_directory + "/store" + std::to_string(turn++ % 2) + ".db";
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            vh::fuzz::remove_file(path + suffix);
        }
        vh::test::set_environment("VORNHALL_REGISTRY", path.c_str());
        HKEY key = nullptr;
        VH_FUZZ_CHECK(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Fuzz\\Sub", 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &key, nullptr) == ERROR_SUCCESS,
                      "cannot create the store's keys");
        RegCloseKey(key);
        VH_FUZZ_CHECK(
            RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Fuzz", 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS,
            "cannot open the store's key");
        const DWORD number = 7;
        RegSetValueExA(key, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
        RegSetValueExA(key, "t", 0, REG_SZ, reinterpret_cast<const BYTE*>("text"), 5);
        RegCloseKey(key);
    }

    std::string m_directory;
    vh::ComPtr<vh::_iniHandler> m_ini;
    vh::ComPtr<vh::_RegistryHandler> m_registry;
    vh::ComPtr<vh::_Collection> m_collection;
};

IUnknown* Arguments::object(Input& in)
{
    if ((in.byte() & 1) == 0) {
        return nullptr;
    }
    IUnknown* object = m_objects.ini();
    object->AddRef();
    return object;
}

void Arguments::make(Input& in, VARIANT& v, Storage& storage, int depth)
{
    const std::uint8_t choice = in.byte();
    const VARTYPE kind = kinds[(choice & 0x1F) % (sizeof kinds / sizeof kinds[0])];
    const bool by_ref = (choice & 0x20) != 0;
    const bool array = (choice & 0x40) != 0 && (kind == VT_BSTR || kind == VT_VARIANT);
    if (array) {
        make_array(in, v, storage, kind, by_ref, depth);
        return;
    }
    if (kind == VT_VARIANT && by_ref && depth < max_depth) {
        storage.inner_storage = std::make_unique<Storage>();
        make(in, storage.inner, *storage.inner_storage, depth + 1);
        v.vt = VT_BYREF | VT_VARIANT;
        v.pvarVal = &storage.inner;
        return;
    }
    // The value itself, in v or in the storage a reference points at.
    VARIANT value;
    VariantInit(&value);
    switch (kind) {
        case VT_BSTR:
            value.bstrVal = make_text(in);
            break;
        case VT_DISPATCH:
        case VT_UNKNOWN:
            value.punkVal = object(in);
            break;
        case VT_ERROR:
            value.scode = in.byte() < 0x80 ? DISP_E_PARAMNOTFOUND : static_cast<SCODE>(in.u32());
            break;
        case VT_I4: {
            // Often one of the roots or just past them, as scripts pass them.
            const std::uint8_t b = in.byte();
            value.lVal = b < 0x80 ? static_cast<LONG>(0x80000000u + b % 5) : static_cast<LONG>(in.u32());
            break;
        }
        case VT_DECIMAL:
            value.decVal.scale = in.byte();
            value.decVal.sign = in.byte();
            value.decVal.Hi32 = in.u32();
            value.decVal.Lo64 = in.u64();
            break;
        default:
            value.llVal = static_cast<LONGLONG>(in.u64());
            break;
    }
    if (!by_ref) {
        v = value;
        v.vt = kind;
        return;
    }
    v.vt = static_cast<VARTYPE>(VT_BYREF | kind);
    switch (kind) {
        case VT_BSTR:
            storage.text = value.bstrVal;
            v.pbstrVal = &storage.text;
            break;
        case VT_DISPATCH:
        case VT_UNKNOWN:
            storage.object = value.punkVal;
            v.ppunkVal = &storage.object;
            break;
        case VT_DECIMAL:
            storage.decimal = value.decVal;
            v.pdecVal = &storage.decimal;
            break;
        case VT_VARIANT:
            // Too deep: a reference to an Empty Variant.
            v.pvarVal = &storage.inner;
            break;
        default:
            storage.scalar = static_cast<std::uint64_t>(value.llVal);
            v.byref = &storage.scalar;
            break;
    }
}

void Arguments::make_array(Input& in, VARIANT& v, Storage& storage, VARTYPE element, bool by_ref, int depth)
{
    const ULONG count = in.byte() % 4;
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, count);
    VH_FUZZ_CHECK(array != nullptr, "cannot make an array");
    for (LONG i = 0; i < static_cast<LONG>(count); ++i) {
        if (element == VT_BSTR) {
            BSTR text = make_text(in);
            SafeArrayPutElement(array, &i, text);
            SysFreeString(text);
        } else {
            VARIANT item;
            VariantInit(&item);
            Storage item_storage;
            make(in, item, item_storage, max_depth);  // no references inside arrays
            if ((item.vt & VT_BYREF) == 0) {
                SafeArrayPutElement(array, &i, &item);
            }
            VariantClear(&item);
        }
    }
    (void)depth;
    v.vt = static_cast<VARTYPE>(VT_ARRAY | element | (by_ref ? VT_BYREF : 0));
    if (by_ref) {
        storage.array = array;
        v.pparray = &storage.array;
    } else {
        v.parray = array;
    }
}

const vh::InterfaceTable& table_for(int object)
{
    switch (object) {
        case 0:
            return vh::ini_handler_table();
        case 1:
            return vh::registry_handler_table();
        default:
            return vh::collection_table();
    }
}

void one_call(Input& in, Objects& objects)
{
    const int which = in.byte() % 3;
    IDispatch* target = which == 0 ? objects.ini() : which == 1 ? objects.registry() : objects.collection();
    const vh::InterfaceTable& table = table_for(which);

    const std::uint8_t id_choice = in.byte();
    DISPID id = 0;
    if (id_choice < 0xE0) {
        id = table.members[id_choice % table.members.size()].id;
    } else if (id_choice < 0xF0) {
        static constexpr DISPID others[] = {
            DISPID_VALUE, DISPID_NEWENUM, DISPID_UNKNOWN, DISPID_PROPERTYPUT, 1, 2, 3,
            0x60030008,   0x68030001};
        id = others[id_choice % (sizeof others / sizeof others[0])];
    } else {
        id = static_cast<DISPID>(in.u32());
    }
    const WORD flags = in.byte() & 0x0F;
    const UINT count = in.byte() % (max_args + 1);
    const UINT named = count == 0 ? 0 : in.byte() % (count + 1);
    std::vector<DISPID> named_ids;
    for (UINT i = 0; i < named; ++i) {
        const std::uint8_t b = in.byte();
        named_ids.push_back(b < 0xC0 ? b % 5 : b < 0xE0 ? DISPID_PROPERTYPUT : static_cast<DISPID>(in.u32()));
    }

    Arguments args(objects);
    for (UINT i = 0; i < count; ++i) {
        args.add(in);
    }
    DISPPARAMS params{args.values().empty() ? nullptr : args.values().data(),
                      named_ids.empty() ? nullptr : named_ids.data(), count, named};
    VARIANT result;
    VariantInit(&result);
    vh::ExcepInfo excep;
    UINT arg_error = 0xFFFFFFFFu;
    const HRESULT status =
        target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, excep.put(), &arg_error);

    char what[160];
    std::snprintf(what, sizeof what, "Invoke of %08X on %s, flags %u, %u arguments (%u named): status %08X",
                  static_cast<unsigned>(id), vh::to_utf8(table.name).c_str(), flags, count, named,
                  static_cast<unsigned>(status));
    VH_FUZZ_CHECK(status == S_OK || FAILED(status), what);
    VH_FUZZ_CHECK(status != E_UNEXPECTED, std::string(what) + ": an exception left a member");
    if (status == DISP_E_EXCEPTION) {
        VH_FUZZ_CHECK(FAILED(excep->scode) && excep->bstrSource != nullptr,
                      std::string(what) + ": a failing member without its status");
    }
    VH_FUZZ_CHECK(arg_error == 0xFFFFFFFFu || arg_error < count,
                  std::string(what) + ": argument index " + std::to_string(arg_error));
    VH_FUZZ_CHECK(VhRegOpenHandleCount() == 0, std::string(what) + ": a registry key left open");

    VH_FUZZ_CHECK(VariantClear(&result) == S_OK, std::string(what) + ": the result cannot be cleared");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Relative file names the members are given land in the private
    // directory, as does win.ini.
    const std::string& directory = vh::fuzz::private_directory();
    vh::test::set_environment("VORNHALL_WINDIR", directory.c_str());
    if (chdir(directory.c_str()) != 0) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    Objects objects(vh::fuzz::private_directory());
    for (int i = 0; i < max_calls && !in.empty(); ++i) {
        one_call(in, objects);
    }
    return 0;
}
