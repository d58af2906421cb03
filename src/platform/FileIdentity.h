#pragma once
// Whether two paths name the same file on disk, whatever names lead to it
// (another spelling of the path, a symbolic link, a hard link).
#include <string>

namespace platform {

// True when both paths name existing files and these are one file (same
// device and inode; same volume serial number and file index on Windows).
// False when either does not exist or cannot be examined.
bool IsSameFile(const std::string& first, const std::string& second);

}  // namespace platform
