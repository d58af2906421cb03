#pragma once
// Files on disk, named by UTF-8 paths.
#include <string>

namespace platform {

bool PathExists(const std::string& path);  // a file or a directory
bool RemoveFile(const std::string& path);

}  // namespace platform
