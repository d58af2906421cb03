#include "platform/FileSync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace platform {

namespace {

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// A newly created or renamed file survives a power cut only once its name is on disk too.
bool SyncDirectoryEntry(const char* path) {
    int directory = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return false;
    bool synced = fsync(directory) == 0;
    close(directory);
    return synced;
}

bool SyncFileToDisk(FILE* file, const char* path) {
    if (file == nullptr || path == nullptr || fflush(file) != 0) return false;
    const int descriptor = fileno(file);
    struct stat info {};
    if (fstat(descriptor, &info) != 0) return false;
    if (!S_ISREG(info.st_mode)) return true;
    return fsync(descriptor) == 0 && SyncDirectoryEntry(path);
}

}  // namespace platform
