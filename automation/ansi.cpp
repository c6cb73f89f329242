#include "automation/ansi.h"

namespace vh {

namespace {

// A character the code page lacks becomes its default character, never a
// look-alike that would name something else. UTF-8 lacks nothing, and
// takes no such flag.
DWORD conversion_flags()
{
    return GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
}

}  // namespace

std::string to_ansi(Text text)
{
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const DWORD flags = conversion_flags();
    const int needed = WideCharToMultiByte(CP_ACP, flags, ole(text), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        raise_error(err::out_of_memory);
    }
    std::string bytes(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_ACP, flags, ole(text), length, bytes.data(), needed, nullptr, nullptr) !=
        needed) {
        raise_error(err::out_of_memory);
    }
    return bytes;
}

Bstr from_ansi(std::string_view bytes)
{
    if (bytes.empty()) {
        return Bstr(Text());
    }
    const int length = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) {
        raise_error(err::out_of_memory);
    }
    Bstr text;
    *text.put() = SysAllocStringLen(nullptr, static_cast<UINT>(needed));
    if (text.is_null()) {
        raise_error(err::out_of_memory);
    }
    if (MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, text.get(), needed) != needed) {
        raise_error(err::out_of_memory);
    }
    return text;
}

AnsiArg::AnsiArg(BSTR& variable)
    : m_variable(&variable),
      m_bytes(variable == nullptr ? std::string() : to_ansi(text_of(variable, SysStringLen(variable)))),
      m_null(variable == nullptr)
{
}

void AnsiArg::restore()
{
    if (!m_null) {
        assign(*m_variable, from_ansi(m_bytes));
    }
}

Bstr AnsiArg::first_bytes(std::size_t n) const
{
    return from_ansi(std::string_view(m_bytes).substr(0, n));
}

}  // namespace vh
