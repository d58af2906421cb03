#pragma once
// End-to-end test support: a temporary directory holding a copy of the
// driver and its INI, runs of the real executable, and the simulated ECR on a
// pseudo-terminal.
#include <cstdint>
#include <string>
#include <vector>

#include "support/TempDir.h"

struct RunResult {
    int exitCode = -1;   // the process exit code; -1 when it was killed
    std::string output;  // everything written to standard output
};

// A temporary directory with a copy of build/KVT5100 in it; removed at the end.
class DriverSandbox {
public:
    DriverSandbox();
    ~DriverSandbox();
    DriverSandbox(const DriverSandbox&) = delete;
    DriverSandbox& operator=(const DriverSandbox&) = delete;

    const std::string& Dir() const { return dir.Path(); }
    std::string PathOf(const std::string& name) const { return dir.PathOf(name); }

    void WriteIni(const std::string& text) const { WriteFile("KVT5100.ini", text); }
    void WriteFile(const std::string& name, const std::string& content) const;
    std::string ReadFile(const std::string& name) const;  // "" when missing
    bool Exists(const std::string& name) const;

    // Runs the driver copy with the sandbox as working directory.
    RunResult Run(const std::vector<std::string>& args, int timeoutSeconds = 60) const;

private:
    TempDir dir;
};

// An INI for the sandbox: section Common and ECR_1 on `device`, with small
// timings so that error paths end quickly. `extraEcr` lines are added to
// ECR_1, `extraCommon` to Common.
std::string TestIni(const std::string& device, const std::string& extraEcr = "",
                    const std::string& extraCommon = "");

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

// Bytes of a text, for comparing frames.
std::vector<uint8_t> Bytes(const std::string& text);
// "02 83 37 42 03" form of bytes.
std::string Hex(const std::vector<uint8_t>& bytes);
// The data part (without checksum and closing byte) of every data frame the
// driver sent, in order: received sequences ending in CR.
std::vector<std::string> SentDataFrames(const std::vector<std::vector<uint8_t>>& received);
