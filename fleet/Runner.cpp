#include "fleet/Runner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "config/Profile.h"
#include "fleet/Attempt.h"
#include "fleet/DriverIni.h"
#include "fleet/FleetError.h"
#include "fleet/RunFolder.h"
#include "fleet/Verify.h"
#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/LockedFile.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t StopGraceMs = 10000;   // a stopped driver ends at once; then it is killed
constexpr int64_t DrawIntervalMs = 250;  // the live display, at most four times a second

double Now() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) / 1000;
}

// The next attempt folder: one higher than any there, so no attempt's files
// are ever written over, whatever a run or resume before left.
int NextAttemptNumber(const fs::path& stepFolder) {
    int highest = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(stepFolder, error)) {
        try {
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        } catch (const std::exception&) {}
    }
    return highest + 1;
}

std::string Relative(const std::string& path, const std::string& base) {
    return fs::path(path).lexically_relative(base).generic_string();
}

}  // namespace

struct Runner::Lane {
    int registerNumber = 0;
    std::string device;
    std::vector<size_t> steps;  // indexes into job.steps still to run, in order
    size_t next = 0;
    std::vector<size_t> recordOf;  // record index per job step
    bool blocked = false;
    int attemptsNow = 0;  // attempts of the current step in this run or resume
    int64_t notBefore = 0;
    std::unique_ptr<platform::ChildProcess> child;
    std::string attemptDir;
    int attemptNumber = 0;
    int64_t deadline = -1;
    int64_t killAt = -1;
    bool timedOut = false;
    bool startFailed = false;
    int64_t startedAt = 0;
    std::string state = "waiting";

    bool Done() const { return blocked || next >= steps.size(); }
    bool Running() const { return child && child->Running(); }
};

std::string StepFolder(const std::string& runDir, int registerNumber, const JobStep& step) {
    return (fs::path(runDir) / ("ECR_" + std::to_string(registerNumber)) / step.Label()).string();
}

Runner::Runner(const Job& job, const DriverIni& ini, std::string runDir, std::vector<StepRecord>& records)
    : job(job), ini(ini), runDir(std::move(runDir)), records(records) {
    for (int number : job.registers) {
        Lane lane;
        lane.registerNumber = number;
        lane.device = ini.DeviceKey(number);
        for (size_t s = 0; s < job.steps.size(); ++s) {
            size_t found = records.size();
            for (size_t r = 0; r < records.size(); ++r)
                if (records[r].registerNumber == number && records[r].step == job.steps[s].number) found = r;
            lane.recordOf.push_back(found);
            if (found < records.size() && !records[found].Settled()) lane.steps.push_back(s);
        }
        lanes.push_back(std::move(lane));
    }
    live = platform::StdoutIsTerminal();
}

Runner::~Runner() = default;

void Runner::Save() {
    if (!SaveState(runDir, records)) std::printf("Unable to write the state file in %s\n", runDir.c_str());
}

bool Runner::DeviceBusy(const Lane& lane) const {
    for (const Lane& other : lanes)
        if (&other != &lane && other.Running() && other.device == lane.device) return true;
    return false;
}

void Runner::Report(const Lane& lane, const std::string& text) {
    if (live) return;
    std::printf("ECR_%d %s\n", lane.registerNumber, text.c_str());
    std::fflush(stdout);
}

void Runner::StartAttempt(Lane& lane, int64_t now) {
    const JobStep& step = job.steps[lane.steps[lane.next]];
    StepRecord& record = records[lane.recordOf[lane.steps[lane.next]]];
    fs::path folder = StepFolder(runDir, lane.registerNumber, step);
    std::error_code error;
    fs::create_directories(folder, error);
    lane.attemptNumber = NextAttemptNumber(folder);
    fs::path attempt = folder / std::to_string(lane.attemptNumber);
    fs::create_directory(attempt, error);
    lane.attemptDir = attempt.string();

    std::vector<std::string> args{"/K" + std::to_string(lane.registerNumber), std::to_string(step.typedCommand)};
    if (!step.file.empty()) args.push_back(StepFileName(step));
    if (step.command.kind == StepKind::Send)
        fs::copy_file(SnapshotPath(runDir, step), attempt / StepFileName(step), error);

    ++lane.attemptsNow;
    ++record.attempts;
    record.lastAttempt = lane.attemptNumber;
    if (record.start <= 0) record.start = Now();
    lane.timedOut = false;
    lane.startFailed = false;
    lane.startedAt = now;
    lane.killAt = -1;
    lane.deadline = job.stepTimeout > 0 ? now + static_cast<int64_t>(job.stepTimeout) * 1000 : -1;
    lane.child = std::make_unique<platform::ChildProcess>();
    std::string label = "step " + step.Label() + " attempt " + std::to_string(lane.attemptNumber);
    if (error ||
        !lane.child->Start(RunDriverPath(runDir), args, lane.attemptDir, (attempt / ConsoleFileName).string())) {
        std::ofstream(attempt / ConsoleFileName, std::ios::app) << "kvtfleet: the driver could not be started\n";
        Report(lane, label + ": the driver could not be started");
        lane.startFailed = true;
        FinishAttempt(lane, -1, now);
        return;
    }
    lane.state = label;
    Report(lane, label + " started");
    Save();
}

void Runner::VerifyRead(const JobStep& step, StepRecord& record, const std::string& attemptDir) {
    const JobStep* send = job.FindStep(step.verifyStep);
    StepRecord* sent = nullptr;
    for (StepRecord& other : records)
        if (other.registerNumber == record.registerNumber && other.step == step.verifyStep) sent = &other;
    if (send == nullptr || sent == nullptr || sent->lastAttempt <= 0 ||
        (sent->status != StepStatus::Completed && sent->status != StepStatus::DataErrors)) {
        record.status = StepStatus::Failed;
        record.lastLine = "verify: step " + std::to_string(step.verifyStep) + " did not complete";
        return;
    }
    fs::path sendAttempt =
        fs::path(StepFolder(runDir, record.registerNumber, *send)) / std::to_string(sent->lastAttempt);
    VerifyInput input;
    input.send = send->command;
    input.sentFile = (sendAttempt / StepFileName(*send)).string();
    input.sentConsole = ReadTextFile((sendAttempt / ConsoleFileName).string());
    input.readFile = (fs::path(attemptDir) / StepFileName(step)).string();
    input.delimiter = ini.Delimiter();
    std::string ignore;
    input.ignoreDuplicates =
        config::ProfileGetString(ini.Path(), "Common", "IgnoreDuplicates", ignore) && std::atoi(ignore.c_str()) != 0;
    input.replacesTable = send->command.number == 200;
    input.workDir = attemptDir;
    VerifyResult result = VerifySend(input);
    std::string text = result.Summary() + "\n";
    for (const std::string& difference : result.differences) text += difference + "\n";
    if (result.differenceCount > static_cast<long long>(result.differences.size()))
        text += "... " + std::to_string(result.differenceCount - static_cast<long long>(result.differences.size())) +
                " more\n";
    std::ofstream(fs::path(attemptDir) / "verify.txt", std::ios::binary) << text;
    record.lastLine = result.Summary();
    if (!result.matched) record.status = StepStatus::Failed;
}

void Runner::FinishAttempt(Lane& lane, int exitCode, int64_t now) {
    const JobStep& step = job.steps[lane.steps[lane.next]];
    StepRecord& record = records[lane.recordOf[lane.steps[lane.next]]];
    const bool byUs = lane.killAt >= 0;
    {
        std::string note = std::to_string(exitCode);
        if (lane.timedOut) note += " (stopped by kvtfleet: StepTimeout passed)";
        else if (byUs) note += " (stopped by kvtfleet)";
        std::ofstream(fs::path(lane.attemptDir) / ExitCodeFileName, std::ios::binary) << note << "\n";
    }
    lane.child.reset();
    lane.killAt = -1;
    AttemptReport report = ReadAttempt(lane.attemptDir);
    record.exitCode = exitCode;
    record.records = report.records;
    record.lastLine = lane.timedOut ? "time-out: the driver ran longer than StepTimeout" : report.lastLine;
    record.end = Now();
    record.dataFile.clear();
    if (!step.file.empty() && step.command.kind != StepKind::Command)
        record.dataFile = Relative((fs::path(lane.attemptDir) / StepFileName(step)).string(), runDir);
    std::string label = "step " + step.Label() + " attempt " + std::to_string(lane.attemptNumber) + ": exit " +
                        std::to_string(exitCode) + ", " + record.lastLine;

    if (exitCode == 0 || exitCode == 2) {
        record.status = exitCode == 0 ? StepStatus::Completed : StepStatus::DataErrors;
        if (step.verifyStep != 0) VerifyRead(step, record, lane.attemptDir);
        Report(lane, label + " -> " + OutcomeName(record.status));
        Settle(lane, record, now);
        return;
    }
    // A failed attempt. A clear that may have gone out is never sent again.
    const bool clearUnknown = (step.command.kind == StepKind::ReadClear && report.reachedClear) ||
                              (step.command.kind == StepKind::Command && !report.statusUnanswered && !lane.startFailed);
    const bool repeatable = !clearUnknown && step.command.kind != StepKind::Command;
    if (clearUnknown) {
        record.status = StepStatus::ClearUnknown;
    } else {
        record.status = StepStatus::Failed;
        if (repeatable && !byUs && !platform::StopRequested() && lane.attemptsNow <= job.retries) {
            lane.notBefore = now + static_cast<int64_t>(job.retryDelay) * 1000;
            lane.state = "step " + step.Label() + " retry in " + std::to_string(job.retryDelay) + " s";
            Report(lane, label + " -> retry in " + std::to_string(job.retryDelay) + " s");
            Save();
            return;
        }
    }
    Report(lane, label + " -> " + OutcomeName(record.status));
    Settle(lane, record, now);
}

// The step is decided: the lane goes on with its next step, or stops when
// the step failed.
void Runner::Settle(Lane& lane, StepRecord& record, int64_t now) {
    lane.attemptsNow = 0;
    lane.notBefore = now;
    if (record.status == StepStatus::Completed || record.status == StepStatus::DataErrors) {
        ++lane.next;
    } else {
        lane.blocked = true;
    }
    lane.state =
        lane.Done() ? std::string(lane.blocked ? "stopped: " : "done: ") + OutcomeName(record.status) : "waiting";
    Save();
}

std::string Runner::LaneText(const Lane& lane, int64_t now) const {
    char text[160];
    std::string state = lane.state;
    if (lane.Running()) {
        long long seconds = (now - lane.startedAt) / 1000;
        state += " running " + std::to_string(seconds) + " s";
    } else if (!lane.Done() && lane.notBefore > now) {
        state = "step " + job.steps[lane.steps[lane.next]].Label() + " retry in " +
                std::to_string((lane.notBefore - now + 999) / 1000) + " s";
    }
    std::snprintf(text, sizeof text, "ECR_%-4d %d/%d  %s", lane.registerNumber,
                  static_cast<int>(std::min(lane.next, lane.steps.size())), static_cast<int>(lane.steps.size()),
                  state.c_str());
    return text;
}

void Runner::Draw(int64_t now, bool force) {
    if (!live || (!force && now - lastDraw < DrawIntervalMs)) return;
    lastDraw = now;
    std::string text;
    if (drawnLines > 0) text += "\x1b[" + std::to_string(drawnLines) + "A";
    for (const Lane& lane : lanes) text += "\r\x1b[2K" + LaneText(lane, now).substr(0, 100) + "\n";
    drawnLines = static_cast<int>(lanes.size());
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void Runner::Run() {
    platform::InstallStopHandler();
    Save();
    for (;;) {
        const int64_t now = platform::MonotonicMilliseconds();
        // A stop request: every driver is asked to stop as on its own
        // console; nothing new starts.
        if (platform::StopRequested() && !stopped) {
            stopped = true;
            for (Lane& lane : lanes)
                if (lane.Running() && lane.killAt < 0) {
                    lane.child->RequestStop();
                    lane.killAt = now + StopGraceMs;
                }
        }
        for (Lane& lane : lanes) {
            if (!lane.Running()) continue;
            int exitCode = 0;
            if (lane.child->Finished(exitCode)) {
                FinishAttempt(lane, exitCode, now);
                continue;
            }
            if (lane.killAt >= 0 && now >= lane.killAt) {
                lane.child->Kill();
            } else if (lane.deadline >= 0 && now >= lane.deadline && lane.killAt < 0) {
                lane.timedOut = true;
                lane.child->RequestStop();
                lane.killAt = now + StopGraceMs;
            }
        }
        int running = 0;
        bool work = false;
        for (const Lane& lane : lanes) {
            running += lane.Running() ? 1 : 0;
            work = work || lane.Running() || (!stopped && !lane.Done());
        }
        if (!work) break;
        if (!stopped) {
            for (Lane& lane : lanes) {
                if (running >= job.parallel) break;
                if (lane.Running() || lane.Done() || lane.notBefore > now || DeviceBusy(lane)) continue;
                StartAttempt(lane, now);
                if (lane.Running()) ++running;
            }
        }
        Draw(now, false);
        // Sleep until something can happen: a child ends, a stop request,
        // a retry falls due, a time-out or a kill, the next redraw.
        int64_t wake = -1;
        auto consider = [&](int64_t at) {
            if (at >= 0) wake = wake < 0 ? at : std::min(wake, at);
        };
        for (const Lane& lane : lanes) {
            if (lane.Running()) {
                consider(lane.deadline);
                consider(lane.killAt);
            } else if (!stopped && !lane.Done() && lane.notBefore > now) {
                consider(lane.notBefore);
            }
        }
        if (live) consider(now + DrawIntervalMs);
        int64_t timeout = wake < 0 ? -1 : std::max<int64_t>(0, wake - platform::MonotonicMilliseconds());
        // Lanes that wait for a device or a free slot wake with a child's end.
        platform::WaitForChildEvent(timeout);
    }
    Draw(platform::MonotonicMilliseconds(), true);
    Save();
}

void ReconcileInterruptedAttempts(const Job& job, const std::string& runDir, std::vector<StepRecord>& records) {
    for (StepRecord& record : records) {
        const JobStep* step = job.FindStep(record.step);
        if (step == nullptr || record.Settled() || record.lastAttempt <= 0) continue;
        fs::path attempt =
            fs::path(StepFolder(runDir, record.registerNumber, *step)) / std::to_string(record.lastAttempt);
        if (fs::exists(attempt / ExitCodeFileName) || !fs::exists(attempt)) continue;
        // The driver holds its log locked while it runs.
        if (fs::exists(attempt / "KVT5100.log")) {
            platform::LockedFile log;
            if (!log.Open((attempt / "KVT5100.log").string()))
                throw FleetError("A driver still runs in '" + attempt.string() + "': wait for it to end, then resume");
        }
        AttemptReport report = ReadAttempt(attempt.string());
        record.lastLine = report.lastLine;
        record.records = report.records;
        if (report.lastLine == "Completed OK" && step->verifyStep == 0) {
            record.status = StepStatus::Completed;
            record.exitCode = 0;
        } else if ((step->command.kind == StepKind::ReadClear && report.reachedClear) ||
                   (step->command.kind == StepKind::Command && !report.statusUnanswered)) {
            record.status = StepStatus::ClearUnknown;
        } else {
            record.status = StepStatus::Failed;
        }
        if (!step->file.empty() && step->command.kind != StepKind::Command)
            record.dataFile = Relative((attempt / StepFileName(*step)).string(), runDir);
        std::ofstream(attempt / ExitCodeFileName, std::ios::binary) << "unknown (kvtfleet ended during this attempt)\n";
    }
}
