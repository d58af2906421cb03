#pragma once
// Process plumbing of the benchmark: a scratch directory with a copy of the
// driver, the simulated register on a pty, and timed child processes.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/peers/ChildProcess.h"

// The driver to measure: its program file and, for a program of another
// system, the command that runs it (wine for the Windows build).
struct DriverCommand {
    std::string program;
    std::string launcher;  // empty: the program runs itself
};

// What a finished child process cost.
struct ChildCost {
    int exitCode = -1;         // -1 when it was killed or died on a signal
    double wallSeconds = 0;    // from fork to reaping
    double cpuSeconds = 0;     // user + system time of the child and of the children it waited for
    double ownCpuSeconds = 0;  // of the child alone (clock-tick resolution)
    long maxRssKiB = 0;        // peak resident set of the child
    long waits = 0;            // times the child (and its waited-for children) slept until woken
};

// A temporary directory holding a copy of the driver (whose INI must lie
// beside it); removed at the end unless kept.
class Scratch {
public:
    explicit Scratch(const DriverCommand& driver);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& Dir() const { return dir; }
    std::string PathOf(const std::string& name) const { return dir + "/" + name; }
    void Keep() { keep = true; }

    // Runs the driver copy with the directory as working directory; its
    // standard output goes to driver.out.
    ChildCost RunDriver(const std::vector<std::string>& args, int timeoutSeconds) const;
    // Starts the driver copy in `workDir`, standard output to `outputPath`;
    // reap it with ReapChild.
    pid_t StartDriver(const std::vector<std::string>& args, const std::string& workDir,
                      const std::string& outputPath) const;

private:
    std::string dir;
    std::string launcher;
    std::string driverCopy;
    bool keep = false;
};

// ecrsim on a pty linked at <dir>/<name>.tty, logging the wire to
// <dir>/<name>sim.log (ecr.tty and ecrsim.log by default); `extraArgs` are
// further ecrsim options.
class SimulatorProcess {
public:
    SimulatorProcess(const std::string& dir, int baud, const std::vector<std::string>& extraArgs = {},
                     const std::string& name = "ecr");
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    const std::string& LinkPath() const { return linkPath; }
    const std::string& LogPath() const { return logPath; }
    // Ends the simulator (SIGTERM) and tells what it cost from its start.
    ChildCost Stop();

private:
    std::string linkPath;
    std::string logPath;
    int64_t startNs = 0;
    pid_t pid = -1;
};

// Waits for `child` (polling every millisecond, every 5 ms after its first
// second; killing it after `timeoutSeconds`) and fills in its cost;
// `startNs` is when it was forked.
ChildCost ReapChild(pid_t child, int64_t startNs, int timeoutSeconds);

// CPU time of the whole machine from /proc/stat, in clock ticks.
struct MachineTicks {
    uint64_t busy = 0;
    uint64_t total = 0;
};
MachineTicks ReadMachineTicks();
// Percent of all cores busy between two readings.
double BusyPercent(const MachineTicks& before, const MachineTicks& after);

int64_t MonotonicNs();
void WriteWholeFile(const std::string& path, const std::string& text);
// A file of `count` PLU table records (code,price,"name",department,f5,f6,
// CR LF line ends) in an order that is neither sorted nor reversed.
void WritePluFile(const std::string& path, int count);
