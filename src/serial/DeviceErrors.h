#pragma once
// The codes serial devices report for failures they find themselves, beside
// the system's own codes of the calls they make. Each is the system's code
// for that kind of failure (errno on POSIX, a Windows error code).

namespace serial {

// A call on a device that is not open: the one code every device reports
// for it (platform::ErrorNotOpen), then false.
bool FailNotOpen();

int TimedOutError();         // a wait ran out
int NoModemLinesError();     // the line has no modem lines
int InvalidArgumentError();  // a path or value the device cannot use
int NotSupportedError();     // the far end refuses what was asked

}  // namespace serial
