#include "platform/FileSync.h"

#include <io.h>
#include <windows.h>

#include <cstdint>

namespace platform {

// FlushFileBuffers writes the file's data and metadata; Windows has no
// separate flush of a directory, so `path` is not used here.
bool SyncFileToDisk(FILE* file, const char*) {
    if (file == nullptr || fflush(file) != 0) return false;
    const intptr_t osHandle = _get_osfhandle(_fileno(file));
    if (osHandle == -1) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(osHandle);
    if (GetFileType(handle) != FILE_TYPE_DISK) return true;
    return FlushFileBuffers(handle) != 0;
}

bool SyncDirectoryEntry(const char*) { return true; }

}  // namespace platform
