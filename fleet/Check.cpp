#include "fleet/Check.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "fleet/Attempt.h"
#include "fleet/DriverIni.h"
#include "fleet/FleetError.h"
#include "fleet/RunFolder.h"
#include "fleet/Verify.h"
#include "platform/ChildProcess.h"
#include "platform/Clock.h"

namespace fs = std::filesystem;

namespace {

constexpr int OfflineNameLength = 20;  // what the driver takes when a register does not say
constexpr int64_t DriverCheckTimeoutMs = 300000;

// The driver's own file check (/C): the status request, then the file as the
// send would check it. Its exit code; -1 when it was stopped.
int RunDriverCheck(const std::string& driverPath, int registerNumber, const JobStep& step, const std::string& file,
                   const std::string& workDir, std::string& console) {
    platform::ChildProcess child;
    std::string output = (fs::path(workDir) / ConsoleFileName).string();
    if (!child.Start(driverPath, {"/K" + std::to_string(registerNumber), "/C", std::to_string(step.typedCommand), file},
                     workDir, output)) {
        console = "the driver could not be started";
        return 1;
    }
    int exitCode = -1;
    const int64_t deadline = platform::MonotonicMilliseconds() + DriverCheckTimeoutMs;
    while (!child.Finished(exitCode)) {
        int64_t left = deadline - platform::MonotonicMilliseconds();
        if (left <= 0 || platform::StopRequested()) child.Kill();
        platform::WaitForChildEvent(std::clamp<int64_t>(left, 10, 1000));
    }
    console = ReadTextFile(output);
    return exitCode;
}

void PrintIndented(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        while (!line.empty() && line.back() == '\r') line.pop_back();
        // Progress counters overwrite themselves: only the last form counts.
        size_t cr = line.rfind('\r');
        if (cr != std::string::npos) line = line.substr(cr + 1);
        if (!line.empty()) std::printf("    %s\n", line.c_str());
    }
}

void CheckArchiveOnly(const std::string& archive) {
    std::error_code error;
    if (!fs::exists(archive, error)) {
        std::printf("Archive %s does not exist yet: a run creates it\n", archive.c_str());
        return;
    }
    if (!fs::is_directory(archive, error)) throw FleetError("Archive '" + archive + "' is a file, not a folder");
    std::printf("Archive %s\n", archive.c_str());
}

}  // namespace

int CheckJob(const Job& job, const DriverIni& ini, const std::string& driverPath, bool offline) {
    std::printf("Job %s: %d register(s), %d step(s), up to %d at once\n", job.path.c_str(),
                static_cast<int>(job.registers.size()), static_cast<int>(job.steps.size()), job.parallel);
    for (const JobStep& step : job.steps) {
        std::printf("  step %d: %d %s (%s)%s%s\n", step.number, step.typedCommand, step.command.name.c_str(),
                    StepKindName(step.command.kind), step.file.empty() ? "" : (" " + step.file).c_str(),
                    step.verifyStep ? (" verified against step " + std::to_string(step.verifyStep)).c_str() : "");
    }
    std::map<std::string, std::vector<int>> devices;
    for (int number : job.registers) devices[ini.DeviceKey(number)].push_back(number);
    for (const auto& [device, numbers] : devices) {
        if (numbers.size() < 2) continue;
        std::string list;
        for (int number : numbers) list += (list.empty() ? "" : ", ") + std::to_string(number);
        std::printf("  registers %s share %s: they run one after the other\n", list.c_str(),
                    ini.DeviceText(numbers.front()).c_str());
    }
    CheckArchiveOnly(ArchivePath(job));

    int result = 0;
    for (const JobStep& step : job.steps) {
        if (step.command.kind != StepKind::Send) continue;
        std::string file = fs::absolute(SendFilePath(job, step)).string();
        if (offline) {
            FileCheck check = CheckSendFile(step.command, file, ini.Delimiter(), OfflineNameLength);
            if (!check.error.empty()) {
                std::printf("step %d: %s\n", step.number, check.error.c_str());
                result = 1;
                continue;
            }
            std::printf("step %d: %s: %s record(s) to send, %s line(s) refused (names of up to %d characters)\n",
                        step.number, file.c_str(), std::to_string(check.records).c_str(),
                        std::to_string(check.unusedLines).c_str(), OfflineNameLength);
            if (check.unusedLines > 0 && result == 0) result = 2;
            continue;
        }
        // The driver checks the file for each register: names and levels differ.
        for (int number : job.registers) {
            std::error_code error;
            fs::path workDir =
                fs::temp_directory_path() /
                ("kvtfleet-check-" + std::to_string(platform::MonotonicMilliseconds()) + "-" + std::to_string(number));
            fs::create_directories(workDir, error);
            std::string console;
            int exitCode = RunDriverCheck(driverPath, number, step, file, workDir.string(), console);
            fs::remove_all(workDir, error);
            std::printf("step %d, register %d: exit code %d\n", step.number, number, exitCode);
            PrintIndented(console);
            if (exitCode == 2 && result == 0) result = 2;
            else if (exitCode != 0 && exitCode != 2) result = 1;
        }
    }
    std::printf("%s\n", result == 0   ? "Job OK"
                        : result == 2 ? "Job OK, but files have lines the driver refuses"
                                      : "Job check failed");
    return result;
}
