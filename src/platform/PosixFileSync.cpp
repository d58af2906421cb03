#include "platform/FileSync.h"

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool SyncFileToDisk(FILE* file) {
    if (file == nullptr || fflush(file) != 0) return false;
    const int descriptor = fileno(file);
    struct stat info {};
    if (fstat(descriptor, &info) != 0) return false;
    if (!S_ISREG(info.st_mode)) return true;
    return fsync(descriptor) == 0;
}

}  // namespace platform
