#include "platform/FileOpen.h"

#include "platform/Win32Path.h"

namespace platform {

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return _wfopen(WidePath(path).c_str(), WidePath(mode).c_str());
}

}  // namespace platform
