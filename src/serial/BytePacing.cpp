#include "serial/BytePacing.h"

#include <algorithm>
#include <limits>

namespace serial {

int64_t CharacterTimeUs(const SerialSettings& settings) {
    if (settings.baudRate == 0) return 0;
    return BitsPerCharacter(settings) * 1000000LL / settings.baudRate;
}

int64_t IncomingCharacterTimeUs(const SerialSettings& settings) {
    SerialSettings oneStopBit = settings;
    oneStopBit.stopBits = StopBits::One;
    return CharacterTimeUs(oneStopBit);
}

uint32_t ByteTimeoutMs(const SerialSettings& settings, int32_t multiplier) {
    if (settings.baudRate == 0 || multiplier <= 0) return 1;
    // Whole numbers throughout: no rounding error can cut a millisecond off.
    const int64_t ms = static_cast<int64_t>(BitsPerCharacter(settings)) * 1000 * multiplier / settings.baudRate;
    const int64_t largest = static_cast<int64_t>(std::numeric_limits<uint32_t>::max()) - 1;
    return static_cast<uint32_t>(std::clamp<int64_t>(ms, 1, largest));
}

int64_t PauseForBytesUs(size_t missing, int64_t characterTimeUs, const SerialTimeouts& timeouts, int64_t remainingMs) {
    if (missing == 0 || characterTimeUs <= 0 || remainingMs == 0) return 0;
    const int64_t most = std::numeric_limits<int64_t>::max() / 4;
    int64_t pauseUs =
        missing > static_cast<size_t>(most / characterTimeUs) ? most : static_cast<int64_t>(missing) * characterTimeUs;
    if (timeouts.readIntervalTimeout != 0) pauseUs = std::min<int64_t>(pauseUs, timeouts.readIntervalTimeout * 500LL);
    if (remainingMs > 0) pauseUs = std::min(pauseUs, remainingMs * 1000);
    return pauseUs;
}

}  // namespace serial
