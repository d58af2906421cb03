#pragma once
// Opening a C stream by a UTF-8 path, so that a data file, the INI file or a
// log may have any name the file system allows (on Windows fopen would read
// the name in the ANSI code page).
#include <cstdio>
#include <string>

namespace platform {

// fopen with the same modes; nullptr (errno set) on failure.
std::FILE* OpenFile(const std::string& path, const char* mode);

}  // namespace platform
