#pragma once
// Runs the steps of a job on its registers: the driver as a child process
// per register and step, up to Parallel at once, never two on one device,
// each register's steps in order; failed attempts repeated where that is
// safe; a stop request passed on to the drivers. Every change is written to
// the run folder's state file at once.
#include <string>
#include <vector>

#include "fleet/JobFile.h"
#include "fleet/StepRecord.h"

class DriverIni;

class Runner {
public:
    // `ini` is the run folder's copy, which the driver copy reads.
    Runner(const Job& job, const DriverIni& ini, std::string runDir, std::vector<StepRecord>& records);
    ~Runner();
    // Returns when every register is done or stopped.
    void Run();
    bool Stopped() const { return stopped; }

private:
    struct Lane;
    void StartAttempt(Lane& lane, int64_t now);
    void FinishAttempt(Lane& lane, int exitCode, int64_t now);
    void Settle(Lane& lane, StepRecord& record, int64_t now);
    void VerifyRead(const JobStep& step, StepRecord& record, const std::string& attemptDir);
    bool DeviceBusy(const Lane& lane) const;
    void Report(const Lane& lane, const std::string& text);
    void Draw(int64_t now, bool force);
    std::string LaneText(const Lane& lane, int64_t now) const;
    void Save();

    const Job& job;
    const DriverIni& ini;
    std::string runDir;
    std::vector<StepRecord>& records;
    std::vector<Lane> lanes;
    bool live = false;
    bool stopped = false;
    int64_t lastDraw = 0;
    int drawnLines = 0;
};

// The step's folder of a register: ECR_<n>/<step>-<command>.
std::string StepFolder(const std::string& runDir, int registerNumber, const JobStep& step);

// Attempts whose end a run never saw (kvtfleet itself was killed, the power
// went) are decided from what they left before a resume: "Completed OK" is
// completed, a read and clear that reached "Clearing data" is clear unknown,
// anything else failed. FleetError when a driver still runs in one of them.
void ReconcileInterruptedAttempts(const Job& job, const std::string& runDir, std::vector<StepRecord>& records);
