#pragma once
// Transfer durations from the high-resolution counter.
#include <cstdint>

class Stopwatch {
public:
    // Captures the counter frequency; called once at start-up.
    static void Initialise();
    static int64_t Frequency();
    static int64_t Now();  // 0 when there is no counter
    // For tests: pretend the platform has no counter.
    static void SetFrequencyForTesting(int64_t frequency);
};
