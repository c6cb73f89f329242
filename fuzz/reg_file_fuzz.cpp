// Feeds the .reg text codec of the client arbitrary files: parses them, and
// writes what they set and parses that again, with the codec alone; then
// imports them into an empty store, exports what they made and imports that
// into a second empty store.
//
// Besides crashes and hangs, it checks what a user relies on:
//  - what the codec writes reads back as the same keys and values;
//  - a file the parser refuses names a line and changes nothing;
//  - a file that imports (wholly, or up to a key the service refused) gives
//    a store whose export imports without complaint into an empty store and
//    gives the same tree there: the same keys, and every value with the same
//    type and bytes;
//  - exporting that second store gives the same text again;
//  - every key handle opened is closed.
//
// Input: the first byte chooses the encoding of the rest. Odd: the rest is
// UTF-8 text that is written out as UTF-16LE with its byte-order mark, as
// the platform's editor saves files; even: the rest is the file's bytes as
// they are (UTF-8 with or without a mark, REGEDIT4 in the ANSI code page, or
// anything at all).
#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/reg_file.h"
#include "cli/reg_text.h"
#include "fuzz/support.h"
#include "platform/win32.h"
#include "tests/support/environment.h"
#include "tests/support/registry_dump.h"

namespace {

const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};

// Points the registry service at an empty store of the given name.
void use_fresh_store(const char* name)
{
    const std::string path = vh::fuzz::private_directory() + "/" + name + ".db";
    for (const char* suffix : {"", "-wal", "-shm", "-journal", "-changes"}) {
        vh::fuzz::remove_file(path + suffix);
    }
    vh::test::set_environment("VORNHALL_REGISTRY", path.c_str());
}

// Every key and value of the store.
std::string whole_store()
{
    std::string out;
    for (const HKEY root : roots) {
        out += vh::test::dump(root) + "--\n";
    }
    return out;
}

// The export of each root: one .reg file each.
std::vector<std::string> export_store()
{
    std::vector<std::string> files;
    for (const HKEY root : roots) {
        files.push_back(vh::export_tree(root, ""));
    }
    return files;
}

// UTF-8 bytes (invalid ones replaced) as UTF-16LE with its byte-order mark.
std::string as_utf16le(const std::string& text)
{
    std::string bytes = "\xFF\xFE";
    if (text.empty()) {
        return bytes;
    }
    std::u16string wide(text.size(), u'\0');
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                            reinterpret_cast<LPWSTR>(wide.data()), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    for (const char16_t unit : wide) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string empty_store_text;

// The values a section sets, in its order.
std::vector<vh::RegValue> values_set(const vh::RegSection& section)
{
    std::vector<vh::RegValue> values;
    for (const vh::RegValueChange& change : section.values) {
        if (!change.remove) {
            values.push_back(vh::RegValue{change.name, change.type, change.data});
        }
    }
    return values;
}

// The codec alone: every section that sets keys and values, written and
// parsed again, gives the same keys and values.
void check_codec_round_trip(const std::string& file)
{
    std::vector<vh::RegSection> sections;
    try {
        sections = vh::parse_reg_text(file);
    } catch (const vh::RegFileError& error) {
        VH_FUZZ_CHECK(error.line() > 0 && error.status() == ERROR_SUCCESS,
                      std::string("a malformed file without a line: ") + error.what());
        return;
    }
    std::string written = vh::reg_text_header();
    std::vector<const vh::RegSection*> kept;
    for (const vh::RegSection& section : sections) {
        if (!section.remove) {
            vh::append_reg_section(written, section.root, section.path, values_set(section));
            kept.push_back(&section);
        }
    }
    std::vector<vh::RegSection> again;
    try {
        again = vh::parse_reg_text(written);
    } catch (const vh::RegFileError& error) {
        VH_FUZZ_CHECK(false, std::string("written text does not parse: ") + error.what() + "\n" + written);
    }
    VH_FUZZ_CHECK(again.size() == kept.size(), "written text has other sections:\n" + written);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const std::vector<vh::RegValue> want = values_set(*kept[i]);
        VH_FUZZ_CHECK(again[i].root == kept[i]->root && again[i].path == kept[i]->path && !again[i].remove &&
                          again[i].values.size() == want.size(),
                      "a written section reads back as another:\n" + written);
        for (std::size_t v = 0; v < want.size(); ++v) {
            const vh::RegValueChange& got = again[i].values[v];
            VH_FUZZ_CHECK(got.name == want[v].name && got.type == want[v].type && got.data == want[v].data &&
                              !got.remove,
                          "a written value reads back as another:\n" + written);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string file = (data[0] & 1) != 0 ? as_utf16le(rest) : rest;
    check_codec_round_trip(file);

    use_fresh_store("first");
    if (empty_store_text.empty()) {
        empty_store_text = whole_store();
    }
    try {
        vh::import_text(file);
    } catch (const vh::RegFileError& error) {
        if (error.status() == ERROR_SUCCESS) {
            VH_FUZZ_CHECK(error.line() > 0, std::string("a malformed file without a line: ") + error.what());
            VH_FUZZ_CHECK(whole_store() == empty_store_text,
                          std::string("a malformed file changed the store: ") + error.what());
            VH_FUZZ_CHECK(VhRegOpenHandleCount() == 0, "an import left a key open");
            return 0;
        }
        // The service refused a key or value: what came before stays, and
        // that store must go both ways like any other.
    }
    VH_FUZZ_CHECK(VhRegOpenHandleCount() == 0, "an import left a key open");
    const std::string imported = whole_store();
    std::vector<std::string> exported;
    try {
        exported = export_store();
    } catch (const vh::RegFileError& error) {
        VH_FUZZ_CHECK(false, std::string("the export of an imported store failed: ") + error.what());
    }

    use_fresh_store("second");
    for (const std::string& text : exported) {
        try {
            vh::import_text(text);
        } catch (const vh::RegFileError& error) {
            VH_FUZZ_CHECK(false, std::string("an export does not import: ") + error.what() + "\n" + text);
        }
    }
    VH_FUZZ_CHECK(whole_store() == imported, "the export imports as another tree:\n" + imported);
    VH_FUZZ_CHECK(export_store() == exported, "a second export differs from the first");
    VH_FUZZ_CHECK(VhRegOpenHandleCount() == 0, "an export or import left a key open");
    return 0;
}
