#include "cli/output.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace vh::cli {

namespace {

// The length of the UTF-8 sequence at the start of text and its code point;
// 0 when it is not one (a stray, overlong or cut sequence, a surrogate).
std::size_t utf8_sequence(std::string_view text, char32_t& code)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(0);
    const std::size_t length = first < 0x80           ? 1
                               : (first >> 5) == 0x6  ? 2
                               : (first >> 4) == 0xE  ? 3
                               : (first >> 3) == 0x1E ? 4
                                                      : 0;
    if (length == 0 || length > text.size()) {
        return 0;
    }
    code = length == 1 ? first : first & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(i) & 0x3F);
    }
    static const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool is_control(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

std::string escaped(const char* format, unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string json_string(std::string_view text)
{
    std::string out = "\"";
    while (!text.empty()) {
        char32_t code = 0;
        const std::size_t sequence = utf8_sequence(text, code);
        const std::size_t length = std::max<std::size_t>(sequence, 1);
        switch (text[0]) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (sequence != 0 && is_control(code)) {
                    out += escaped("\\u%04x", static_cast<unsigned>(code));
                } else {
                    out.append(text.substr(0, length));
                }
        }
        text.remove_prefix(length);
    }
    return out + "\"";
}

std::string terminal_text(std::string_view text)
{
    std::string out;
    while (!text.empty()) {
        char32_t code = 0;
        const std::size_t length = utf8_sequence(text, code);
        if (length == 0) {
            out += escaped("\\x%02x", static_cast<unsigned char>(text[0]));
            text.remove_prefix(1);
            continue;
        }
        if (is_control(code)) {
            out += code < 0x80 ? escaped("\\x%02x", static_cast<unsigned>(code))
                               : escaped("\\u%04x", static_cast<unsigned>(code));
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

Output::Output(bool json)
    : m_json(json), m_out_terminal(isatty(STDOUT_FILENO) != 0), m_error_terminal(isatty(STDERR_FILENO) != 0)
{
}

std::string Output::shown(const std::string& text) const
{
    return m_out_terminal ? terminal_text(text) : text;
}

std::string Output::shown_on_error(const std::string& text) const
{
    return m_error_terminal ? terminal_text(text) : text;
}

void Output::result(const std::string& plain, const std::string& json_value) const
{
    if (m_json) {
        std::printf("{\"result\": %s}\n", json_value.c_str());
    } else {
        std::printf("%s\n", shown(plain).c_str());
    }
}

void Output::names(const std::vector<std::string>& list) const
{
    std::vector<std::string> json;
    for (const auto& name : list) {
        json.push_back(json_string(name));
    }
    records(list, json);
}

void Output::records(const std::vector<std::string>& plain, const std::vector<std::string>& json) const
{
    if (!m_json) {
        for (const auto& line : plain) {
            std::printf("%s\n", shown(line).c_str());
        }
        return;
    }
    std::string out = "[";
    for (std::size_t i = 0; i < json.size(); ++i) {
        out += (i == 0 ? "" : ", ") + json[i];
    }
    std::printf("%s]\n", out.c_str());
}

void Output::done() const
{
    if (m_json) {
        std::printf("{\"ok\": true}\n");
    }
}

void Output::failure(const std::string& message, int code) const
{
    progress_end();
    std::fprintf(stderr, "vornhall: %s\n", shown_on_error(message).c_str());
    if (m_json) {
        std::printf("{\"ok\": false, \"exit\": %d, \"error\": %s}\n", code, json_string(message).c_str());
    }
}

void Output::progress(const std::string& line) const
{
    if (m_error_terminal) {
        std::fprintf(stderr, "\r%s\033[K", terminal_text(line).c_str());
        std::fflush(stderr);
        m_progress_shown = true;
    }
}

void Output::progress_end() const
{
    if (m_progress_shown) {
        std::fprintf(stderr, "\r\033[K");
        m_progress_shown = false;
    }
}

}  // namespace vh::cli
