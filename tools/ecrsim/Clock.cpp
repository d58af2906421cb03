#include "Clock.h"

#include <cerrno>
#include <ctime>

namespace ecrsim {

volatile std::sig_atomic_t StopRequested = 0;

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUntilNs(int64_t deadlineNs) {
    timespec ts{};
    ts.tv_sec = deadlineNs / 1000000000;
    ts.tv_nsec = deadlineNs % 1000000000;
    while (!StopRequested) {
        int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        if (rc != EINTR) break;
    }
}

}  // namespace ecrsim
