#include "tests/cli/malformed_reg_files.h"

#include "platform/win32.h"

namespace vh::test {

using namespace std::string_literals;

std::string utf16le_file(const std::string& text)
{
    std::u16string wide(text.size(), u'\0');
    wide.resize(static_cast<std::size_t>(MultiByteToWideChar(
        CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), static_cast<int>(wide.size()))));
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : wide) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string deep_path(int levels)
{
    std::string path = "k";
    for (int level = 1; level < levels; ++level) {
        path += "\\k";
    }
    return path;
}

std::vector<MalformedRegFile> malformed_reg_files()
{
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
    const std::string good = header + "[HKEY_CURRENT_USER\\Software\\New]\r\n\"ok\"=dword:1\r\n"s;
    return {
        {"", 1, "first line"},
        {"REGEDIT5\r\n\r\n[HKEY_CURRENT_USER\\Software\\New]\r\n", 1, "first line"},
        {header + "\"a\"=\"x\"\r\n"s, 3, "before any [key]"},
        {good + "\"a\"=\"unterminated\r\n", 5, "unterminated string"},
        {good + "\"a\"=\"C:\\dir\"\r\n", 5, "unknown escape \\d"},
        {good + "\"a\"=hex:01,zz,03\r\n", 5, "bad hex byte \"zz\""},
        {good + "\"a\"=hex:01,02,\\\r\n  03,,04\r\n", 6, "bad hex byte \"\""},
        {good + "\"a\"=hex:01,\\\r\n", 6, "has no next line"},
        {good + "\"a\"=hex:01,\\", 5, "has no next line"},
        {good + "\"a\"=hex(2x):00\r\n", 5, "hex(type)"},
        {good + "\"a\"=hex(7)\r\n", 5, "hex(type)"},
        {good + "\"a\"=hex(7", 5, "hex(type)"},
        {good + "[HKEY_CURRENT_USER\\Software\\" + deep_path(512) + "]\r\n", 5, "513 levels deep"},
        {good + "[HKEY_CURRENT_USER\\Soft\rware]\r\n", 5, "carriage return"},
        {good + "\"a\rb\"=\"x\"\r\n", 5, "carriage return"},
        {good + "\"a\"=dword:123456789\r\n", 5, "1 to 8 hex digits"},
        {good + "\"a\"=str:\"x\"\r\n", 5, "unknown data"},
        {good + "\"a\"=\"x\" y\r\n", 5, "unexpected text"},
        {good + "a=1\r\n", 5, "expected [key]"},
        {good + "\"a\" 1\r\n", 5, "expected \"=\""},
        {good + "[HKEY_CURRENT_CONFIG\\Software]\r\n", 5, "unknown root key \"HKEY_CURRENT_CONFIG\""},
        {good + "[HKCU\\Software]\r\n", 5, "unknown root key \"HKCU\""},
        {good + "[HKEY_CURRENT_USER\\Software\r\n", 5, "must end with \"]\""},
        {good + "[HKEY_CURRENT_USER\\Software\\\\X]\r\n", 5, "empty key name"},
        {good + "[-HKEY_CURRENT_USER]\r\n", 5, "root key cannot be removed"},
        {good + "[-HKEY_CURRENT_USER\\Software\\Old]\r\n\"a\"=-\r\n", 6, "removed"},
        {good + "\"a\"=\"x\0y\"\r\n"s, 5, "zero byte"},
        {utf16le_file(good + "\"") + "\x00\xD8"s, 5, "lone UTF-16 surrogate"},
    };
}

}  // namespace vh::test
