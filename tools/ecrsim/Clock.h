#pragma once
// Monotonic time, absolute sleeps and the stop flag set by SIGTERM/SIGINT.
#include <csignal>
#include <cstdint>

namespace ecrsim {

// Set by the signal handler; every wait checks it so the simulator stops promptly.
extern volatile std::sig_atomic_t StopRequested;

int64_t NowNs();
inline int64_t NowMs() { return NowNs() / 1000000; }

// Sleeps until the monotonic time `deadlineNs`; returns early when a stop is requested.
void SleepUntilNs(int64_t deadlineNs);

}  // namespace ecrsim
