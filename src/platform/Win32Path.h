#pragma once
// The driver keeps paths and command-line text as UTF-8; Windows takes and
// gives any Unicode name only through its wide (UTF-16) calls. The ANSI calls
// would pass names through the system's ANSI code page, which lacks most
// letters. Included by the Win32*.cpp files only.
#include <string>

namespace platform {

// UTF-8 to UTF-16 for a wide call; bytes that are not UTF-8 become U+FFFD.
std::wstring WidePath(const std::string& utf8);
// UTF-16 from a wide call to UTF-8.
std::string Utf8FromWide(const wchar_t* wide, size_t length);
std::string Utf8FromWide(const wchar_t* wide);  // NUL-terminated

}  // namespace platform
