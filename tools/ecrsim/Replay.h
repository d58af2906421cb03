#pragma once
// --replay: plays the register's side of the runs recorded in a driver's
// debug log. What the register sent goes out again in order, after the
// pauses the driver waited for it; what the driver sends is compared with
// what it sent then, and the first difference is reported.
#include <cstdint>
#include <string>
#include <vector>

#include "Line.h"
#include "WireLog.h"

namespace ecrsim {

struct ReplayStep {
    bool fromDriver = false;  // true: bytes the driver must send; false: bytes to send it
    std::vector<uint8_t> bytes;
    int64_t pauseMs = 0;  // before sending
    size_t logLine = 0;
    int driverFrame = 0;  // 1, 2, ... for the driver's writes
    int run = 0;          // 1, 2, ... for the driver runs in the log
};

// Reads the trace lines of a debug log ("PC->ECR  5 bytes in 0.1 ms : 02 83 ...").
// False with `error` when the log holds no trace or a damaged trace line.
bool LoadReplay(const std::string& text, std::vector<ReplayStep>& steps, std::string& error);

// Plays `steps` on the line until they are done and the driver has closed
// the line, or a stop is requested. 0 when the driver sent what the log
// recorded, 1 when it did not (reported on stderr and in the log).
int RunReplay(Line& line, WireLog& log, const std::vector<ReplayStep>& steps);

}  // namespace ecrsim
