#include "FleetBench.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/peers/ChildProcess.h"

namespace fs = std::filesystem;

namespace {

constexpr double RatioTarget = 1.15;         // N registers against one alone
constexpr double FleetCpuTargetPercent = 2;  // kvtfleet's own CPU, percent of one core
constexpr int JobTimeoutSeconds = 900;
const char* const TableFile = "table.txt";  // what every register holds
const char* const ReadFile = "plu.txt";     // what the read writes

// What one job of `registers` registers cost.
struct Figures {
    int registers = 0;
    double wall = 0;
    double driversCpu = 0;
    double simulatorsCpu = 0;
    double fleetCpu = -1;  // kvtfleet's own CPU; -1 for drivers started directly
    double busyPercent = 0;
    int complete = 0;     // registers whose read brought every record
    std::string problem;  // the first register that did not, and why
};

size_t CountLines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// The last `count` non-empty lines (progress lines end in CR), joined by " | ".
std::string LastLines(const std::string& text, int count) {
    std::vector<std::string> lines;
    size_t end = text.size();
    while (end > 0 && static_cast<int>(lines.size()) < count) {
        size_t cut = text.find_last_of("\r\n", end - 1);
        size_t begin = cut == std::string::npos ? 0 : cut + 1;
        if (end > begin) lines.insert(lines.begin(), text.substr(begin, end - begin));
        if (cut == std::string::npos) break;
        end = cut;
    }
    std::string joined;
    for (const std::string& line : lines) joined += (joined.empty() ? "" : " | ") + line;
    return joined;
}

// Fields of one CSV line; quoted fields may hold commas and doubled quotes.
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char ch = line[i];
        if (ch == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (ch == '"') {
            quoted = !quoted;
        } else if (ch == ',' && !quoted) {
            fields.emplace_back();
        } else if (ch != '\r') {
            fields.back() += ch;
        }
    }
    return fields;
}

// A scratch directory with the driver, an INI with one section per
// register, the PLU table the registers hold, and a working directory per
// register for the drivers started directly.
class FleetSetup {
public:
    explicit FleetSetup(const FleetBenchOptions& options) : options(options), scratch(options.driver) {
        if (options.keep) {
            scratch.Keep();
            std::printf("    (files kept in %s)\n", scratch.Dir().c_str());
        }
        WritePluFile(scratch.PathOf(TableFile), options.records);
        // The driver's default timings; only the line of each register is set.
        std::ostringstream ini;
        ini << "[Common]\r\nDbgErrorLog = 0\r\nCodePage = RIM\r\n";
        for (int n = 1; n <= options.registers; ++n) {
            ini << "\r\n[ECR_" << n << "]\r\nComNumber = " << n << "\r\nComDevice = " << LinkOf(n) << "\r\n";
            if (options.baud != 19200) ini << "ComSettings = baud=" << options.baud << "\r\n";
        }
        WriteWholeFile(scratch.PathOf("KVT5100.ini"), ini.str());
        if (!options.fleetProgram.empty() && fs::exists(options.fleetProgram)) {
            // Beside the driver copy, so that kvtfleet runs that copy and its INI.
            fleetCopy = scratch.PathOf(fs::path(options.fleetProgram).filename().string());
            fs::copy_file(options.fleetProgram, fleetCopy);
        }
    }

    bool HasFleet() const { return !fleetCopy.empty(); }

    Figures DriversDirectly(int registers) {
        Registers sims(*this, registers);
        std::vector<std::string> workDirs;
        for (int n = 1; n <= registers; ++n) {
            workDirs.push_back(scratch.PathOf("direct-" + std::to_string(registers) + "/ECR_" + std::to_string(n)));
            fs::create_directories(workDirs.back());
        }
        Figures figures;
        figures.registers = registers;
        MachineTicks before = ReadMachineTicks();
        int64_t start = MonotonicNs();
        std::vector<pid_t> drivers;
        for (int n = 1; n <= registers; ++n)
            drivers.push_back(scratch.StartDriver({"/K" + std::to_string(n), "207", ReadFile}, workDirs[n - 1],
                                                  workDirs[n - 1] + "/console.txt"));
        std::vector<ChildCost> costs;
        for (pid_t driver : drivers) costs.push_back(ReapChild(driver, start, JobTimeoutSeconds));
        figures.wall = static_cast<double>(MonotonicNs() - start) / 1e9;
        figures.busyPercent = BusyPercent(before, ReadMachineTicks());
        figures.simulatorsCpu = sims.Stop();
        for (int n = 1; n <= registers; ++n) {
            const ChildCost& cost = costs[n - 1];
            figures.driversCpu += cost.cpuSeconds;
            size_t records = CountLines(ReadWholeFile(workDirs[n - 1] + "/" + ReadFile));
            if (cost.exitCode == 0 && records == static_cast<size_t>(options.records)) {
                ++figures.complete;
            } else if (figures.problem.empty()) {
                figures.problem = "register " + std::to_string(n) + ": exit code " + std::to_string(cost.exitCode) +
                                  ", " + std::to_string(records) +
                                  " records: " + LastLines(ReadWholeFile(workDirs[n - 1] + "/console.txt"), 2);
            }
        }
        return figures;
    }

    Figures FleetJob(int registers) {
        Registers sims(*this, registers);
        const std::string name = "bench" + std::to_string(registers);
        const std::string job = scratch.PathOf(name + ".ini");
        std::ostringstream text;
        text << "[Job]\r\nName = " << name
             << "\r\nRegisters = " << (registers == 1 ? std::string("1") : "1-" + std::to_string(registers))
             << "\r\nArchive = " << scratch.PathOf("archive") << "\r\nParallel = " << registers
             << "\r\nRetries = 0\r\nRetryDelay = 0\r\n\r\n[Steps]\r\n1 = 207 " << ReadFile << "\r\n";
        WriteWholeFile(job, text.str());

        Figures figures;
        figures.registers = registers;
        const std::string output = scratch.PathOf(name + ".out");
        MachineTicks before = ReadMachineTicks();
        int64_t start = MonotonicNs();
        pid_t fleet = fork();
        if (fleet < 0) throw std::runtime_error("fork failed");
        if (fleet == 0) {
            if (chdir(scratch.Dir().c_str()) != 0) _exit(127);
            ExecWithOutput(output, {fleetCopy, "run", job});
        }
        ChildCost cost = ReapChild(fleet, start, JobTimeoutSeconds);
        figures.wall = cost.wallSeconds;
        figures.busyPercent = BusyPercent(before, ReadMachineTicks());
        figures.simulatorsCpu = sims.Stop();
        figures.fleetCpu = cost.ownCpuSeconds;
        // The drivers are kvtfleet's children: wait4 counts them with it.
        figures.driversCpu = std::max(0.0, cost.cpuSeconds - cost.ownCpuSeconds);
        CountCompleted(LastLines(ReadWholeFile(output), 1), figures);
        if (cost.exitCode != 0 && figures.problem.empty())
            figures.problem = "kvtfleet exit code " + std::to_string(cost.exitCode);
        return figures;
    }

private:
    // One simulator per register, preloaded with the table, for one job.
    class Registers {
    public:
        Registers(const FleetSetup& setup, int count) {
            const std::string table = "0x51=" + setup.scratch.PathOf(TableFile);
            for (int n = 1; n <= count; ++n)
                sims.push_back(std::make_unique<SimulatorProcess>(setup.scratch.Dir(), setup.options.baud,
                                                                  std::vector<std::string>{"--preload", table},
                                                                  "ecr" + std::to_string(n)));
        }
        double Stop() {
            double cpu = 0;
            for (auto& sim : sims) cpu += sim->Stop().cpuSeconds;
            return cpu;
        }

    private:
        std::vector<std::unique_ptr<SimulatorProcess>> sims;
    };

    std::string LinkOf(int n) const { return scratch.PathOf("ecr" + std::to_string(n) + ".tty"); }

    // Registers whose row in the run's summary.csv says completed with
    // every record.
    void CountCompleted(const std::string& runDir, Figures& figures) const {
        std::istringstream lines(ReadWholeFile(runDir + "/summary.csv"));
        std::string line;
        std::vector<std::string> header;
        if (!std::getline(lines, line)) {
            figures.problem = "no summary.csv in the run folder \"" + runDir + "\"";
            return;
        }
        header = CsvFields(line);
        auto column = [&](const char* name) {
            return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
        };
        const size_t reg = column("register"), outcome = column("outcome"), records = column("records"),
                     last = column("last_line");
        while (std::getline(lines, line)) {
            std::vector<std::string> row = CsvFields(line);
            if (row.size() < header.size()) continue;
            if (row[outcome] == "completed" && row[records] == std::to_string(options.records)) {
                ++figures.complete;
            } else if (figures.problem.empty()) {
                figures.problem =
                    "register " + row[reg] + ": " + row[outcome] + ", " + row[records] + " records: " + row[last];
            }
        }
    }

    const FleetBenchOptions& options;
    Scratch scratch;
    std::string fleetCopy;
};

// One row; `alone` is the one-register figure the row is compared with
// (none for that row itself).
void PrintRow(const char* startedBy, const Figures& figures, const Figures* alone) {
    std::printf("%-17s %9d %7.2f ", startedBy, figures.registers, figures.wall);
    if (alone == nullptr) std::printf("%6s", "-");
    else std::printf("%6.3f", figures.wall / alone->wall);
    std::printf(" %11.2f %14.2f ", figures.driversCpu, figures.simulatorsCpu);
    if (figures.fleetCpu < 0) std::printf("%17s", "-");
    else std::printf("%7.2f (%5.2f %%)", figures.fleetCpu, 100.0 * figures.fleetCpu / figures.wall);
    std::printf(" %5.0f %%  %d/%d\n", figures.busyPercent, figures.complete, figures.registers);
    if (!figures.problem.empty()) std::printf("    %s\n", figures.problem.c_str());
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

void RunFleetBench(const FleetBenchOptions& options) {
    std::printf(
        "Many registers: each register its own ecrsim on its own pty at %d baud, holding a PLU table of %d\n"
        "records; each register read once (207 %s); driver INI timings at their defaults. Ratio: the\n"
        "wall time of N registers against one register alone, started the same way. Seconds unless marked.\n\n",
        options.baud, options.records, ReadFile);
    std::printf("%-17s %9s %7s %6s %11s %14s %17s %7s  %s\n", "started by", "registers", "wall", "ratio", "drivers CPU",
                "simulators CPU", "kvtfleet CPU", "busy", "complete");
    std::fflush(stdout);
    FleetSetup setup(options);
    Figures alone = setup.DriversDirectly(1);
    PrintRow("drivers directly", alone, nullptr);
    std::fflush(stdout);
    Figures all = setup.DriversDirectly(options.registers);
    PrintRow("drivers directly", all, &alone);
    std::fflush(stdout);
    if (!options.driver.launcher.empty()) {
        // kvtfleet starts the driver itself, without the launcher.
        std::printf("    (a driver run through %s: the kvtfleet rows are left out)\n\n",
                    options.driver.launcher.c_str());
        return;
    }
    if (!setup.HasFleet()) {
        std::printf("    (kvtfleet not found at %s: its rows are left out)\n\n", options.fleetProgram.c_str());
        return;
    }
    Figures fleetAlone = setup.FleetJob(1);
    PrintRow("kvtfleet", fleetAlone, nullptr);
    std::fflush(stdout);
    Figures fleetAll = setup.FleetJob(options.registers);
    PrintRow("kvtfleet", fleetAll, &fleetAlone);
    double ratio = fleetAll.wall / fleetAlone.wall;
    double cpuPercent = 100.0 * fleetAll.fleetCpu / fleetAll.wall;
    std::printf(
        "    kvtfleet, %d registers: ratio %s (target %.2f or less), kvtfleet CPU %s (target under %.0f %% "
        "of one core)\n\n",
        options.registers, Verdict(ratio <= RatioTarget), RatioTarget, Verdict(cpuPercent < FleetCpuTargetPercent),
        FleetCpuTargetPercent);
}
