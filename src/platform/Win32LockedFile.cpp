#include "platform/LockedFile.h"

#include <windows.h>

#include "platform/Win32Path.h"

namespace platform {

namespace {

HANDLE Win32Handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

LockedFile::~LockedFile() { Close(); }

bool LockedFile::Open(const std::string& path) {
    Close();
    // Others may read the file while this run writes it, but not write it:
    // a second run in the same directory fails to open it. Delete sharing
    // lets Close remove an empty log while the file is still held.
    HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    handle = reinterpret_cast<intptr_t>(file);
    return true;
}

uint64_t LockedFile::Length() const {
    LARGE_INTEGER size{};
    if (!IsOpen() || !GetFileSizeEx(Win32Handle(handle), &size)) return 0;
    return static_cast<uint64_t>(size.QuadPart);
}

bool LockedFile::Append(const char* data, size_t size) {
    if (!IsOpen()) return false;
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(Win32Handle(handle), end, nullptr, FILE_END)) return false;
    while (size > 0) {
        DWORD part = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(Win32Handle(handle), data, part, &written, nullptr)) return false;
        data += written;
        size -= written;
    }
    return true;
}

bool LockedFile::Truncate(uint64_t length) {
    if (!IsOpen()) return false;
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(Win32Handle(handle), position, nullptr, FILE_BEGIN) && SetEndOfFile(Win32Handle(handle));
}

void LockedFile::Close() {
    if (!IsOpen()) return;
    CloseHandle(Win32Handle(handle));
    handle = -1;
}

}  // namespace platform
