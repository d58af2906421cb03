#include <algorithm>
#include <limits>

#include "serial/ReadDeadline.h"

namespace serial {

namespace {

// count * multiplier + constant, without overflowing.
int64_t TotalMs(size_t count, uint32_t multiplier, uint32_t constant) {
    const int64_t limit = std::numeric_limits<int64_t>::max() / 4;
    int64_t perByte = multiplier == 0                                   ? 0
                      : count > static_cast<size_t>(limit / multiplier) ? limit
                                                                        : static_cast<int64_t>(count) * multiplier;
    return std::min(limit, perByte + constant);
}

}  // namespace

ReadDeadline::ReadDeadline(const SerialTimeouts& timeouts, size_t requested, int64_t startMs) {
    immediate = timeouts.readIntervalTimeout == TimeoutImmediate && timeouts.readTotalTimeoutMultiplier == 0 &&
                timeouts.readTotalTimeoutConstant == 0;
    if (immediate) return;
    if (timeouts.readTotalTimeoutMultiplier != 0 || timeouts.readTotalTimeoutConstant != 0)
        totalDeadline =
            startMs + TotalMs(requested, timeouts.readTotalTimeoutMultiplier, timeouts.readTotalTimeoutConstant);
    interval = timeouts.readIntervalTimeout;
}

int64_t ReadDeadline::RemainingMs(int64_t nowMs) const {
    if (immediate) return 0;
    int64_t remaining = -1;
    if (totalDeadline >= 0) remaining = std::max<int64_t>(0, totalDeadline - nowMs);
    // The gap limit only starts once a byte has arrived.
    if (interval != 0 && lastByteMs >= 0) {
        int64_t gapLeft = std::max<int64_t>(0, lastByteMs + interval - nowMs);
        remaining = remaining < 0 ? gapLeft : std::min(remaining, gapLeft);
    }
    return remaining;
}

void ReadDeadline::ByteReceived(int64_t nowMs) { lastByteMs = nowMs; }

int64_t WriteDeadlineMs(const SerialTimeouts& timeouts, size_t count, int64_t startMs) {
    if (timeouts.writeTotalTimeoutMultiplier == 0 && timeouts.writeTotalTimeoutConstant == 0) return -1;
    return startMs + TotalMs(count, timeouts.writeTotalTimeoutMultiplier, timeouts.writeTotalTimeoutConstant);
}

}  // namespace serial
