#include "platform/FileIdentity.h"

#include <windows.h>

#include "platform/Win32Path.h"

namespace platform {

namespace {

// The volume and file index of the file `path` names; false when it cannot
// be opened (it does not exist) or examined. Only its attributes are asked
// for, so a file held open without sharing (a log) can be examined too.
bool FileIndexOf(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return known;
}

}  // namespace

bool IsSameFile(const std::string& first, const std::string& second) {
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    if (!FileIndexOf(first, a) || !FileIndexOf(second, b)) return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace platform
