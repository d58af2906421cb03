#pragma once
// Small text, hexadecimal, file and path tools.
#include <string>

// printf-style formatting; the result holds at most 1023 characters.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

int HexDigitValue(char ch);    // 0-9, A-F, a-f; 0 for anything else
char HexDigitChar(int value);  // "0123456789ABCDEF"[value]; InternalErrorException outside 0..15

// In place on a NUL-terminated buffer; a null buffer or set is an internal error.
void TrimLeftChars(char* buffer, const char* set);
void TrimRightChars(char* buffer, const char* set);
void TrimChars(char* buffer, const char* set);
void ReplaceChars(char* buffer, const char* set, char ch);

// std::string forms of the trims.
std::string TrimString(const std::string& text, const char* set);
std::string ToUpper(const std::string& text);

// Removes `prefix` when `text` begins with it, then leading blanks.
std::string StripPrefix(const std::string& text, const std::string& prefix);

// Directory of the running program, ending with the path separator.
// SystemErrorException "GetModuleFileName failed" when it cannot be found.
std::string GetModuleDirectory();
