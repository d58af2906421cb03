#pragma once
// The many-register figure: N simulated registers read at the same time,
// by N drivers started directly and by one kvtfleet job, each against one
// register read alone.
#include <string>

#include "BenchProcess.h"

struct FleetBenchOptions {
    int registers = 32;
    int records = 300;  // PLU records each register holds and returns
    int baud = 19200;
    DriverCommand driver;
    std::string fleetProgram;  // kvtfleet; its rows are left out when it is missing
    bool keep = false;
};

void RunFleetBench(const FleetBenchOptions& options);
