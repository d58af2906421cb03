#pragma once
// The program's name, version and build stamp: the start log line, the help
// banner and the version request show them; CMakeLists.txt reads the
// version from this file for the package name.
#include <string>

inline constexpr char ProgramName[] = "KVT5100";
inline constexpr char ProgramVersion[] = "1.8.0";
inline constexpr char ProgramVersionSuffix[] = "";

const char* BuildDate();  // "Mmm dd yyyy" of this build
const char* BuildTime();  // "hh:mm:ss" of this build
// main() hands over the __DATE__ and __TIME__ of its own compilation, so the
// stamp belongs to the build of the executable, not of the library.
void SetBuildStamp(const char* date, const char* time);

// "KVT5100 driver. Version 1.8.0 (Compiled: Apr  1 2009 15:58:07)"
std::string VersionBanner();
