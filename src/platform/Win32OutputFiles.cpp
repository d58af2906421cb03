#include "platform/OutputFiles.h"

#include <windows.h>

#include "platform/FileOpen.h"
#include "platform/Win32Path.h"

namespace platform {

OutputTarget OutputTargetOf(const char* path) {
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? OutputTarget::Missing : OutputTarget::Other;
    }
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return OutputTarget::Other;
    // Device names (NUL, COM1) and pipes answer with attributes too: only a
    // file on a disk is replaced.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle =
        CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return OutputTarget::Other;
    const bool onDisk = GetFileType(handle) == FILE_TYPE_DISK;
    CloseHandle(handle);
    return onDisk ? OutputTarget::RegularFile : OutputTarget::Other;
}

// A named pipe without a server cannot be opened on Windows: fopen fails at once.
FILE* OpenOutputFile(const char* path) { return OpenFile(path, "wb"); }

bool MoveIntoPlace(const char* from, const char* to) {
    return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace platform
