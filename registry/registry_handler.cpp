// RegistryHandler.
//
// The object keeps nothing: every member opens the keys it needs through
// the registry service and closes them before it returns, on every way out.
// Strings reach the service in the ANSI code page and come back into the
// variable that supplied them (automation/ansi.h): a caller's by-reference
// sKey, or a member's own copy.
//
// The public members reach one another through the object's own interface,
// with the full calling frame, as any caller would: DeleteKey lists with
// EnumKeys, DeleteValue and DeleteAllValues check with CheckRegistryKey,
// DeleteAllValues deletes with DeleteValue. The private operations (open_key,
// create_key, close_key, remove_key, list_subkeys, list_values, query_value,
// set_value) run inside the member that calls them; an error in one ends it.
//
// Listings end with one extra entry: the one the service wrote (or left)
// on the call that reported no more items.
//
// No registry name contains a NUL character, so a path or name holding one
// names nothing: reads and deletions treat it as missing and never pass it
// to the service, where it would be cut short and name another key or value.
#include "registry/registry_handler.h"

#include "platform/key_handle.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "automation/ansi.h"
#include "automation/frame.h"
#include "automation/object.h"
#include "registry/registry_members.h"

namespace vh {

namespace {

constexpr DWORD name_buffer_length = 2000;
constexpr DWORD text_buffer_size = 2048;
// The longest value name the service accepts is 16,383 UTF-16 units; no
// ANSI code page spends more than three bytes on one (UTF-8 at most three
// for a unit of the basic plane, four for a pair). With its terminator:
constexpr DWORD longest_name = 16383 * 3 + 1;

HKEY to_hkey(HKEYS root) noexcept
{
    return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<std::int32_t>(root)));
}

[[noreturn]] void raise_service_status(LSTATUS status)
{
    raise_status(HRESULT_FROM_WIN32(static_cast<DWORD>(status)));
}

// A status that says the service itself failed (out of memory, a store it
// cannot read or write), not that a key or value is missing or refused. No
// member can give a true answer past it, so it ends the member, where other
// statuses are dropped as the members document.
void check_service(LSTATUS status)
{
    switch (status) {
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            raise_error(err::out_of_memory);
        case ERROR_BADDB:
        case ERROR_CANTOPEN:
        case ERROR_CANTREAD:
        case ERROR_CANTWRITE:
        case ERROR_DISK_FULL:
            raise_service_status(status);
        default:
            break;
    }
}

bool names_nothing(BSTR text)
{
    return text != nullptr && Text(text_of(text, SysStringLen(text))).find(u'\0') != Text::npos;
}

// Reads a 32-bit little-endian number.
std::int32_t little_endian(const unsigned char* bytes)
{
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
        (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24));
}

// A path DeleteKey can walk: not empty, no empty part, no NUL.
bool walkable(Text path)
{
    if (path.empty() || path.front() == u'\\' || path.back() == u'\\' || path.find(u"\\\\") != Text::npos) {
        return false;
    }
    return path.find(u'\0') == Text::npos;
}

class RegistryHandler final : public DispatchObject<_RegistryHandler> {
public:
    HRESULT STDMETHODCALLTYPE CheckRegistryKey(HKEYS hKey, BSTR KeyName, LONG* result) override
    {
        return run_member(this, result, [&](LONG& out) {
            Bstr key_name = Bstr::copy_of(KeyName);
            KeyHandle handle;
            const LSTATUS status = open(hKey, key_name.slot(), KEY_READ, handle);
            if (status == ERROR_SUCCESS) {
                out = -1;
                handle.close();
            } else {
                out = status;
            }
        });
    }

    HRESULT STDMETHODCALLTYPE WriteRegValue(HKEYS vhRootKey, BSTR vstrKeyName, BSTR vstrValueName,
                                            VARIANT vvntValue, BSTR* result) override
    {
        return run_member(this, result, [&](Bstr& out) {
            Bstr key_name = Bstr::copy_of(vstrKeyName);
            Bstr value_name = Bstr::copy_of(vstrValueName);
            const Variant value = Variant::copy_of(vvntValue);
            if (names_nothing(key_name.get()) || names_nothing(value_name.get())) {
                raise_error(err::invalid_argument);
            }
            KeyHandle handle;
            DWORD disposition = 0;
            try {
                if (const LSTATUS status = create_key(vhRootKey, key_name, handle, disposition);
                    status != ERROR_SUCCESS) {
                    raise_service_status(status);
                }
                out = set_value(handle, value_name, value);
            } catch (...) {
                // A value that could not be stored leaves no key of its own
                // behind (keys created above it on the path stay).
                if (disposition == REG_CREATED_NEW_KEY) {
                    handle.close();
                    remove_key(vhRootKey, key_name);
                }
                throw;
            }
            close_key(handle);
        });
    }

    HRESULT STDMETHODCALLTYPE ReadRegValue(HKEYS* RootKey, BSTR* sKey, BSTR* sValueName,
                                           VARIANT* result) override
    {
        return run_member(this, result, [&](Variant& out) {
            require(RootKey, sKey, sValueName);
            KeyHandle handle;
            check_service(open(*RootKey, *sKey, KEY_ALL_ACCESS, handle));
            query_value(handle, Bstr::copy_of(*sValueName), out);
            handle.close();
        });
    }

    HRESULT STDMETHODCALLTYPE EnumKeys(HKEYS* RootKey, BSTR* sKey, VARIANT* result) override
    {
        return run_member(this, result, [&](Variant& out) {
            require(RootKey, sKey);
            KeyHandle handle;
            check_service(open(*RootKey, *sKey, KEY_ALL_ACCESS, handle));
            Variant listing;
            list_subkeys(handle, listing);
            handle.close();
            out = listing;
        });
    }

    HRESULT STDMETHODCALLTYPE DeleteKey(HKEYS* RootKey, BSTR* sKey) override
    {
        return run_member(this, [&] {
            require(RootKey, sKey);
            const Bstr start = Bstr::copy_of(*sKey);
            if (!walkable(start.view())) {
                raise_error(err::invalid_argument);
            }
            Bstr refused;  // a path whose removal found nothing, once
            for (;;) {
                Variant listing;
                check_call(EnumKeys(RootKey, sKey, listing.put()));
                if (listing.is_empty()) {
                    break;
                }
                if (upper_bound(listing.array(), 1) > 0) {
                    // Descend into the first subkey the service names.
                    assign(*sKey, concat(concat(Bstr::copy_of(*sKey).view(), u"\\").view(),
                                         get_string(listing.array(), 0).view()));
                    continue;
                }
                const Bstr removed = Bstr::copy_of(*sKey);
                const LSTATUS status = remove_key(*RootKey, removed);
                if (status == ERROR_FILE_NOT_FOUND && removed == refused) {
                    // Listed, yet not found when removed: it would be met again forever.
                    raise_service_status(status);
                }
                if (status == ERROR_FILE_NOT_FOUND) {
                    refused = removed;
                } else if (status != ERROR_SUCCESS) {
                    raise_service_status(status);
                }
                assign(*sKey, cut_back(Bstr::copy_of(*sKey)));
                if (SysStringLen(*sKey) < start.size() || removed.size() <= start.size()) {
                    break;
                }
            }
        });
    }

    HRESULT STDMETHODCALLTYPE DeleteValue(HKEYS* RootKey, BSTR* sKey, BSTR* sValueName) override
    {
        return run_member(this, [&] {
            require(RootKey, sKey, sValueName);
            if (!key_readable(*RootKey, *sKey)) {
                return;
            }
            KeyHandle handle;
            if (const LSTATUS status = open_key(*RootKey, Bstr::copy_of(*sKey), handle);
                status != ERROR_SUCCESS) {
                raise_service_status(status);
            }
            LSTATUS status = ERROR_FILE_NOT_FOUND;
            if (!names_nothing(*sValueName)) {
                AnsiArg name(*sValueName);
                status = RegDeleteValueA(handle.get(), name.get());
                try {
                    name.restore();
                } catch (...) {
                    // The value is gone already: that is this call's outcome.
                    if (status != ERROR_SUCCESS) {
                        throw;
                    }
                }
            }
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
                raise_service_status(status);
            }
            close_key(handle);
        });
    }

    HRESULT STDMETHODCALLTYPE DeleteAllValues(HKEYS* RootKey, BSTR* sKey, VARIANT* result) override
    {
        return run_member(this, result, [&](Variant&) {
            require(RootKey, sKey);
            if (!key_readable(*RootKey, *sKey)) {
                return;
            }
            KeyHandle handle;
            open_key(*RootKey, Bstr::copy_of(*sKey), handle);
            Variant listing;
            list_values(handle, listing);
            close_key(handle);
            // Every name of the listing, its end entry included, taken
            // before the first deletion.
            const SafeArray names = name_array(listing);
            const std::int32_t last = names.upper_bound(1);
            for (std::int32_t k = 0; k <= last; ++k) {
                Bstr name = get_string_of(names, k);
                check_call(DeleteValue(RootKey, sKey, &name.slot()));
            }
        });
    }

    HRESULT STDMETHODCALLTYPE EnumValues(HKEYS* RootKey, BSTR* sKey, VARIANT* result) override
    {
        return run_member(this, result, [&](Variant& out) {
            require(RootKey, sKey);
            KeyHandle handle;
            open_key(*RootKey, Bstr::copy_of(*sKey), handle);
            Variant listing;
            list_values(handle, listing);
            close_key(handle);
            out = Variant::from_array(name_array(listing));
        });
    }

private:
    template <class... P>
    static void require(P*... pointers)
    {
        if (((pointers == nullptr) || ...)) {
            raise_status(E_POINTER);
        }
    }

    // ---- Key primitives ----

    // RegOpenKeyExA of path (round-tripped in its variable) below root.
    static LSTATUS open(HKEYS root, BSTR& path, REGSAM access, KeyHandle& handle)
    {
        if (names_nothing(path)) {
            return ERROR_FILE_NOT_FOUND;
        }
        AnsiArg subkey(path);
        const LSTATUS status = RegOpenKeyExA(to_hkey(root), subkey.get(), 0, access, handle.slot());
        subkey.restore();
        return status;
    }

    // Opens path with full access into the caller's handle variable.
    static LSTATUS open_key(HKEYS parent, Bstr path, KeyHandle& handle)
    {
        const LSTATUS status = open(parent, path.slot(), KEY_ALL_ACCESS, handle);
        check_service(status);
        return status;
    }

    // Creates the key (and every missing key on its path) or opens it.
    static LSTATUS create_key(HKEYS parent, Bstr& path, KeyHandle& handle, DWORD& disposition)
    {
        // The record as the class has always passed it: a length of 50, no
        // descriptor, and the 16-bit true in the inherit field.
        SECURITY_ATTRIBUTES security{};
        security.nLength = 50;
        security.lpSecurityDescriptor = nullptr;
        security.bInheritHandle = 65535;
        Bstr class_text = decimal(1);
        AnsiArg subkey(path.slot());
        AnsiArg class_arg(class_text.slot());
        const LSTATUS status = RegCreateKeyExA(to_hkey(parent), subkey.get(), 0, class_arg.get(), 0,
                                               KEY_ALL_ACCESS, &security, handle.slot(), &disposition);
        subkey.restore();
        class_arg.restore();
        return status;
    }

    // True when the service closed the handle.
    static bool close_key(KeyHandle& handle) { return handle.close() == ERROR_SUCCESS; }

    static LSTATUS remove_key(HKEYS parent, Bstr path)
    {
        if (names_nothing(path.get())) {
            return ERROR_FILE_NOT_FOUND;
        }
        AnsiArg subkey(path.slot());
        const LSTATUS status = RegDeleteKeyA(to_hkey(parent), subkey.get());
        subkey.restore();
        return status;
    }

    // Whether a deletion may go on: the key can be read. A missing key ends
    // it quietly; a key that refuses reading is a failure.
    bool key_readable(HKEYS root, BSTR path)
    {
        LONG check = 0;
        check_call(CheckRegistryKey(root, path, &check));
        if (check == -1) {
            return true;
        }
        if (check == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
            return false;
        }
        raise_service_status(check);
    }

    // The path cut back at its last "\" (unchanged without one). The scan
    // position is a 16-bit number, so paths over 32,767 characters overflow.
    static Bstr cut_back(const Bstr& path)
    {
        const std::int16_t length = to_int16(static_cast<std::int64_t>(path.size()));
        for (std::int16_t n = length; n >= 1; --n) {
            if (path.view()[static_cast<std::size_t>(n - 1)] == u'\\') {
                return left(path.view(), n - 1);
            }
        }
        return path;
    }

    // ---- Listings ----

    // Lists the names below an open key, one service call per entry, the
    // end entry last. enumerate(index, name, length, type) makes the call.
    template <class Enumerate>
    static void list(Enumerate&& enumerate, bool with_types, Variant& output)
    {
        SafeArray listing;
        DWORD type = 0;
        for (std::int32_t index = 0;;) {
            LSTATUS status = ERROR_SUCCESS;
            Bstr text;
            // A name longer than the buffer: ask again for the same entry
            // with a larger one; each entry starts again at the usual size.
            for (DWORD capacity = name_buffer_length;;
                 capacity = std::min<DWORD>(capacity * 4, longest_name)) {
                Bstr buffer = repeat(u'\0', static_cast<std::int32_t>(capacity));
                AnsiArg name(buffer.slot());
                DWORD length = capacity;
                status = enumerate(static_cast<DWORD>(index), name.get(), &length, &type);
                name.restore();
                check_service(status);
                if (status != ERROR_MORE_DATA || capacity == longest_name) {
                    text = name.first_bytes(std::min<std::size_t>(length, name.size()));
                    break;
                }
            }
            if (!listing) {
                listing =
                    with_types ? SafeArray::matrix(VT_BSTR, 1, index) : SafeArray::vector(VT_BSTR, index);
            } else {
                listing.redim_last(index);
            }
            if (with_types) {
                listing.put_string(0, index, decimal(static_cast<std::int32_t>(type)));
                listing.put_string(1, index, text);
            } else {
                listing.put_string(index, text);
            }
            index = add32(index, 1);
            // The listing ends where the service has no more entries, and
            // also where it has none at all (a key that is not open).
            if (status != ERROR_SUCCESS) {
                break;
            }
        }
        output = Variant::from_array(std::move(listing));
    }

    static void list_subkeys(const KeyHandle& handle, Variant& listing)
    {
        DWORD class_length = 0;
        FILETIME written{};
        list(
            [&](DWORD index, char* name, DWORD* length, DWORD*) {
                return RegEnumKeyExA(handle.get(), index, name, length, nullptr, nullptr, &class_length,
                                     &written);
            },
            false, listing);
    }

    static void list_values(const KeyHandle& handle, Variant& listing)
    {
        list(
            [&](DWORD index, char* name, DWORD* length, DWORD* type) {
                DWORD data_size = name_buffer_length;
                return RegEnumValueA(handle.get(), index, name, length, nullptr, type, nullptr, &data_size);
            },
            true, listing);
    }

    // The names of a value listing as an array of Variants, the end entry
    // included. Its counter is a 16-bit number: a key with 32,767 values or
    // more overflows.
    static SafeArray name_array(const Variant& listing)
    {
        SAFEARRAY* table = listing.array();
        const std::int16_t last = to_int16(upper_bound(table, 2));
        SafeArray names = SafeArray::vector(VT_VARIANT, last);
        for_int16(0, last, [&](std::int16_t c) {
            names.put_variant(c, Variant::from_string(get_string(table, 1, c)));
        });
        return names;
    }

    static Bstr get_string_of(const SafeArray& names, std::int32_t k)
    {
        std::int32_t index = k;
        void* element = nullptr;
        check_runtime(SafeArrayPtrOfIndex(names.get(), reinterpret_cast<LONG*>(&index), &element));
        return Variant::copy_of(*static_cast<VARIANT*>(element)).to_string();
    }

    // ---- Typed values ----

    static Bstr set_value(const KeyHandle& handle, Bstr name, const Variant& value)
    {
        std::string data;
        DWORD type = REG_NONE;
        const VARIANT& v = value.get();
        switch (v.vt) {
            case VT_I2:
            case VT_I4: {
                const auto number = static_cast<std::uint32_t>(v.vt == VT_I2 ? std::int32_t{v.iVal} : v.lVal);
                for (int shift = 0; shift < 32; shift += 8) {
                    data += static_cast<char>((number >> shift) & 0xFF);
                }
                type = REG_DWORD;
                break;
            }
            case VT_BSTR:
                data = to_ansi(concat(text_of(v.bstrVal, SysStringLen(v.bstrVal)), Text(u"\0", 1)).view());
                type = REG_SZ;
                break;
            case VT_BOOL:
                data = std::string(1, static_cast<char>(v.boolVal & 0xFF));
                type = REG_BINARY;
                break;
            default:
                return Bstr(u"Unsupported value type");
        }
        // The result is made before the value changes, and the name's copy
        // back may not fail a value that is stored already.
        Bstr stored{Text()};
        AnsiArg name_arg(name.slot());
        const LSTATUS status =
            RegSetValueExA(handle.get(), name_arg.get(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size()));
        if (status != ERROR_SUCCESS) {
            name_arg.restore();
            raise_service_status(status);
        }
        return stored;
    }

    // Looks the name up in the key's value listing (without regard to case)
    // and reads the first entry of a type it handles. The output stays as
    // it was when nothing is read.
    static void query_value(const KeyHandle& handle, const Bstr& name, Variant& output)
    {
        Variant listing;
        list_values(handle, listing);
        SAFEARRAY* table = listing.array();
        const Bstr sought = lower(name.view());
        const std::int32_t last = upper_bound(table, 2);
        for (std::int32_t i = 0; i <= last; ++i) {
            Bstr entry = get_string(table, 1, i);
            if (!(lower(entry.view()) == sought)) {
                continue;
            }
            const std::string type_text = to_utf8(get_string(table, 0, i).view());
            const long long type = std::strtoll(type_text.c_str(), nullptr, 10);
            if (type == REG_SZ) {
                output = read_text(handle, entry);
                return;
            }
            if (type == REG_BINARY || type == REG_DWORD) {
                output = read_by_position(handle, i, entry, static_cast<DWORD>(type));
                return;
            }
        }
    }

    // A REG_SZ value read by name, whole: one trailing zero byte dropped when
    // present; a value longer than the buffer read again at its size.
    static Variant read_text(const KeyHandle& handle, Bstr name)
    {
        if (names_nothing(name.get())) {
            return {};
        }
        std::string buffer(text_buffer_size, '\0');
        AnsiArg name_arg(name.slot());
        DWORD type = 0;
        DWORD size = text_buffer_size;
        LSTATUS status = RegQueryValueExA(handle.get(), name_arg.get(), nullptr, &type,
                                          reinterpret_cast<BYTE*>(buffer.data()), &size);
        while (status == ERROR_MORE_DATA) {
            buffer.assign(size, '\0');
            status = RegQueryValueExA(handle.get(), name_arg.get(), nullptr, &type,
                                      reinterpret_cast<BYTE*>(buffer.data()), &size);
        }
        name_arg.restore();
        check_service(status);
        if (status != ERROR_SUCCESS) {
            return {};
        }
        buffer.resize(std::min<std::size_t>(size, buffer.size()));
        if (!buffer.empty() && buffer.back() == '\0') {
            buffer.pop_back();
        }
        return Variant::from_string(from_ansi(buffer));
    }

    // A REG_BINARY (one byte) or REG_DWORD (four bytes) value read by its
    // position in the listing. A read that fails, or that meets another
    // entry there, reads nothing.
    static Variant read_by_position(const KeyHandle& handle, std::int32_t index, Bstr name, DWORD type)
    {
        unsigned char data[4] = {0, 0, 0, 0};
        DWORD size = type == REG_BINARY ? 1 : 4;
        const Bstr listed = name;
        AnsiArg name_arg(name.slot());
        DWORD capacity = static_cast<DWORD>(name_arg.size()) + 1;
        DWORD found_type = 0;
        const LSTATUS status = RegEnumValueA(handle.get(), static_cast<DWORD>(index), name_arg.get(),
                                             &capacity, nullptr, &found_type, data, &size);
        name_arg.restore();
        check_service(status);
        if (status != ERROR_SUCCESS || found_type != type || !(name_arg.first_bytes(capacity) == listed)) {
            return {};
        }
        if (type == REG_BINARY) {
            return Variant::from_bool(data[0] != 0);
        }
        return Variant::from_int32(little_endian(data));
    }
};

}  // namespace

ComPtr<_RegistryHandler> make_registry_handler()
{
    return ComPtr<_RegistryHandler>::attach(new RegistryHandler());
}

}  // namespace vh
