#include "serial/DeviceErrors.h"

#include "platform/SystemError.h"

namespace serial {

bool FailNotOpen() {
    platform::SetLastSystemError(platform::ErrorNotOpen);
    return false;
}

}  // namespace serial
