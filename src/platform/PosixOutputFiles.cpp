#include "platform/OutputFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSync.h"

namespace platform {

OutputTarget OutputTargetOf(const char* path) {
    struct stat info {};
    if (::lstat(path, &info) != 0) return errno == ENOENT ? OutputTarget::Missing : OutputTarget::Other;
    return S_ISREG(info.st_mode) ? OutputTarget::RegularFile : OutputTarget::Other;
}

FILE* OpenOutputFile(const char* path) {
    // O_NONBLOCK makes the open of a FIFO without a reader fail (ENXIO)
    // instead of waiting for one; the descriptor then blocks as usual.
    const int descriptor = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (descriptor < 0) return nullptr;
    const int flags = ::fcntl(descriptor, F_GETFL);
    FILE* file = nullptr;
    if (flags >= 0 && ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0) file = ::fdopen(descriptor, "wb");
    if (file == nullptr) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
    }
    return file;
}

bool MoveIntoPlace(const char* from, const char* to) {
    struct stat old {};
    if (::stat(to, &old) == 0 && S_ISREG(old.st_mode)) ::chmod(from, old.st_mode & 07777);
    if (::rename(from, to) != 0) return false;
    return SyncDirectoryEntry(to);
}

}  // namespace platform
