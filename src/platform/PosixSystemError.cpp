#include "platform/SystemError.h"

#include <cerrno>

namespace platform {

unsigned LastSystemError() { return static_cast<unsigned>(errno); }

void SetLastSystemError(unsigned code) { errno = static_cast<int>(code); }

const unsigned ErrorInvalidParameter = EINVAL;
const unsigned ErrorNotOpen = EBADF;

}  // namespace platform
