#pragma once
// Wall clock, high-resolution counter and sleeps.
#include <cstdint>

namespace platform {

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};

LocalTime GetLocalTime();
int64_t PerformanceFrequency();  // counts per second; 0 when there is no counter
int64_t PerformanceCounter();
int64_t MonotonicMilliseconds();
void SleepMilliseconds(int64_t ms);  // nothing for 0 or less
// At least `us` microseconds (Windows rounds up to whole milliseconds); nothing for 0 or less.
void SleepMicroseconds(int64_t us);

}  // namespace platform
