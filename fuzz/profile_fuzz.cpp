// Feeds the profile service arbitrary file bytes and a short run of
// requests against them: reads of values, key lists and section lists with
// null, empty or arbitrary names and defaults into buffers of 0 to 300
// bytes, and writes, key removals and section removals with null, empty or
// arbitrary strings. The file sits in a private temporary directory.
//
// Beyond crashes it checks what every caller relies on: a read never writes
// past the size it was given (a sentinel follows the buffer), its count
// stays below the size (size - 2 for a cut list) and a NUL ends the reply
// within the buffer; a value that was written reads back as written, less
// its blanks and one pair of quotes; a removal takes what a read finds, and
// removals repeated end with the default; and a write that fails leaves the
// file's bytes as they were.
//
// Input: a flags byte (bit 0: no file), a 16-bit length and the file's
// bytes, then requests, each an operation byte followed by its choices.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/support.h"
#include "platform/win32.h"

namespace {

using vh::fuzz::Input;

constexpr char sentinel = '\xA5';
constexpr std::size_t guard = 16;
constexpr int max_requests = 12;
constexpr DWORD max_size = 300;

// A string argument: null, empty or a few arbitrary bytes (a NUL among them
// ends the string the service sees).
struct Arg {
    bool null = false;
    std::string text;

    const char* get() const { return null ? nullptr : text.c_str(); }
    // What the service sees.
    std::string_view seen() const { return null ? std::string_view() : std::string_view(text.c_str()); }
};

Arg read_arg(Input& in, unsigned mode)
{
    switch (mode & 3) {
        case 0:
            return {true, {}};
        case 1:
            return {false, {}};
        default:
            return {false, in.text(24)};
    }
}

bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1A';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view unquoted(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string printable(std::string_view bytes)
{
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 32 && u < 127 && c != '\\') {
            out.push_back(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return "\"" + out + "\"";
}

// A read with a sentinel-guarded buffer; checks the reply's shape and
// returns it (the count bytes before the final NUL).
std::string guarded_read(const Arg& section, const Arg& key, const Arg& fallback, DWORD size,
                         bool null_buffer, const std::string& path)
{
    std::vector<char> buffer(size + guard, sentinel);
    char* target = (null_buffer && size == 0) ? nullptr : buffer.data();
    SetLastError(0xDEAD);
    const DWORD count =
        GetPrivateProfileStringA(section.get(), key.get(), fallback.get(), target, size, path.c_str());
    const DWORD error = GetLastError();
    const std::string what = "read of " + (section.null ? std::string("null") : printable(section.seen())) +
                             " / " + (key.null ? std::string("null") : printable(key.seen())) + ", size " +
                             std::to_string(size) + ", count " + std::to_string(count);

    for (std::size_t i = size; i < buffer.size(); ++i) {
        VH_FUZZ_CHECK(buffer[i] == sentinel, what + ": wrote past the buffer at " + std::to_string(i));
    }
    if (size == 0) {
        VH_FUZZ_CHECK(count == 0, what);
        return {};
    }
    VH_FUZZ_CHECK(count <= size - 1, what + ": count not below the size");
    VH_FUZZ_CHECK(buffer[count] == '\0', what + ": no NUL after the reply");
    // A value is the file's bytes, a NUL among them included.
    const bool list = section.null || key.null;
    if (!list) {
        VH_FUZZ_CHECK(error != ERROR_MORE_DATA || count == size - 1, what + ": a cut value is size - 1 long");
    } else if (section.null) {
        // A list of names: each ends with a NUL, and a second NUL ends the
        // list; a cut list is size - 2 bytes and two NULs.
        if (error != ERROR_MORE_DATA && count > 0) {
            VH_FUZZ_CHECK(buffer[count - 1] == '\0', what + ": last name of a list without its NUL");
        }
        if (error == ERROR_MORE_DATA && size >= 2) {
            VH_FUZZ_CHECK(count == size - 2, what + ": a cut list is size - 2 long");
            VH_FUZZ_CHECK(buffer[size - 1] == '\0' && buffer[size - 2] == '\0',
                          what + ": a cut list ends in two NULs");
        }
    }
    return std::string(buffer.data(), count);
}

void read_request(Input& in, const std::string& path)
{
    const std::uint8_t modes = in.byte();
    const Arg section = read_arg(in, modes);
    const Arg key = read_arg(in, modes >> 2);
    const Arg fallback = read_arg(in, modes >> 4);
    const DWORD size = in.u16() % (max_size + 1);
    guarded_read(section, key, fallback, size, (modes & 0x40) != 0, path);
}

// A value read with room to spare, the default being a marker no file holds.
std::string read_back(const Arg& section, const Arg& key, const std::string& path)
{
    const Arg marker{false, "\x01missing"};
    return guarded_read(section, key, marker, 4096, false, path);
}

void write_request(Input& in, const std::string& path)
{
    const std::uint8_t modes = in.byte();
    const Arg section = read_arg(in, modes);
    const Arg key = read_arg(in, modes >> 2);
    const Arg value = read_arg(in, modes >> 4);

    bool was_missing = false;
    const std::string before = vh::fuzz::read_file(path, &was_missing);
    const BOOL written = WritePrivateProfileStringA(section.get(), key.get(), value.get(), path.c_str());
    const DWORD error = GetLastError();
    const std::string what = "write of " + (section.null ? std::string("null") : printable(section.seen())) +
                             " / " + (key.null ? std::string("null") : printable(key.seen())) + " = " +
                             (value.null ? std::string("null") : printable(value.seen()));

    if (!written) {
        bool missing = false;
        const std::string after = vh::fuzz::read_file(path, &missing);
        VH_FUZZ_CHECK(missing == was_missing && after == before,
                      what + " failed (error " + std::to_string(error) + ") and changed the file from " +
                          printable(before) + " to " + printable(after));
        return;
    }
    if (section.null) {
        return;  // cannot succeed; the check above covers it
    }
    if (key.null || value.null) {
        // A removal takes the first section or entry of its name, and the
        // file shrinks; removing again until a read finds nothing ends
        // before the file's lines do.
        const std::size_t lines =
            static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n')) + 1;
        std::size_t removals = 1;
        std::string after = vh::fuzz::read_file(path);
        while (read_back(section, key, path) != "\x01missing") {
            VH_FUZZ_CHECK(removals <= lines,
                          what + ": still found after " + std::to_string(removals) + " removals");
            VH_FUZZ_CHECK(WritePrivateProfileStringA(section.get(), key.get(), value.get(), path.c_str()),
                          what + ": a removal again failed");
            const std::string shorter = vh::fuzz::read_file(path);
            VH_FUZZ_CHECK(shorter.size() < after.size(), what + ": a removal left the file as it was");
            after = shorter;
            ++removals;
        }
        return;
    }
    const std::string got = read_back(section, key, path);
    const std::string_view expected = unquoted(trimmed(value.seen()));
    VH_FUZZ_CHECK(got == expected, what + ": reads back " + printable(got) + ", expected " +
                                       printable(expected) + "; file " +
                                       printable(vh::fuzz::read_file(path)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = vh::fuzz::private_directory() + "/fuzz.ini";
    Input in(data, size);
    const std::uint8_t flags = in.byte();
    const std::string content = in.bytes(in.u16());
    vh::fuzz::remove_file(path);
    if ((flags & 1) == 0) {
        vh::fuzz::write_file(path, content);
    }
    for (int i = 0; i < max_requests && !in.empty(); ++i) {
        if ((in.byte() & 1) != 0) {
            write_request(in, path);
        } else {
            read_request(in, path);
        }
    }
    return 0;
}
