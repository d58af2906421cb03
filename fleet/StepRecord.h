#pragma once
// What one register's step has reached: kept in the run folder's state file
// while the job runs, so that a stopped or partly failed run can be resumed,
// and written out as the rows of summary.csv and summary.json.
#include <string>
#include <vector>

enum class StepStatus {
    Pending,       // not run yet, or stopped before it began ("not run")
    Completed,     // exit code 0 (and the verification, if any, passed)
    DataErrors,    // exit code 2
    Failed,        // the last attempt failed, or the verification found differences
    ClearUnknown,  // an attempt reached "Clearing data" and did not complete
};

struct StepRecord {
    int registerNumber = 0;
    int step = 0;
    int command = 0;   // as typed in the job
    std::string file;  // as named in the job
    StepStatus status = StepStatus::Pending;
    int attempts = 0;        // attempts in all, over run and resumes
    int lastAttempt = 0;     // the folder number of the attempt that decided the outcome
    int exitCode = -1;       // of that attempt; -1: none (not run, stopped by a signal)
    long long records = -1;  // records the driver counted; -1: none
    std::string dataFile;    // the data file of that attempt, relative to the run folder
    std::string lastLine;    // the driver's last console line, or kvtfleet's note
    double start = 0;        // seconds since 1970 of the first attempt; 0: none
    double end = 0;

    // Completed, data errors and clear unknown are never run again.
    bool Settled() const {
        return status == StepStatus::Completed || status == StepStatus::DataErrors ||
               status == StepStatus::ClearUnknown;
    }
};

const char* OutcomeName(StepStatus status);  // "completed", ..., "not run"

inline constexpr char StateFileName[] = "state.txt";

// Rewrites the state file whole (through a temporary file, so that a stop
// at any moment leaves the old or the new one). False when it cannot be written.
bool SaveState(const std::string& runDir, const std::vector<StepRecord>& records);
// FleetError when the file is missing or damaged.
std::vector<StepRecord> LoadState(const std::string& runDir);

// summary.csv and summary.json in the run folder.
void WriteSummaries(const std::string& runDir, const std::vector<StepRecord>& records);
// 0 all completed, 2 some with data errors and none worse, 1 otherwise.
int JobExitCode(const std::vector<StepRecord>& records);

// Writes `content` to `path` through a temporary file beside it.
bool ReplaceFile(const std::string& path, const std::string& content);
