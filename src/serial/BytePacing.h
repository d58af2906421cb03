#pragma once
// How long characters take on the line, and how long a reader sleeps while
// the rest of a read is still on its way. Shared by every device and by the
// port's time-outs, so that the line time is worked out in one place.
#include <cstddef>
#include <cstdint>

#include "serial/SerialDevice.h"
#include "serial/SerialSettings.h"

namespace serial {

// Microseconds one character takes on the line (0 for no speed).
int64_t CharacterTimeUs(const SerialSettings& settings);

// Microseconds the shortest character a reader may be sent takes: a
// receiver checks only the first stop bit, so a sender with one stop bit is
// heard on a line set for two and its characters come that much faster.
// Readers pace their sleeps by this, so that they never wake late.
int64_t IncomingCharacterTimeUs(const SerialSettings& settings);

// Milliseconds one byte may take for the time-outs: bits per character x
// 1000 / baud x multiplier, truncated, at least 1 and always below
// TimeoutImmediate.
uint32_t ByteTimeoutMs(const SerialSettings& settings, int32_t multiplier);

// The sleep, in microseconds, of a reader while `missing` bytes arrive at
// line speed: their line time, so that one wake takes them all instead of
// one wake per byte. Readers leave the last byte out and wait for it with
// poll, so that a read ends the moment its last byte is there. The pause never reaches past
// the read's time-out (`remainingMs`, -1: none) and never lasts more than
// half the byte interval, which bounds how much later than the interval a
// read may end (the gap counts from the end of the pause). 0: do not sleep.
int64_t PauseForBytesUs(size_t missing, int64_t characterTimeUs, const SerialTimeouts& timeouts, int64_t remainingMs);

}  // namespace serial
