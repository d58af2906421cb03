#include "platform/Console.h"

namespace platform {

// Terminals of POSIX systems take the locale's encoding, UTF-8 today.
void UseUtf8Console() {}

}  // namespace platform
