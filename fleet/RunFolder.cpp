#include "fleet/RunFolder.h"

#include <cctype>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "fleet/DriverIni.h"
#include "fleet/FleetError.h"
#include "platform/ChildProcess.h"
#include "tools/TextTools.h"

namespace fs = std::filesystem;

namespace {

constexpr char DriverFolder[] = "driver";
constexpr char InputFolder[] = "input";

std::string SafeHostName() {
    std::string name;
    for (unsigned char ch : platform::HostName()) name += std::isalnum(ch) || ch == '-' || ch == '_' ? ch : '_';
    return name.empty() ? "host" : name;
}

void Copy(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    if (error) throw FleetError("Unable to copy '" + from.string() + "' to '" + to.string() + "': " + error.message());
}

}  // namespace

std::string ArchivePath(const Job& job) {
    fs::path archive(job.archive);
    return (archive.is_absolute() ? archive : fs::path(job.baseDir) / archive).lexically_normal().string();
}

void CheckArchive(const std::string& archive, int minFreeMegabytes) {
    std::error_code error;
    if (fs::exists(archive, error) && !fs::is_directory(archive, error))
        throw FleetError("Archive '" + archive + "' is a file, not a folder");
    fs::create_directories(archive, error);
    if (error) throw FleetError("Unable to create the archive folder '" + archive + "': " + error.message());
    fs::path probe = fs::path(archive) / (".kvtfleet-probe-" + SafeHostName());
    {
        std::ofstream out(probe, std::ios::binary);
        out << "probe\n";
        out.flush();
        if (!out) throw FleetError("The archive folder '" + archive + "' cannot be written");
    }
    fs::remove(probe, error);
    fs::space_info space = fs::space(archive, error);
    if (!error && space.available < static_cast<uintmax_t>(minFreeMegabytes) * 1024 * 1024)
        throw FleetError("The archive folder '" + archive + "' has " + std::to_string(space.available / (1024 * 1024)) +
                         " MB free, the job asks for " + std::to_string(minFreeMegabytes) + " MB (MinFreeSpace)");
}

std::string CreateRunFolder(const std::string& archive, const std::string& jobName) {
    std::time_t now = std::time(nullptr);
    std::tm local = *std::localtime(&now);
    char day[16];
    char clock[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &local);
    std::strftime(clock, sizeof clock, "%H%M%S", &local);
    fs::path dayFolder = fs::path(archive) / day;
    std::error_code error;
    fs::create_directories(dayFolder, error);
    std::string base = std::string(clock) + "-" + SafeHostName() + "-" + jobName;
    for (int n = 1; n < 1000; ++n) {
        fs::path candidate = dayFolder / (n == 1 ? base : base + "-" + std::to_string(n));
        // create_directory is false for a folder that exists: never reused.
        if (fs::create_directory(candidate, error)) return candidate.string();
        if (error) throw FleetError("Unable to create the run folder '" + candidate.string() + "': " + error.message());
    }
    throw FleetError("No free run folder name under '" + dayFolder.string() + "'");
}

void PrepareRunFolder(const std::string& runDir, const Job& job, const std::string& driverPath, const DriverIni& ini) {
    fs::path run(runDir);
    std::error_code error;
    fs::create_directories(run / DriverFolder, error);
    fs::create_directories(run / InputFolder, error);
    {
        std::ofstream out(RunJobPath(runDir), std::ios::binary);
        out << job.text;
        if (!out) throw FleetError("Unable to write '" + RunJobPath(runDir) + "'");
    }
    Copy(driverPath, RunDriverPath(runDir));
    fs::permissions(RunDriverPath(runDir), fs::perms::owner_all, fs::perm_options::add, error);
    {
        std::ofstream out(RunIniPath(runDir), std::ios::binary);
        if (job.statusRequired != 0) out << ini.WithStatusRequired();
        else out << std::ifstream(ini.Path(), std::ios::binary).rdbuf();
        if (!out) throw FleetError("Unable to write '" + RunIniPath(runDir) + "'");
    }
    for (const JobStep& step : job.steps)
        if (step.command.kind == StepKind::Send) Copy(SendFilePath(job, step), SnapshotPath(runDir, step));
}

std::string RunDriverPath(const std::string& runDir) {
    return (fs::path(runDir) / DriverFolder / (std::string("KVT5100") + platform::ExecutableSuffix)).string();
}

std::string RunIniPath(const std::string& runDir) { return (fs::path(runDir) / DriverFolder / "KVT5100.ini").string(); }

std::string RunJobPath(const std::string& runDir) { return (fs::path(runDir) / "job.ini").string(); }

std::string SnapshotPath(const std::string& runDir, const JobStep& step) {
    return (fs::path(runDir) / InputFolder / (step.Label() + "-" + StepFileName(step))).string();
}

std::string StepFileName(const JobStep& step) { return fs::path(step.file).filename().string(); }

std::string DefaultDriverPath() { return GetModuleDirectory() + "KVT5100" + platform::ExecutableSuffix; }
