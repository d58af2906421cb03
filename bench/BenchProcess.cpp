#include "BenchProcess.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

namespace {

double Seconds(const timeval& value) { return static_cast<double>(value.tv_sec) + value.tv_usec / 1e6; }

}  // namespace

ChildCost ReapChild(pid_t child, int64_t startNs, int timeoutSeconds) {
    ChildCost cost;
    const int64_t deadlineNs = startNs + static_cast<int64_t>(timeoutSeconds) * 1000000000LL;
    int status = 0;
    rusage usage{};
    while (true) {
        pid_t done = wait4(child, &status, WNOHANG, &usage);
        if (done == child) break;
        if (done < 0) throw std::runtime_error("wait4 failed");
        if (MonotonicNs() > deadlineNs) {
            kill(child, SIGKILL);
            wait4(child, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    cost.wallSeconds = static_cast<double>(MonotonicNs() - startNs) / 1e9;
    cost.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    cost.maxRssKiB = usage.ru_maxrss;
    if (WIFEXITED(status)) cost.exitCode = WEXITSTATUS(status);
    return cost;
}

Scratch::Scratch(const DriverCommand& driver) : launcher(driver.launcher) {
    std::string pattern = (fs::temp_directory_path() / "kvtbench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    driverCopy = PathOf(fs::path(driver.program).filename().string());
    fs::copy_file(driver.program, driverCopy);
    fs::permissions(driverCopy, fs::perms::owner_all);
}

Scratch::~Scratch() {
    if (keep) return;
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

ChildCost Scratch::RunDriver(const std::vector<std::string>& args, int timeoutSeconds) const {
    std::vector<std::string> argv{driverCopy};
    if (!launcher.empty()) argv.insert(argv.begin(), launcher);
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string outputPath = PathOf("driver.out");
    int64_t start = MonotonicNs();
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        ExecWithOutput(outputPath, argv);
    }
    return ReapChild(child, start, timeoutSeconds);
}

SimulatorProcess::SimulatorProcess(const std::string& dir, int baud)
    : linkPath(dir + "/ecr.tty"), logPath(dir + "/ecrsim.log") {
    const std::string outputPath = dir + "/ecrsim.out";
    pid = SpawnChild({ECRSIM_PATH, "--link", linkPath, "--log", logPath, "--baud", std::to_string(baud)}, outputPath);
    WaitForChild(pid, "ecrsim", outputPath, [&] { return fs::exists(linkPath); });
}

SimulatorProcess::~SimulatorProcess() { StopChild(pid); }
