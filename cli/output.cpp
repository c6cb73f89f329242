#include "cli/output.h"

#include <unistd.h>

namespace vh::cli {

std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
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
            if (byte < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                out += escape;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

void Output::result(const std::string& plain, const std::string& json_value) const
{
    if (m_json) {
        std::printf("{\"result\": %s}\n", json_value.c_str());
    } else {
        std::printf("%s\n", plain.c_str());
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
            std::printf("%s\n", line.c_str());
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
    std::fprintf(stderr, "vornhall: %s\n", message.c_str());
    if (m_json) {
        std::printf("{\"ok\": false, \"exit\": %d, \"error\": %s}\n", code, json_string(message).c_str());
    }
}

void Output::progress(const std::string& line) const
{
    if (isatty(STDERR_FILENO) != 0) {
        std::fprintf(stderr, "\r%s\033[K", line.c_str());
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
