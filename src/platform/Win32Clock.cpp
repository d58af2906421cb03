#include "platform/Clock.h"

#include <windows.h>

namespace platform {

LocalTime GetLocalTime() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

int64_t PerformanceFrequency() {
    LARGE_INTEGER frequency{};
    if (!QueryPerformanceFrequency(&frequency)) return 0;
    return frequency.QuadPart;
}

int64_t PerformanceCounter() {
    LARGE_INTEGER counter{};
    if (!QueryPerformanceCounter(&counter)) return 0;
    return counter.QuadPart;
}

int64_t MonotonicMilliseconds() {
    static const int64_t frequency = PerformanceFrequency();
    if (frequency <= 0) return static_cast<int64_t>(GetTickCount64());
    int64_t counter = PerformanceCounter();
    // Whole seconds and the rest apart, so that the product cannot overflow.
    return counter / frequency * 1000 + counter % frequency * 1000 / frequency;
}

void SleepMilliseconds(int64_t ms) {
    while (ms > 0) {
        DWORD part = ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ms);
        Sleep(part);
        ms -= part;
    }
}

void SleepMicroseconds(int64_t us) { SleepMilliseconds((us + 999) / 1000); }

}  // namespace platform
