#include "platform/LockedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {
int Descriptor(intptr_t handle) { return static_cast<int>(handle); }
}  // namespace

LockedFile::~LockedFile() { Close(); }

bool LockedFile::Open(const std::string& path) {
    Close();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // The exclusive lock keeps a second writer (another run in the same
    // directory) out while this one has the file.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    handle = fd;
    return true;
}

uint64_t LockedFile::Length() const {
    struct stat info {};
    if (!IsOpen() || ::fstat(Descriptor(handle), &info) != 0) return 0;
    return static_cast<uint64_t>(info.st_size);
}

bool LockedFile::Append(const char* data, size_t size) {
    if (!IsOpen()) return false;
    while (size > 0) {
        ssize_t written = ::write(Descriptor(handle), data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool LockedFile::Truncate(uint64_t length) {
    if (!IsOpen()) return false;
    return ::ftruncate(Descriptor(handle), static_cast<off_t>(length)) == 0;
}

void LockedFile::Close() {
    if (!IsOpen()) return;
    ::close(Descriptor(handle));
    handle = -1;
}

}  // namespace platform
