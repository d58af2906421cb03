#include "BenchProcess.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

namespace {

// A PLU code order that is neither sorted nor reversed: i * 7368787 mod
// count runs through every number below count once (7368787 is a prime
// that divides no count used here).
int64_t ScrambledCode(int64_t i, int64_t count) { return 4750000000000LL + (i * 7368787LL) % count + 1; }

double Seconds(const timeval& value) { return static_cast<double>(value.tv_sec) + value.tv_usec / 1e6; }

// User + system time of a child that has exited but is not reaped yet:
// the zombie's /proc/<pid>/stat still holds it.
double OwnCpuOfZombie(pid_t child) {
    std::string stat = ReadWholeFile("/proc/" + std::to_string(child) + "/stat");
    size_t close = stat.rfind(')');  // the command name may hold spaces
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    // After the name: state is field 3, utime 14 and stime 15.
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

void WritePluFile(const std::string& path, int count) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) throw std::runtime_error("cannot write " + path);
    for (int i = 0; i < count; ++i) {
        int64_t code = ScrambledCode(i, count);
        std::fprintf(out, "%lld,%d,\"Item %07d\",%d,%d,%d\r\n", static_cast<long long>(code), 100 + i % 9900,
                     static_cast<int>(code % 10000000), i % 9, i % 100, 1 + i % 7);
    }
    if (std::fclose(out) != 0) throw std::runtime_error("cannot write " + path);
}

MachineTicks ReadMachineTicks() {
    std::istringstream line(ReadWholeFile("/proc/stat"));
    std::string cpu;
    line >> cpu;
    MachineTicks ticks;
    uint64_t value = 0;
    // user nice system idle iowait irq softirq steal: idle and iowait are not busy.
    for (int index = 0; index < 8 && line >> value; ++index) {
        ticks.total += value;
        if (index != 3 && index != 4) ticks.busy += value;
    }
    return ticks;
}

double BusyPercent(const MachineTicks& before, const MachineTicks& after) {
    uint64_t total = after.total - before.total;
    return total == 0 ? 0 : 100.0 * static_cast<double>(after.busy - before.busy) / static_cast<double>(total);
}

ChildCost ReapChild(pid_t child, int64_t startNs, int timeoutSeconds) {
    ChildCost cost;
    const int64_t deadlineNs = startNs + static_cast<int64_t>(timeoutSeconds) * 1000000000LL;
    int status = 0;
    rusage usage{};
    while (true) {
        // Left as a zombie first, so that its own CPU time can still be read.
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            throw std::runtime_error("waitid failed");
        if (info.si_pid == child) break;
        if (MonotonicNs() > deadlineNs) {
            kill(child, SIGKILL);
            break;
        }
        // A millisecond at first; a long run is measured to 5 ms, at less cost.
        bool longRun = MonotonicNs() - startNs > 1000000000LL;
        std::this_thread::sleep_for(std::chrono::milliseconds(longRun ? 5 : 1));
    }
    cost.wallSeconds = static_cast<double>(MonotonicNs() - startNs) / 1e9;
    cost.ownCpuSeconds = OwnCpuOfZombie(child);
    if (wait4(child, &status, 0, &usage) != child) throw std::runtime_error("wait4 failed");
    cost.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    cost.maxRssKiB = usage.ru_maxrss;
    cost.waits = usage.ru_nvcsw;
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
    int64_t start = MonotonicNs();
    pid_t child = StartDriver(args, dir, PathOf("driver.out"));
    return ReapChild(child, start, timeoutSeconds);
}

pid_t Scratch::StartDriver(const std::vector<std::string>& args, const std::string& workDir,
                           const std::string& outputPath) const {
    std::vector<std::string> argv{driverCopy};
    if (!launcher.empty()) argv.insert(argv.begin(), launcher);
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (chdir(workDir.c_str()) != 0) _exit(127);
        ExecWithOutput(outputPath, argv);
    }
    return child;
}

SimulatorProcess::SimulatorProcess(const std::string& dir, int baud, const std::vector<std::string>& extraArgs,
                                   const std::string& name)
    : linkPath(dir + "/" + name + ".tty"), logPath(dir + "/" + name + "sim.log") {
    const std::string outputPath = dir + "/" + name + "sim.out";
    std::vector<std::string> args{ECRSIM_PATH, "--link", linkPath, "--log", logPath, "--baud", std::to_string(baud)};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    startNs = MonotonicNs();
    pid = SpawnChild(args, outputPath);
    WaitForChild(pid, "ecrsim", outputPath, [&] { return fs::exists(linkPath); });
}

SimulatorProcess::~SimulatorProcess() { StopChild(pid); }

ChildCost SimulatorProcess::Stop() {
    if (pid <= 0) return {};
    kill(pid, SIGTERM);
    // Ten seconds to go, counted from now.
    int timeoutSeconds = static_cast<int>((MonotonicNs() - startNs) / 1000000000LL) + 10;
    ChildCost cost = ReapChild(pid, startNs, timeoutSeconds);
    pid = -1;
    return cost;
}
