// kvtfleet: one job on many registers. Runs the unchanged driver once per
// register and step, each run in a folder of its own in the archive.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "errors/Exceptions.h"
#include "fleet/Check.h"
#include "fleet/DriverIni.h"
#include "fleet/FleetError.h"
#include "fleet/JobFile.h"
#include "fleet/Results.h"
#include "fleet/RunFolder.h"
#include "fleet/Runner.h"
#include "platform/ChildProcess.h"
#include "platform/LockedFile.h"
#include "platform/Process.h"

namespace fs = std::filesystem;

namespace {

constexpr char LockFileName[] = "kvtfleet.lock";

const char Usage[] =
    "Usage: kvtfleet [--driver PATH] run JOB       run the job's steps on its registers\n"
    "       kvtfleet [--driver PATH] resume RUNDIR carry on a stopped or partly failed run\n"
    "       kvtfleet [--driver PATH] [--offline] check JOB\n"
    "                                               check the job, the INI and the files to send\n"
    "--driver PATH  the driver program (default: KVT5100 beside kvtfleet); its KVT5100.ini names the registers\n"
    "--offline      check without the driver: no register is asked\n"
    "Exit code: 0 all steps completed, 2 some with data errors, 1 a step failed, was not run or its clear\n"
    "is unknown (and for bad input).\n";

// A command line kvtfleet cannot read: the message, then the usage.
struct UsageError : FleetError {
    explicit UsageError(const std::string& text) : FleetError(text) {}
};

struct Arguments {
    std::string verb;
    std::string target;
    std::string driver;
    bool offline = false;
};

Arguments ParseArguments(int argc, char** argv) {
    Arguments args;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--driver" && i + 1 < argc) args.driver = argv[++i];
        else if (arg.rfind("--driver=", 0) == 0) args.driver = arg.substr(9);
        else if (arg == "--offline") args.offline = true;
        else if (arg == "--help" || arg == "-h" || arg == "/?") throw UsageError("");
        else if (arg.rfind("--", 0) == 0) throw UsageError("Unknown option " + arg);
        else words.push_back(arg);
    }
    if (words.size() != 2) throw UsageError("Give a verb and its job file or run folder");
    args.verb = words[0];
    args.target = words[1];
    if (args.verb != "run" && args.verb != "resume" && args.verb != "check")
        throw UsageError("Unknown verb '" + args.verb + "'");
    if (args.offline && args.verb != "check") throw UsageError("--offline belongs to check");
    return args;
}

std::string DriverPath(const Arguments& args) {
    std::string path = args.driver.empty() ? DefaultDriverPath() : fs::absolute(args.driver).string();
    if (!fs::is_regular_file(path)) throw FleetError("The driver '" + path + "' was not found (use --driver PATH)");
    return path;
}

std::string IniBeside(const std::string& driverPath) {
    return (fs::path(driverPath).parent_path() / "KVT5100.ini").string();
}

// One kvtfleet at a time in a run folder.
void LockRunFolder(platform::LockedFile& lock, const std::string& runDir) {
    if (!lock.Open((fs::path(runDir) / LockFileName).string()))
        throw FleetError("The run folder '" + runDir + "' is in use by another kvtfleet");
}

// Runs the steps not yet settled; writes the results; the job's exit code.
int RunSteps(const Job& job, const std::string& runDir, std::vector<StepRecord>& records) {
    DriverIni ini(RunIniPath(runDir));
    std::printf("Run folder %s\n", runDir.c_str());
    std::fflush(stdout);
    Runner runner(job, ini, runDir, records);
    runner.Run();
    WriteResults(runDir, job, records, ini.Delimiter());
    if (runner.Stopped()) std::printf("Stopped. Carry on with: kvtfleet resume %s\n", runDir.c_str());
    std::printf("%s\n", runDir.c_str());
    return JobExitCode(records);
}

int Run(const Arguments& args) {
    std::string driverPath = DriverPath(args);
    DriverIni ini(IniBeside(driverPath));
    Job job = LoadJob(args.target);
    ValidateJob(job, ini);
    std::string archive = ArchivePath(job);
    CheckArchive(archive, job.minFreeMegabytes);
    std::string runDir = CreateRunFolder(archive, job.name);
    platform::LockedFile lock;
    LockRunFolder(lock, runDir);
    PrepareRunFolder(runDir, job, driverPath, ini);
    std::vector<StepRecord> records;
    for (int number : job.registers)
        for (const JobStep& step : job.steps) {
            StepRecord record;
            record.registerNumber = number;
            record.step = step.number;
            record.command = step.typedCommand;
            record.file = step.file;
            records.push_back(record);
        }
    return RunSteps(job, runDir, records);
}

int Resume(const Arguments& args) {
    std::string runDir = fs::absolute(args.target).lexically_normal().string();
    if (!runDir.empty() && (runDir.back() == '/' || runDir.back() == '\\')) runDir.pop_back();
    if (!fs::is_directory(runDir)) throw FleetError("Run folder '" + runDir + "' not found");
    platform::LockedFile lock;
    LockRunFolder(lock, runDir);
    std::vector<StepRecord> records = LoadState(runDir);
    // The job as it was run, with the driver and INI copied for it.
    Job job = LoadJob(RunJobPath(runDir));
    DriverIni ini(RunIniPath(runDir));
    job.baseDir = runDir;
    // The send files come from the run's own copies (input/).
    ValidateJob(job, ini, false);
    for (const StepRecord& r : records) {
        bool known = std::find(job.registers.begin(), job.registers.end(), r.registerNumber) != job.registers.end() &&
                     job.FindStep(r.step) != nullptr;
        if (!known) throw FleetError("The state file does not belong to job.ini in '" + runDir + "'");
    }
    CheckArchive(fs::path(runDir).string(), job.minFreeMegabytes);
    ReconcileInterruptedAttempts(job, runDir, records);
    return RunSteps(job, runDir, records);
}

int Check(const Arguments& args) {
    std::string driverPath;
    std::string iniPath;
    if (args.offline && !args.driver.empty()) driverPath = fs::absolute(args.driver).string();
    else if (args.offline) driverPath = DefaultDriverPath();
    else driverPath = DriverPath(args);
    DriverIni ini(IniBeside(driverPath));
    Job job = LoadJob(args.target);
    ValidateJob(job, ini);
    return CheckJob(job, ini, driverPath, args.offline);
}

}  // namespace

int main(int argc, char** argv) {
    platform::IgnoreBrokenPipe();
    try {
        Arguments args = ParseArguments(argc, argv);
        if (args.verb == "run") return Run(args);
        if (args.verb == "resume") return Resume(args);
        return Check(args);
    } catch (const UsageError& error) {
        if (error.what()[0] != '\0') std::printf("kvtfleet: %s\n\n", error.what());
        std::printf("%s", Usage);
        return 1;
    } catch (const FleetError& error) {
        std::printf("kvtfleet: %s\n", error.what());
        return 1;
    } catch (const Exception& error) {
        std::printf("kvtfleet: %s\n", error.GetMessage().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::printf("kvtfleet: %s\n", error.what());
        return 1;
    }
}
