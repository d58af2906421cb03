#pragma once
// End-to-end support for kvtfleet: a temporary folder with the driver and
// kvtfleet side by side in bin/ (the driver's INI beside them), job files,
// and runs of kvtfleet with that folder as working directory.
//
// kvtfleet is build/kvtfleet unless KVT_TEST_FLEET names another
// (build-win/kvtfleet.exe); the driver is the one Harness.h picks, and
// KVT_TEST_LAUNCHER runs kvtfleet as it runs the driver.
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/Harness.h"
#include "support/TempDir.h"

class FleetSandbox {
public:
    FleetSandbox();
    const std::string& Dir() const { return dir.Path(); }
    std::string PathOf(const std::string& name) const { return dir.PathOf(name); }
    void WriteFile(const std::string& name, const std::string& content) const { dir.Write(name, content); }
    std::string ReadFile(const std::string& name) const { return dir.Read(name); }
    void WriteIni(const std::string& text) const { dir.Write("bin/KVT5100.ini", text); }

    // Runs kvtfleet with `args`; console lines come back with LF.
    RunResult Run(const std::vector<std::string>& args, int timeoutSeconds = 180) const;
    // Starts kvtfleet in the background with `out` as its standard output.
    pid_t Start(const std::vector<std::string>& args, int out) const;

private:
    TempDir dir;
    std::string fleetName;
};

// An INI with register n on devices[n - 1], each section with the small
// timings of TestIni and `extraEcr`; the first register through TestIni
// (by a COM link when the driver is the Windows program).
std::string FleetIni(const std::vector<std::string>& devices, const std::string& extraEcr = "");

// The run folder a run or resume printed as its last line.
std::string RunFolderOf(const RunResult& result);

// summary.csv of a run folder: one map per row, by column name.
std::vector<std::map<std::string, std::string>> ReadSummary(const std::string& runDir);

// The row of register `reg`, step `step`; empty when there is none.
std::map<std::string, std::string> SummaryRow(const std::vector<std::map<std::string, std::string>>& rows, int reg,
                                              int step);
