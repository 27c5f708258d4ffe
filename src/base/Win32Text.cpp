#include "base/Win32Text.h"

#include "base/Text.h"

#include <windows.h>

namespace kelvara {

std::wstring WidenUtf8(std::string_view utf8)
{
    if (utf8.empty()) return std::wstring();
    // MultiByteToWideChar would drop or refuse invalid bytes; the core's own
    // decoder replaces them, so the result is never shorter than the text.
    const std::string valid = IsValidUtf8(utf8) ? std::string(utf8) : SanitizeUtf8(utf8);
    const int n = MultiByteToWideChar(CP_UTF8, 0, valid.data(), int(valid.size()), nullptr, 0);
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, valid.data(), int(valid.size()), wide.data(), n);
    return wide;
}

std::string NarrowUtf16(std::wstring_view wide)
{
    if (wide.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::string Win32ErrorMessage(unsigned long code)
{
    wchar_t* text = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n > 0 && text ? std::wstring(text, n) : std::wstring();
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
        message.pop_back();
    if (message.empty()) return "System error " + std::to_string(code);
    return NarrowUtf16(message);
}

} // namespace kelvara
