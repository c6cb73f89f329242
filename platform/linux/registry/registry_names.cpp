#include "platform/linux/registry/registry_names.h"

#include <climits>
#include <cstring>

#include "platform/linux/win32_failure.h"

namespace vh::registry {

std::u16string to_wide(LPCSTR text)
{
    if (text == nullptr || *text == '\0') {
        return {};
    }
    const std::size_t length = std::strlen(text);
    if (length > static_cast<std::size_t>(INT_MAX)) {
        throw Win32Failure(ERROR_INVALID_PARAMETER);
    }
    const int bytes = static_cast<int>(length);
    const int needed = MultiByteToWideChar(CP_ACP, 0, text, bytes, nullptr, 0);
    if (needed <= 0) {
        throw Win32Failure(ERROR_INVALID_PARAMETER);
    }
    std::u16string wide(static_cast<std::size_t>(needed), u'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text, bytes, wide.data(), needed) != needed) {
        throw Win32Failure(ERROR_INVALID_PARAMETER);
    }
    return wide;
}

std::string to_ansi(const std::u16string& text)
{
    if (text.empty()) {
        return {};
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        throw Win32Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    const int units = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        throw Win32Failure(ERROR_CANTREAD);
    }
    std::string bytes(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, text.data(), units, bytes.data(), needed, nullptr, nullptr) !=
        needed) {
        throw Win32Failure(ERROR_CANTREAD);
    }
    return bytes;
}

std::vector<std::u16string> split_path(const std::u16string& path)
{
    if (!path.empty() && path.front() == u'\\') {
        throw Win32Failure(ERROR_BAD_PATHNAME);
    }
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

}  // namespace vh::registry
