#include "platform/Win32Path.h"

#include <windows.h>

#include <cwchar>

namespace platform {

std::wstring WidePath(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int size = static_cast<int>(utf8.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), units);
    return wide;
}

std::string Utf8FromWide(const wchar_t* wide, size_t length) {
    if (wide == nullptr || length == 0) return std::string();
    const int size = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, size, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

std::string Utf8FromWide(const wchar_t* wide) {
    return wide == nullptr ? std::string() : Utf8FromWide(wide, std::wcslen(wide));
}

}  // namespace platform
