#pragma once
// kvtfleet check: the job, the driver's INI and every send step's file,
// without a run folder and without moving any data.
#include <string>

#include "fleet/JobFile.h"

class DriverIni;

// 0 all good, 2 a send file has lines the driver would refuse, 1 a failure
// (the driver's check could not run or a register did not answer it).
int CheckJob(const Job& job, const DriverIni& ini, const std::string& driverPath, bool offline);
