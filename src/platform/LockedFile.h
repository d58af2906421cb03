#pragma once
// An append-only file that other writers cannot open at the same time
// (an advisory lock stands in for a deny-write share mode).
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

    // Opens for writing, creating and never truncating; false (errno set)
    // when the file cannot be opened or another process holds the lock.
    bool Open(const std::string& path);
    bool IsOpen() const { return fd >= 0; }
    uint64_t Length() const;
    bool Append(const char* data, size_t size);
    bool Truncate(uint64_t length);
    void Close();

private:
    int fd = -1;
};

}  // namespace platform
