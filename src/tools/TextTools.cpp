#include "tools/TextTools.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "errors/Exceptions.h"
#include "platform/Process.h"

namespace {
constexpr char Module[] = "src/tools";
}

std::string FormatString(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return std::string();
    return std::string(buffer);
}

int HexDigitValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return 0;
}

char HexDigitChar(int value) {
    if (value < 0 || value > 15) THROW_INTERNAL_ERROR(Module);
    return "0123456789ABCDEF"[value];
}

void TrimLeftChars(char* buffer, const char* set) {
    if (buffer == nullptr || set == nullptr) THROW_INTERNAL_ERROR(Module);
    size_t skip = 0;
    while (buffer[skip] != '\0' && std::strchr(set, buffer[skip]) != nullptr) ++skip;
    if (skip == 0) return;
    size_t length = std::strlen(buffer);
    std::memmove(buffer, buffer + skip, length - skip + 1);
    std::memset(buffer + length - skip, 0, skip);
}

void TrimRightChars(char* buffer, const char* set) {
    if (buffer == nullptr || set == nullptr) THROW_INTERNAL_ERROR(Module);
    size_t length = std::strlen(buffer);
    while (length > 0 && std::strchr(set, buffer[length - 1]) != nullptr) --length;
    buffer[length] = '\0';
}

void TrimChars(char* buffer, const char* set) {
    TrimLeftChars(buffer, set);
    TrimRightChars(buffer, set);
}

void ReplaceChars(char* buffer, const char* set, char ch) {
    if (buffer == nullptr || set == nullptr) THROW_INTERNAL_ERROR(Module);
    // The length is taken again after every character: replacing by NUL ends the text.
    for (size_t i = 0; i < std::strlen(buffer); ++i) {
        if (std::strchr(set, buffer[i]) != nullptr) buffer[i] = ch;
    }
}

std::string TrimString(const std::string& text, const char* set) {
    if (set == nullptr) THROW_INTERNAL_ERROR(Module);
    // A plain loop over the few characters of `set`: find_first_not_of
    // looks each character up with a library call, which made trimming a
    // large part of the time a record takes.
    auto inSet = [set](char ch) {
        for (const char* s = set; *s != '\0'; ++s)
            if (*s == ch) return true;
        return false;
    };
    size_t first = 0;
    size_t end = text.size();
    while (first < end && inSet(text[first])) ++first;
    while (end > first && inSet(text[end - 1])) --end;
    return text.substr(first, end - first);
}

std::string ToUpper(const std::string& text) {
    std::string result = text;
    for (char& ch : result) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return result;
}

std::string StripPrefix(const std::string& text, const std::string& prefix) {
    std::string rest = text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
    size_t first = rest.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : rest.substr(first);
}

std::string GetModuleDirectory() {
    static std::string directory;
    static bool known = false;
    if (!known) {
        std::string programPath;
        if (!platform::GetProgramPath(programPath)) throw SystemErrorException("GetModuleFileName failed");
        size_t separator = programPath.rfind(platform::PathSeparator);
        directory = separator == std::string::npos ? std::string() : programPath.substr(0, separator + 1);
        known = true;
    }
    return directory;
}
