#pragma once
// An append-only file that other writers cannot open at the same time: a
// deny-write share mode on Windows, an advisory lock on POSIX.
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class LockedFile {
public:
    LockedFile() = default;
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    ~LockedFile();

    // Opens for writing, creating and never truncating; false (system error code set)
    // when the file cannot be opened or another process holds the lock.
    bool Open(const std::string& path);
    bool IsOpen() const { return handle != -1; }
    uint64_t Length() const;
    bool Append(const char* data, size_t size);
    bool Truncate(uint64_t length);
    void Close();

private:
    intptr_t handle = -1;  // the descriptor or the Windows handle (-1 is invalid on both)
};

}  // namespace platform
