#pragma once
// Opening and replacing the output files of reads, so that a read that fails
// never destroys the file it was to replace.
#include <cstdio>

namespace platform {

enum class OutputTarget {
    Missing,      // no file of that name yet
    RegularFile,  // a plain file on a disk (not a symbolic link)
    Other,        // a pipe, a FIFO, a device, a link or anything else: written directly
};

OutputTarget OutputTargetOf(const char* path);

// Opens `path` for writing in binary mode, created or emptied. A FIFO or pipe
// that has no reader fails at once instead of waiting for one. nullptr (with
// the system error set) on failure.
FILE* OpenOutputFile(const char* path);

// Puts the closed file `from` in the place of `to` in one step, replacing any
// file there, and makes the new name durable on the disk. On POSIX `to` keeps
// the permission bits of the file it replaces. False (with the system error
// set) on failure.
bool MoveIntoPlace(const char* from, const char* to);

}  // namespace platform
