#include <cerrno>

#include "serial/DeviceErrors.h"

namespace serial {

int TimedOutError() { return ETIMEDOUT; }
int NoModemLinesError() { return ENOTTY; }
int InvalidArgumentError() { return EINVAL; }
int NotSupportedError() { return EPROTONOSUPPORT; }

}  // namespace serial
