#pragma once
// Making a written file durable: its data on the disk, not only in caches.
#include <cstdio>

namespace platform {

// Flushes the stream's buffer and, for a file on a disk, waits until the
// system has written the file's data to it. A pipe or a device has no disk
// copy to wait for: it only gets the flush. False (errno or the last error
// set) when either step fails.
bool SyncFileToDisk(FILE* file);

}  // namespace platform
