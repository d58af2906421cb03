#pragma once
// The operating system's code for the last failed call: errno on POSIX,
// GetLastError() on Windows. Every platform call that returns false leaves
// its reason here for the SystemErrorException that follows.
#include <string>

namespace platform {

unsigned LastSystemError();
void SetLastSystemError(unsigned code);
// The operating system's own message for `code` (strerror, FormatMessage),
// without a closing line end; "Unknown error N" when it has none.
std::string SystemErrorText(unsigned code);

// The system's own codes for failures the driver detects itself.
extern const unsigned ErrorInvalidParameter;  // a value the call cannot use
extern const unsigned ErrorNotOpen;           // a call on a closed device

}  // namespace platform
