#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

namespace platform {

unsigned LastSystemError() { return static_cast<unsigned>(errno); }

void SetLastSystemError(unsigned code) { errno = static_cast<int>(code); }

std::string SystemErrorText(unsigned code) {
    // The driver runs one thread, so strerror's shared buffer is safe here.
    const char* text = std::strerror(static_cast<int>(code));
    return text != nullptr && *text != '\0' ? text : "Unknown error " + std::to_string(code);
}

const unsigned ErrorInvalidParameter = EINVAL;
const unsigned ErrorNotOpen = EBADF;

}  // namespace platform
