// iniHandler.
//
// An object holds one thing, the path of its file (mstrFileName). Every
// operation is one request to the profile service with a reply buffer of
// 255 bytes; nothing is cached. Each string argument goes to the service in
// the ANSI code page and comes back into its variable (automation/ansi.h), the
// file name included, so after the first request FileName reports the path
// as the service received it.
//
// GetValue, WriteValue, DeleteSection and DeleteKey handle every error
// themselves: GetValue then gives its default, the others False, and the
// call succeeds. FileName and the two listings let errors through as
// their status.
#include "ini/ini_handler.h"

#include <algorithm>

#include "automation/ansi.h"
#include "automation/collection.h"
#include "automation/frame.h"
#include "automation/object.h"
#include "ini/ini_members.h"
#include "platform/files.h"

namespace vh {

namespace {

constexpr DWORD reply_size = 255;

// A string argument that must reach the service whole: a NUL would cut it
// short there and name a different entry.
bool cut_short(const Bstr& text)
{
    return text.contains(u'\0');
}

// A value that would add lines of its own to the file.
bool breaks_lines(const Bstr& text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}

class IniHandler final : public DispatchObject<_iniHandler> {
public:
    HRESULT STDMETHODCALLTYPE put_FileName(BSTR INIFileName) override
    {
        return run_member(this, [&] {
            Bstr path = Bstr::copy_of(INIFileName);
            if (cut_short(path)) {
                raise_error(err::bad_file_name);
            }
            const std::string bytes = to_ansi(path.view());
            const platform::FileProbe probe = platform::find_file(bytes.c_str());
            if (probe.error != 0) {
                raise_error(probe.error);
            }
            if (!probe.found) {
                if (const int error = platform::create_empty_file(bytes.c_str()); error != 0) {
                    raise_error(error);
                }
            }
            m_file_name = std::move(path);
        });
    }

    HRESULT STDMETHODCALLTYPE get_FileName(BSTR* result) override
    {
        return run_member(this, result, [&](Bstr& out) { out = m_file_name; });
    }

    HRESULT STDMETHODCALLTYPE GetValue(BSTR Section, BSTR Key, BSTR DefaultValue, BSTR* result) override
    {
        return run_member(this, result, [&](Bstr& out) {
            try {
                Bstr section = Bstr::copy_of(Section);
                Bstr key = Bstr::copy_of(Key);
                Bstr default_value = Bstr::copy_of(DefaultValue);
                out = trim_spaces(read_profile(section, key, default_value).view());
            } catch (...) {
                out = Bstr::copy_of(DefaultValue);
            }
        });
    }

    HRESULT STDMETHODCALLTYPE WriteValue(BSTR Section, BSTR Key, BSTR Value, VARIANT_BOOL* result) override
    {
        return run_member(this, result, [&](VARIANT_BOOL& out) {
            out = guarded_write([&] {
                Bstr section = Bstr::copy_of(Section);
                Bstr key = Bstr::copy_of(Key);
                Bstr value = Bstr::copy_of(Value);
                if (cut_short(section) || cut_short(key) || cut_short(value) || breaks_lines(section) ||
                    breaks_lines(key) || breaks_lines(value)) {
                    return false;
                }
                return write_profile(section, key, value);
            });
        });
    }

    HRESULT STDMETHODCALLTYPE DeleteSection(BSTR Section, VARIANT_BOOL* result) override
    {
        return run_member(this, result, [&](VARIANT_BOOL& out) {
            out = guarded_write([&] {
                Bstr section = Bstr::copy_of(Section);
                if (cut_short(section)) {
                    return false;
                }
                Bstr key;                   // null: the whole section
                Bstr value = Bstr(Text());  // ""
                return write_profile(section, key, value);
            });
        });
    }

    HRESULT STDMETHODCALLTYPE DeleteKey(BSTR Section, BSTR Key, VARIANT_BOOL* result) override
    {
        return run_member(this, result, [&](VARIANT_BOOL& out) {
            out = guarded_write([&] {
                Bstr section = Bstr::copy_of(Section);
                Bstr key = Bstr::copy_of(Key);
                if (cut_short(section) || cut_short(key)) {
                    return false;
                }
                Bstr value;  // null: remove the entry
                return write_profile(section, key, value);
            });
        });
    }

    HRESULT STDMETHODCALLTYPE GetAllSections(_Collection** result) override
    {
        return run_member(this, result, [&](ComPtr<_Collection>& out) {
            Bstr section;             // null: list the sections
            Bstr key = Bstr(Text());  // ""
            out = list_names(section, key);
        });
    }

    HRESULT STDMETHODCALLTYPE GetAllKeys(BSTR Section, _Collection** result) override
    {
        return run_member(this, result, [&](ComPtr<_Collection>& out) {
            Bstr section = Bstr::copy_of(Section);
            Bstr key;  // null: list the keys
            out = list_names(section, key);
        });
    }

private:
    // One GetPrivateProfileStringA request with a fresh 255-byte reply
    // buffer. Returns the reply's first n bytes as text, n being the count
    // the service reports.
    Bstr read_profile(Bstr& section, Bstr& key, Bstr& default_value)
    {
        Bstr reply = repeat(u'\0', reply_size);
        AnsiArg section_arg(section.slot());
        AnsiArg key_arg(key.slot());
        AnsiArg default_arg(default_value.slot());
        AnsiArg reply_arg(reply.slot());
        AnsiArg file_arg(m_file_name.slot());
        const DWORD size = std::min<DWORD>(reply_size, static_cast<DWORD>(reply_arg.size()));
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetPrivateProfileStringA(section_arg.get(), key_arg.get(), default_arg.get(),
                                                 reply_arg.get(), size, file_arg.get());
        // A service that ran out of memory replies with nothing, which would
        // read as an empty value or listing: it is this call's error instead.
        if (const DWORD error = GetLastError();
            error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY) {
            raise_error(err::out_of_memory);
        }
        section_arg.restore();
        key_arg.restore();
        default_arg.restore();
        reply_arg.restore();
        file_arg.restore();
        return reply_arg.first_bytes(static_cast<std::size_t>(to_int16(n)));
    }

    // One WritePrivateProfileStringA request; true when the service stored
    // the change.
    bool write_profile(Bstr& section, Bstr& key, Bstr& value)
    {
        AnsiArg section_arg(section.slot());
        AnsiArg key_arg(key.slot());
        AnsiArg value_arg(value.slot());
        AnsiArg file_arg(m_file_name.slot());
        const BOOL stored =
            WritePrivateProfileStringA(section_arg.get(), key_arg.get(), value_arg.get(), file_arg.get());
        try {
            section_arg.restore();
            key_arg.restore();
            value_arg.restore();
            file_arg.restore();
        } catch (...) {
            // The file has changed already: a change the service stored is
            // reported as stored even when copying the strings back fails.
            if (stored == FALSE) {
                throw;
            }
        }
        return to_int16(stored) != 0;
    }

    // The names of a listing reply, in the service's order, empty ones left out.
    ComPtr<_Collection> list_names(Bstr& section, Bstr& key)
    {
        Bstr default_value = Bstr(Text());
        const Bstr text = trim_spaces(read_profile(section, key, default_value).view());
        SafeArray pieces = split(text.view(), u'\0');
        ComPtr<_Collection> names = make_collection();
        VARIANT missing;
        VariantInit(&missing);
        missing.vt = VT_ERROR;
        missing.scode = DISP_E_PARAMNOTFOUND;
        const std::int32_t last = pieces.upper_bound(1);
        for (std::int32_t i = 0; i <= last; ++i) {
            BSTR* piece = pieces.string_slot(i);
            if (SysStringLen(*piece) == 0) {
                continue;
            }
            VARIANT item;
            VariantInit(&item);
            item.vt = static_cast<VARTYPE>(VT_BYREF | VT_BSTR);
            item.pbstrVal = piece;
            check_call(names->Add(&item, &missing, &missing, &missing));
        }
        return names;
    }

    template <class Write>
    static VARIANT_BOOL guarded_write(Write&& write) noexcept
    {
        try {
            return write() ? VARIANT_TRUE : VARIANT_FALSE;
        } catch (...) {
            return VARIANT_FALSE;
        }
    }

    Bstr m_file_name;  // mstrFileName
};

}  // namespace

ComPtr<_iniHandler> make_ini_handler()
{
    return ComPtr<_iniHandler>::attach(new IniHandler());
}

}  // namespace vh
