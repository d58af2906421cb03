#include "platform/SystemError.h"

#include <windows.h>

namespace platform {

unsigned LastSystemError() { return static_cast<unsigned>(GetLastError()); }

void SetLastSystemError(unsigned code) { SetLastError(static_cast<DWORD>(code)); }

const unsigned ErrorInvalidParameter = ERROR_INVALID_PARAMETER;
const unsigned ErrorNotOpen = ERROR_INVALID_HANDLE;

}  // namespace platform
