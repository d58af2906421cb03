// winsock2.h goes before windows.h.
#include <winsock2.h>

#include <windows.h>

#include "serial/DeviceErrors.h"

namespace serial {

int TimedOutError() { return WSAETIMEDOUT; }
int NoModemLinesError() { return ERROR_NOT_SUPPORTED; }
int InvalidArgumentError() { return ERROR_INVALID_PARAMETER; }
int NotSupportedError() { return ERROR_NOT_SUPPORTED; }

}  // namespace serial
