#pragma once
// The serial time-out rule (see SerialTimeouts) as deadlines over a
// monotonic clock, shared by every device implementation.
#include <cstddef>
#include <cstdint>

#include "serial/SerialDevice.h"

namespace serial {

// Deadlines of one read under the time-out rule above, from monotonic
// milliseconds. Used by every device implementation.
class ReadDeadline {
public:
    ReadDeadline(const SerialTimeouts& timeouts, size_t requested, int64_t startMs);
    // Milliseconds left to wait for the next byte (0: stop now, -1: no limit).
    int64_t RemainingMs(int64_t nowMs) const;
    void ByteReceived(int64_t nowMs);
    bool ReturnsImmediately() const { return immediate; }

private:
    bool immediate = false;
    int64_t totalDeadline = -1;  // -1: none
    uint32_t interval = 0;       // 0: none
    int64_t lastByteMs = -1;
};

// Deadline of one write: count * multiplier + constant ms (-1: none).
int64_t WriteDeadlineMs(const SerialTimeouts& timeouts, size_t count, int64_t startMs);

}  // namespace serial
