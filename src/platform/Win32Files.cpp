#include "platform/Files.h"

#include <windows.h>

#include "platform/Win32Path.h"

namespace platform {

bool PathExists(const std::string& path) {
    return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveFile(const std::string& path) { return DeleteFileW(WidePath(path).c_str()) != 0; }

}  // namespace platform
