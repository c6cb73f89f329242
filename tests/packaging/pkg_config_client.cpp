// A C++ program built as a user of the Debian package builds one: with the
// flags of "pkg-config --cflags --libs vornhall" and nothing from the
// source tree. It creates both classes through the registration in the
// registry store, as the README shows, and prints what it read.
//
// Usage: pkg_config_client <ini file>; exits 0 when every call succeeded.
#include <cstdio>
#include <string>

#include "module/vornhall.h"
#include "platform/win32.h"

namespace {

int failures = 0;

void expect(bool ok, const char* what)
{
    if (!ok) {
        std::printf("failed: %s\n", what);
        ++failures;
    }
}

std::string narrow(BSTR text)
{
    std::string out;
    for (UINT i = 0; text != nullptr && i < SysStringLen(text); ++i) {
        out += static_cast<char>(text[i]);  // the test's texts are ASCII
    }
    return out;
}

template <class I>
I* create(const char16_t* prog_id, const IID& iid)
{
    CLSID clsid{};
    I* object = nullptr;
    if (FAILED(CLSIDFromProgID(prog_id, &clsid)) ||
        FAILED(
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(&object)))) {
        return nullptr;
    }
    return object;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 2;
    }
    CoInitialize(nullptr);

    vh::_iniHandler* ini = create<vh::_iniHandler>(u"Vornhall.iniHandler", vh::IID__iniHandler);
    expect(ini != nullptr, "create Vornhall.iniHandler");
    if (ini != nullptr) {
        std::u16string path(argv[1], argv[1] + std::char_traits<char>::length(argv[1]));
        BSTR file = SysAllocString(path.c_str());
        BSTR section = SysAllocString(u"S");
        BSTR key = SysAllocString(u"K");
        BSTR written = SysAllocString(u"from C++");
        BSTR other = SysAllocString(u"Other");
        expect(ini->put_FileName(file) == S_OK, "FileName");
        BSTR value = nullptr;
        expect(ini->GetValue(section, key, nullptr, &value) == S_OK, "GetValue");
        std::printf("ini S K = %s\n", narrow(value).c_str());
        SysFreeString(value);
        VARIANT_BOOL stored = VARIANT_FALSE;
        expect(ini->WriteValue(section, other, written, &stored) == S_OK && stored == VARIANT_TRUE,
               "WriteValue");
        SysFreeString(file);
        SysFreeString(section);
        SysFreeString(key);
        SysFreeString(written);
        SysFreeString(other);
        ini->Release();
    }

    vh::_RegistryHandler* reg =
        create<vh::_RegistryHandler>(u"Vornhall.RegistryHandler", vh::IID__RegistryHandler);
    expect(reg != nullptr, "create Vornhall.RegistryHandler");
    if (reg != nullptr) {
        BSTR path = SysAllocString(u"Software\\FromCpp");
        BSTR name = SysAllocString(u"Count");
        VARIANT number;
        VariantInit(&number);
        number.vt = VT_I4;
        number.lVal = 42;
        BSTR outcome = nullptr;
        expect(reg->WriteRegValue(vh::HKEYS::current_user, path, name, number, &outcome) == S_OK &&
                   SysStringLen(outcome) == 0,
               "WriteRegValue");
        SysFreeString(outcome);
        vh::HKEYS root = vh::HKEYS::current_user;
        VARIANT read;
        VariantInit(&read);
        expect(reg->ReadRegValue(&root, &path, &name, &read) == S_OK && read.vt == VT_I4, "ReadRegValue");
        std::printf("registry Count = %d\n", static_cast<int>(read.lVal));
        VariantClear(&read);
        SysFreeString(path);
        SysFreeString(name);
        reg->Release();
    }

    CoFreeUnusedLibraries();
    CoUninitialize();
    return failures == 0 ? 0 : 1;
}
