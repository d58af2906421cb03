#include "platform/Clock.h"

#include <cerrno>
#include <ctime>

namespace platform {

LocalTime GetLocalTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    time_t seconds = now.tv_sec;
    tm parts{};
    localtime_r(&seconds, &parts);
    return LocalTime{parts.tm_year + 1900,
                     parts.tm_mon + 1,
                     parts.tm_mday,
                     parts.tm_hour,
                     parts.tm_min,
                     parts.tm_sec,
                     static_cast<int>(now.tv_nsec / 1000000)};
}

// The monotonic clock counts nanoseconds.
int64_t PerformanceFrequency() {
    timespec resolution{};
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) return 0;
    return 1000000000;
}

int64_t PerformanceCounter() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t MonotonicMilliseconds() { return PerformanceCounter() / 1000000; }

void SleepMilliseconds(int64_t ms) {
    if (ms <= 0) return;
    timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {}
}

void SleepMicroseconds(int64_t us) {
    if (us <= 0) return;
    timespec remaining{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {}
}

}  // namespace platform
