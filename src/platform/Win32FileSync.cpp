#include "platform/FileSync.h"

#include <io.h>
#include <cstdint>
#include <windows.h>

namespace platform {

bool SyncFileToDisk(FILE* file) {
    if (file == nullptr || fflush(file) != 0) return false;
    const intptr_t osHandle = _get_osfhandle(_fileno(file));
    if (osHandle == -1) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(osHandle);
    if (GetFileType(handle) != FILE_TYPE_DISK) return true;
    return FlushFileBuffers(handle) != 0;
}

}  // namespace platform
