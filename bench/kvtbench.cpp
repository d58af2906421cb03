// kvtbench: measures the driver. Prints figures and never judges them by
// failing: the machine it runs on decides the times.
//
//  1. PLU table send (200) and PLU table read (207) of N records with the
//     real driver executable against ecrsim on a pty at each wire speed:
//     wall time, wire time of the bytes both ways, the INI sleeps, their
//     ratio and the driver's CPU time per record.
//     The same at 19200 baud through ser2net over RFC 2217 on loopback.
//     --driver and --launcher measure another build the same way (the
//     Windows program under wine); --com-link names a link COM<n> that the
//     launcher's system sees as serial port n, pointed at the simulator.
//  2. Loading an input file of M PLU lines through the driver library the
//     way the PLU table send does (check every line, sort, drop duplicates):
//     time and peak memory.
//  3. Many registers: N simulated registers each read at once, by N drivers
//     started directly and by one kvtfleet job, against one register alone:
//     wall times, their ratio, the CPU of kvtfleet, the drivers and the
//     simulators, and how busy the machine was.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "FleetBench.h"
#include "driver/Operation.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "fileIo/InputDataFile.h"
#include "io_PLU/PluOperations.h"
#include "support/peers/Ser2net.h"

namespace {

// Targets printed beside the figures.
constexpr double RatioTarget = 1.05;           // at 19200 baud
constexpr double CpuPerRecordTargetUs = 50.0;  // microseconds
constexpr double LoadTimeTarget = 2.0;         // seconds
constexpr double LoadMemoryTargetMiB = 64.0;

// The timing keys the benchmark INI sets, at the driver's own defaults.
constexpr int SleepBetweenCommands = 400;
constexpr int ComNakSleepTime = 250;
constexpr int ComGarbageSleepTime = 100;
constexpr int ComRetryCount = 5;
// ComPort::Close pauses this long after flushing; it is not an INI setting.
constexpr int PortClosePause = 10;
constexpr int BitsPerByte = 10;
constexpr int RunTimeoutSeconds = 600;

struct Options {
    int records = 1000;
    int lines = 1000000;
    std::vector<int> bauds;
    bool transfers = true;
    bool load = true;
    bool fleet = true;
    int registers = 32;
    std::string fleetProgram;  // default: kvtfleet beside the driver
    bool keep = false;
    DriverCommand driver{KVT5100_PATH, ""};
    std::string comLink;
};

[[noreturn]] void Usage(const char* message) {
    std::printf(
        "kvtbench: %s\n"
        "usage: kvtbench [--records N] [--lines N] [--baud N]... [--only transfers|load|fleet] [--keep]\n"
        "                [--driver PROGRAM] [--launcher COMMAND] [--com-link DIR/COM<n>]\n"
        "                [--registers N] [--fleet PROGRAM]\n",
        message);
    std::exit(2);
}

int PositiveNumber(const char* text) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0 || value > 100000000) Usage("bad number");
    return static_cast<int>(value);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        bool hasValue = i + 1 < argc;
        if (name == "--records" && hasValue) {
            options.records = PositiveNumber(argv[++i]);
        } else if (name == "--lines" && hasValue) {
            options.lines = PositiveNumber(argv[++i]);
        } else if (name == "--baud" && hasValue) {
            options.bauds.push_back(PositiveNumber(argv[++i]));
        } else if (name == "--only" && hasValue) {
            std::string what = argv[++i];
            if (what != "transfers" && what != "load" && what != "fleet")
                Usage("--only takes transfers, load or fleet");
            options.transfers = what == "transfers";
            options.load = what == "load";
            options.fleet = what == "fleet";
        } else if (name == "--registers" && hasValue) {
            options.registers = PositiveNumber(argv[++i]);
        } else if (name == "--fleet" && hasValue) {
            options.fleetProgram = argv[++i];
        } else if (name == "--driver" && hasValue) {
            options.driver.program = argv[++i];
        } else if (name == "--launcher" && hasValue) {
            options.driver.launcher = argv[++i];
        } else if (name == "--com-link" && hasValue) {
            options.comLink = argv[++i];
        } else if (name == "--keep") {
            options.keep = true;
        } else {
            Usage(("unknown argument " + name).c_str());
        }
    }
    if (options.bauds.empty()) options.bauds = {19200, 115200};
    if (options.fleetProgram.empty())
        options.fleetProgram = (std::filesystem::path(options.driver.program).parent_path() / "kvtfleet").string();
    return options;
}

// The INI's port: the device itself, or the COM number of `comLink`
// (".../COM<n>") re-pointed at the device.
std::string PortLines(const std::string& device, const std::string& comLink) {
    if (comLink.empty()) return "ComNumber = 1\r\nComDevice = " + device + "\r\n";
    std::filesystem::path link(comLink);
    std::string name = link.filename().string();
    if (name.compare(0, 3, "COM") != 0) throw std::runtime_error("--com-link must name a link COM<n>");
    std::filesystem::remove(link);
    std::filesystem::create_symlink(device, link);
    return "ComNumber = " + name.substr(3) + "\r\n";
}

std::string BenchIni(const std::string& device, const std::string& comLink, int baud) {
    std::ostringstream ini;
    ini << "[Common]\r\nDbgErrorLog = 0\r\nCodePage = RIM\r\n\r\n[ECR_1]\r\n" << PortLines(device, comLink);
    // The driver's read time-outs follow its line speed.
    if (baud != 19200) ini << "ComSettings = baud=" << baud << "\r\n";
    ini << "SleepBetweenCommands = " << SleepBetweenCommands << "\r\n"
        << "ComNakSleepTime = " << ComNakSleepTime << "\r\n"
        << "ComGarbageSleepTime = " << ComGarbageSleepTime << "\r\n"
        << "ComRetryCount = " << ComRetryCount << "\r\n";
    return ini.str();
}

// Bytes on the wire after `offset` of the simulator's log: "IN" lines are
// what the driver sent, "OUT" lines what the simulator sent.
struct WireBytes {
    uint64_t toEcr = 0;
    uint64_t fromEcr = 0;
};

WireBytes CountWireBytes(const std::string& log, size_t offset) {
    WireBytes bytes;
    std::istringstream lines(offset < log.size() ? log.substr(offset) : std::string());
    std::string line;
    while (std::getline(lines, line)) {
        uint64_t* counter = nullptr;
        if (line.rfind("IN ", 0) == 0) counter = &bytes.toEcr;
        if (line.rfind("OUT ", 0) == 0) counter = &bytes.fromEcr;
        if (counter == nullptr) continue;
        std::istringstream hex(line.substr(4));
        std::string token;
        while (hex >> token) ++*counter;
    }
    return bytes;
}

// The counters of the last "I/O statistics" line of the standard log.
struct LinkCounters {
    int outFrames = -1;
    int inFrames = -1;
    int nak = 0;
    int lost = 0;
    int garbage = 0;
};

int CounterAfter(const std::string& line, const char* label) {
    size_t at = line.find(label);
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + std::strlen(label));
}

LinkCounters LastStatistics(const std::string& standardLog) {
    LinkCounters counters;
    size_t at = standardLog.rfind("I/O statistics");
    if (at == std::string::npos) return counters;
    std::string line = standardLog.substr(at, standardLog.find('\n', at) - at);
    counters.outFrames = CounterAfter(line, "OUT frames = ");
    counters.inFrames = CounterAfter(line, "IN frames = ");
    counters.nak = CounterAfter(line, "NAK = ");
    counters.lost = CounterAfter(line, "LOST = ");
    counters.garbage = CounterAfter(line, "GARB = ");
    return counters;
}

size_t CountLines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// The driver's closing console lines (its progress lines end in CR).
std::string LastLines(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t cut = text.find_last_of('\r');
    if (cut != std::string::npos) text.erase(0, cut + 1);
    for (char& ch : text)
        if (ch == '\n') ch = '|';
    return text;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

// A ratio below 1 would mean the transfer beat the wire: the simulation was
// not faithful, and nothing is met by that.
const char* RatioVerdict(double ratio) {
    if (ratio < 1.0) return "NOT MEASURED (below 1: the simulated wire is faster than a real one)";
    return Verdict(ratio <= RatioTarget);
}

// The CPU time one sleep and its wake-up take on this machine: the unit the
// driver's CPU per record is mostly made of.
double WakeCostUs() {
    constexpr int Sleeps = 300;
    timespec before{}, after{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    for (int i = 0; i < Sleeps; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    double ns =
        static_cast<double>(after.tv_sec - before.tv_sec) * 1e9 + static_cast<double>(after.tv_nsec - before.tv_nsec);
    return ns / Sleeps / 1000.0;
}

// One driver run of a transfer and what it cost.
void MeasureTransfer(const Scratch& scratch, const SimulatorProcess& simulator, const char* title, int baud,
                     const std::vector<std::string>& args, int records, const std::string& outputFile) {
    size_t logOffset = ReadWholeFile(simulator.LogPath()).size();
    ChildCost cost = scratch.RunDriver(args, RunTimeoutSeconds);
    // The simulator logs the last acknowledgement as it goes; the driver
    // spent SleepBetweenCommands after it, so the log is complete by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WireBytes bytes = CountWireBytes(ReadWholeFile(simulator.LogPath()), logOffset);
    LinkCounters link = LastStatistics(ReadWholeFile(scratch.PathOf("KVT5100.log")));

    double wire = static_cast<double>(bytes.toEcr + bytes.fromEcr) * BitsPerByte / baud;
    double sleeps = (2.0 * SleepBetweenCommands + link.nak * ComNakSleepTime + link.garbage * ComGarbageSleepTime +
                     PortClosePause) /
                    1000.0;
    double ratio = cost.wallSeconds / (wire + sleeps);
    // The simulator takes the driver's bytes at the line speed as well as
    // sending its own so: all of the wire time is spent on the pty.
    double excess = cost.wallSeconds - wire - sleeps;
    double cpuPerRecord = cost.cpuSeconds / records * 1e6;
    double wakesPerRecord = static_cast<double>(cost.waits) / records;

    std::printf("%-16s %6d %7d %8llu %8llu %7.3f %7.3f %7.3f %6.3f %7.3f %7.1f us %5.1f  %d/%d\n", title, baud, records,
                static_cast<unsigned long long>(bytes.toEcr), static_cast<unsigned long long>(bytes.fromEcr),
                cost.wallSeconds, wire, sleeps, ratio, excess, cpuPerRecord, wakesPerRecord, link.outFrames,
                link.inFrames);
    if (link.nak + link.lost + link.garbage > 0)
        std::printf("    link errors: NAK %d, LOST %d, GARB %d\n", link.nak, link.lost, link.garbage);
    if (cost.exitCode != 0)
        std::printf("    driver exit code %d: %s\n", cost.exitCode,
                    LastLines(ReadWholeFile(scratch.PathOf("driver.out"))).c_str());
    if (!outputFile.empty()) {
        size_t lines = CountLines(ReadWholeFile(scratch.PathOf(outputFile)));
        if (lines != static_cast<size_t>(records))
            std::printf("    %s holds %zu records, not %d\n", outputFile.c_str(), lines, records);
    }
    if (baud == 19200)
        std::printf("    ratio %s (target %.2f or less), CPU per record %s (target under %.0f us)\n",
                    RatioVerdict(ratio), RatioTarget, Verdict(cpuPerRecord < CpuPerRecordTargetUs),
                    CpuPerRecordTargetUs);
    else
        std::printf("    CPU per record %s (target under %.0f us)\n", Verdict(cpuPerRecord < CpuPerRecordTargetUs),
                    CpuPerRecordTargetUs);
    std::fflush(stdout);
}

// The same transfers at 19200 baud through ser2net over RFC 2217 on
// loopback: the network device and the server's forwarding add to the wall time.
void RunNetworkTransfers(const Options& options) {
    if (!Ser2net::Available()) {
        std::printf("    (ser2net not installed: the RFC 2217 transfers are left out)\n");
        return;
    }
    const int baud = 19200;
    Scratch scratch(options.driver);
    if (options.keep) {
        scratch.Keep();
        std::printf("    (files kept in %s)\n", scratch.Dir().c_str());
    }
    SimulatorProcess simulator(scratch.Dir(), baud);
    Ser2net server(scratch.Dir(), simulator.LinkPath(), true);
    WriteWholeFile(scratch.PathOf("KVT5100.ini"), BenchIni(server.Url(), "", baud));
    WritePluFile(scratch.PathOf("plu.txt"), options.records);
    MeasureTransfer(scratch, simulator, "send ser2net", baud, {"200", "plu.txt"}, options.records, "");
    MeasureTransfer(scratch, simulator, "read ser2net", baud, {"207", "read.txt"}, options.records, "read.txt");
}

void RunTransfers(const Options& options) {
    std::printf(
        "PLU table transfers: real driver against ecrsim on a pty; INI timings at the driver's defaults\n"
        "(SleepBetweenCommands %d, ComNakSleepTime %d, ComGarbageSleepTime %d, ComRetryCount %d);\n"
        "seconds unless marked; bytes counted from the simulator's wire log, %d bits a byte.\n\n",
        SleepBetweenCommands, ComNakSleepTime, ComGarbageSleepTime, ComRetryCount, BitsPerByte);
    std::printf(
        "A sleep and its wake-up cost %.1f us of CPU on this machine (300 sleeps of 1 ms); \"wakes\" counts the\n"
        "driver's per record: most of its CPU time goes to them, and what one costs differs between machines.\n\n",
        WakeCostUs());
    std::printf("%-16s %6s %7s %8s %8s %7s %7s %7s %6s %7s %10s %5s  %s\n", "transfer", "baud", "records", "to ECR",
                "from ECR", "wall", "wire", "sleeps", "ratio", "excess", "CPU/record", "wakes", "frames out/in");
    for (int baud : options.bauds) {
        Scratch scratch(options.driver);
        if (options.keep) {
            scratch.Keep();
            std::printf("    (files kept in %s)\n", scratch.Dir().c_str());
        }
        SimulatorProcess simulator(scratch.Dir(), baud);
        WriteWholeFile(scratch.PathOf("KVT5100.ini"), BenchIni(simulator.LinkPath(), options.comLink, baud));
        WritePluFile(scratch.PathOf("plu.txt"), options.records);
        MeasureTransfer(scratch, simulator, "PLU table send", baud, {"200", "plu.txt"}, options.records, "");
        // The simulator keeps the table it was sent, so the read returns it.
        MeasureTransfer(scratch, simulator, "PLU table read", baud, {"207", "read.txt"}, options.records, "read.txt");
    }
    RunNetworkTransfers(options);
    std::printf("\n");
}

// What the loading child reports to the parent.
struct LoadReport {
    double seconds = 0;
    uint64_t records = 0;
    int inOrder = 0;
    char failure[200] = "";
};

// In a child process: load `path` as the PLU table send does and report.
[[noreturn]] void LoadInChild(const std::string& path, int reportFd) {
    LoadReport report;
    // The console lines of the input file ("Preparing data ...") are not ours to show.
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    try {
        // A register of level 3 with 20-character names, as ecrsim reports.
        TheEcrComm().ecrLevel = 3;
        TheEcrComm().ecrNameLength = 20;
        static OperationDescriptor descriptor{};
        PluTableSendHandler(PhaseDescribe, &descriptor);
        descriptor.fileName = path.c_str();
        int64_t start = MonotonicNs();
        std::unique_ptr<InputDataFile> file = CreateInputDataFile(descriptor.fileKind);
        file->Open(path.c_str(), PluTableSendHandler, &descriptor);
        report.seconds = static_cast<double>(MonotonicNs() - start) / 1e9;
        if (auto* text = dynamic_cast<TextInputFile*>(file.get())) {
            const RecordIndex& index = text->Index();
            report.records = index.size();
            report.inOrder = std::is_sorted(
                index.begin(), index.end(),
                [](const RecordIndexEntry& a, const RecordIndexEntry& b) { return a.recordNumber < b.recordNumber; });
        }
        file->Close();
    } catch (const Exception& failure) {
        std::snprintf(report.failure, sizeof report.failure, "%s", failure.GetLogText().c_str());
    } catch (const std::exception& failure) {
        std::snprintf(report.failure, sizeof report.failure, "%s", failure.what());
    }
    ssize_t written = write(reportFd, &report, sizeof report);
    _exit(written == static_cast<ssize_t>(sizeof report) ? 0 : 1);
}

void RunLoad(const Options& options) {
    Scratch scratch(options.driver);
    if (options.keep) scratch.Keep();
    const std::string path = scratch.PathOf("plu-large.txt");
    WritePluFile(path, options.lines);
    double megabytes = static_cast<double>(ReadWholeFile(path).size()) / 1e6;

    // What a child costs before it loads anything: the figure to subtract.
    int64_t start = MonotonicNs();
    pid_t idle = fork();
    if (idle < 0) throw std::runtime_error("fork failed");
    if (idle == 0) _exit(0);
    ChildCost baseline = ReapChild(idle, start, RunTimeoutSeconds);

    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    std::fflush(stdout);
    start = MonotonicNs();
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        close(pipeFds[0]);
        LoadInChild(path, pipeFds[1]);
    }
    close(pipeFds[1]);
    LoadReport report;
    ssize_t got = read(pipeFds[0], &report, sizeof report);
    close(pipeFds[0]);
    ChildCost cost = ReapChild(child, start, RunTimeoutSeconds);
    if (got != static_cast<ssize_t>(sizeof report) || cost.exitCode != 0) {
        std::printf("Input file load: the loading process failed (exit code %d)\n", cost.exitCode);
        return;
    }
    if (report.failure[0] != '\0') {
        std::printf("Input file load failed: %s\n", report.failure);
        return;
    }
    double peakMiB = cost.maxRssKiB / 1024.0;
    std::printf("Input file load (PLU table send: check every line, sort by PLU code, drop duplicates)\n");
    std::printf("  lines %d (%.1f MB), records indexed %llu, %s\n", options.lines, megabytes,
                static_cast<unsigned long long>(report.records), report.inOrder ? "in PLU code order" : "NOT IN ORDER");
    std::printf("  time %.3f s: %s (target under %.0f s)\n", report.seconds, Verdict(report.seconds < LoadTimeTarget),
                LoadTimeTarget);
    std::printf("  CPU of the loading process %.3f s\n", cost.cpuSeconds);
    std::printf("  peak memory %.1f MiB: %s (target under %.0f MiB); the process before loading %.1f MiB\n", peakMiB,
                Verdict(peakMiB < LoadMemoryTargetMiB), LoadMemoryTargetMiB, baseline.maxRssKiB / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    std::printf("kvtbench: driver %s%s%s, simulator %s\n\n", options.driver.launcher.c_str(),
                options.driver.launcher.empty() ? "" : " ", options.driver.program.c_str(), ECRSIM_PATH);
    std::fflush(stdout);
    try {
        if (options.transfers) RunTransfers(options);
        if (options.load) RunLoad(options);
        if (options.fleet) {
            if (options.load) std::printf("\n");
            FleetBenchOptions fleet;
            fleet.registers = options.registers;
            fleet.driver = options.driver;
            fleet.fleetProgram = options.fleetProgram;
            fleet.keep = options.keep;
            RunFleetBench(fleet);
        }
    } catch (const std::exception& failure) {
        std::printf("kvtbench: %s\n", failure.what());
        return 1;
    }
    return 0;
}
