#include "tests/differential/transcript.h"

namespace vh::differential {

namespace {

constexpr char digits[] = "0123456789abcdef";

// A JSON string of bytes, each byte one character.
std::string quoted(std::string_view bytes)
{
    std::string text = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            text += "\\u00";
            text += digits[byte >> 4];
            text += digits[byte & 0xF];
        }
    }
    return text + "\"";
}

}  // namespace

Line::Line(std::string_view op) : m_text("{\"op\":" + quoted(op))
{
}

void Line::key(std::string_view name)
{
    m_text += "," + quoted(name) + ":";
}

Line& Line::number(std::string_view name, long long value)
{
    key(name);
    m_text += std::to_string(value);
    return *this;
}

Line& Line::bytes(std::string_view name, std::string_view value)
{
    key(name);
    m_text += quoted(value);
    return *this;
}

Line& Line::list(std::string_view name, const std::vector<std::string>& values)
{
    key(name);
    m_text += "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        m_text += (i == 0 ? "" : ",") + quoted(values[i]);
    }
    m_text += "]";
    return *this;
}

void Line::write(std::FILE* out) const
{
    std::fputs(m_text.c_str(), out);
    std::fputs("}\n", out);
}

std::string hex(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

std::uint64_t Random::next()
{
    std::uint64_t z = (m_state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

}  // namespace vh::differential
