#pragma once
// End-to-end test support: a temporary directory holding a copy of the
// driver and its INI, runs of the real executable, and the simulated ECR on a
// pseudo-terminal.
//
// The driver under test is build/KVT5100 unless the environment names
// another: KVT_TEST_DRIVER the program file (build-win/KVT5100.exe),
// KVT_TEST_LAUNCHER a program that runs it (wine) with KVT_TEST_LAUNCHER_LOG
// the file for its messages, and KVT_TEST_COM_PORTS a
// directory of links COM<n> that the launcher's system sees as serial ports.
// With the ports, INIs name the port by ComNumber and the test's pty is
// reached through a link of its own.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/TempDir.h"

struct RunResult {
    int exitCode = -1;   // the process exit code; -1 when it was killed
    std::string output;  // everything written to standard output
};

// True when the driver under test is the Windows program.
bool DriverIsWindowsProgram();

// Skips a test whose subject exists only on Linux.
#define SKIP_UNLESS_LINUX_DRIVER(reason) \
    if (DriverIsWindowsProgram()) GTEST_SKIP() << "Linux only: " << (reason)

// The temporary directory with a copy of the driver in it; removed at the end.
// Starts `program` (under KVT_TEST_LAUNCHER when set) in `workDir` with
// `out` as its standard output (closed when negative) and the null device as
// input; it is killed if the test process ends first. The child's pid.
pid_t StartProgram(const std::string& workDir, const std::string& program, const std::vector<std::string>& args,
                   int out);

class DriverSandbox {
public:
    DriverSandbox() : DriverSandbox("kvt5100-test") {}
    // The directory's name starts with `prefix` (UTF-8, any letters).
    explicit DriverSandbox(const std::string& prefix);
    ~DriverSandbox();
    DriverSandbox(const DriverSandbox&) = delete;
    DriverSandbox& operator=(const DriverSandbox&) = delete;

    const std::string& Dir() const { return dir.Path(); }
    std::string PathOf(const std::string& name) const { return dir.PathOf(name); }

    void WriteIni(const std::string& text) const { WriteFile("KVT5100.ini", text); }
    void WriteFile(const std::string& name, const std::string& content) const;
    std::string ReadFile(const std::string& name) const;  // "" when missing
    bool Exists(const std::string& name) const;

    // Runs the driver copy with the sandbox as working directory. A Windows
    // driver's console lines end in CR LF; they are given back with LF.
    RunResult Run(const std::vector<std::string>& args, int timeoutSeconds = 60) const;
    // Starts the driver copy in the background with `out` as its standard
    // output (closed when `out` is negative); it is killed if the test
    // process ends first. The child's pid.
    pid_t Start(const std::vector<std::string>& args, int out) const;

private:
    RunResult RunOnce(const std::vector<std::string>& args, int timeoutSeconds) const;
    TempDir dir;
};

// An INI for the sandbox: section Common and ECR_1 on `device` (by ComDevice,
// or by ComNumber through a COM link), with small timings so that error
// paths end quickly. `extraEcr` lines are added to
// ECR_1, `extraCommon` to Common.
std::string TestIni(const std::string& device, const std::string& extraEcr = "", const std::string& extraCommon = "");

// The port name the driver logs for `device` in an INI made by TestIni.
std::string DriverPortName(const std::string& device);

// The simulated ECR (build/ecrsim) on a pty linked at <dir>/ecr.tty, logging
// to <dir>/ecrsim.log. Stopped (SIGTERM) by Stop() or the destructor, and
// also when the test process ends without them.
class Simulator {
public:
    Simulator(const std::string& dir, const std::vector<std::string>& options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& LinkPath() const { return linkPath; }
    void Stop();
    std::string Log() const;  // the --log file
    // The byte sequences that arrived from the driver ("IN" lines), in order.
    std::vector<std::vector<uint8_t>> Received() const;
    // Standard output of the simulator (complete after Stop()).
    std::string Output() const;

private:
    std::string dir;
    std::string linkPath;
    std::string logPath;
    std::string outputPath;
    int pid = -1;
};

// The lines of a text, split at LF (a CR before it stays).
std::vector<std::string> Lines(const std::string& text);
// Bytes of a text, for comparing frames.
std::vector<uint8_t> Bytes(const std::string& text);
// "02 83 37 42 03" form of bytes.
std::string Hex(const std::vector<uint8_t>& bytes);
// The data part (without checksum and closing byte) of every data frame the
// driver sent, in order: received sequences ending in CR.
std::vector<std::string> SentDataFrames(const std::vector<std::vector<uint8_t>>& received);
