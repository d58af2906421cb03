#pragma once
// Making a written file durable: its data on the disk, not only in caches.
#include <cstdio>

namespace platform {

// Flushes the stream's buffer and, for a file on a disk, waits until the
// system has written the file's data, and the directory entry of the file at
// `path`, to the disk. A pipe or a device has no disk copy to wait for: it
// only gets the flush. False (errno or the last error set) when a step fails.
bool SyncFileToDisk(FILE* file, const char* path);

// Waits until the directory entry of the file at `path` (a new file, a
// rename) is on the disk. Windows has no separate flush of a directory:
// true there. False (errno set) when it fails.
bool SyncDirectoryEntry(const char* path);

}  // namespace platform
