#pragma once
// Byte reads from a C stream without taking the stream's lock for every
// byte: the driver has one thread and reads input files byte by byte.
#include <cstdio>

namespace platform {

inline int GetByteUnlocked(std::FILE* file) {
#ifdef _WIN32
    return _getc_nolock(file);
#else
    return getc_unlocked(file);
#endif
}

}  // namespace platform
