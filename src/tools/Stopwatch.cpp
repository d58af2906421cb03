#include "tools/Stopwatch.h"

#include "platform/Clock.h"

namespace {
int64_t frequency = 0;
}

void Stopwatch::Initialise() { frequency = platform::PerformanceFrequency(); }

int64_t Stopwatch::Frequency() { return frequency; }

int64_t Stopwatch::Now() { return frequency == 0 ? 0 : platform::PerformanceCounter(); }

void Stopwatch::SetFrequencyForTesting(int64_t value) { frequency = value; }
