// Fault matrix: the real driver against the simulated register, with one
// injected fault per run, for every fault kind at every phase of a PLU table
// send (command 200) and a PLU sales read and clear (command 503). Each cell
// derives its expected result from the link rules (retries, lost replies,
// what stops a transfer) and checks the console, the exit code, the
// statistics line, what the register received and the output file. The
// observed results are printed as a table at the end of the run.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "support/Harness.h"

namespace {

constexpr int RetryCount = 2;          // ComRetryCount of the cells
constexpr int EcrResends = 6;          // sendings of one read frame by the register
const char SlowWithin[] = "slow=200";  // well inside every read time-out below
// Beyond the longest time-out of a cell (end frame: 1400 + 100 + 57 ms) by a wide margin.
const char SlowBeyond[] = "slow=2600";

enum class Command { Send, Read };
enum class Step { Status, Command, Data, End, Read, ReadEnd, Clear };

struct Phase {
    Step step;
    int index;           // frame index within the step (data and read frames)
    const char* option;  // PHASE[#INDEX] of the ecrsim --fault option
    const char* label;
};

const Phase SendPhases[] = {{Step::Status, 0, "status", "status"},  {Step::Command, 0, "command", "command"},
                            {Step::Data, 0, "data#0", "data 1st"},  {Step::Data, 1, "data#1", "data mid"},
                            {Step::Data, 2, "data#2", "data last"}, {Step::End, 0, "end", "end"}};
const Phase ReadPhases[] = {{Step::Status, 0, "status", "status"},  {Step::Command, 0, "command", "command"},
                            {Step::Read, 0, "read#0", "read 1st"},  {Step::Read, 1, "read#1", "read mid"},
                            {Step::Read, 2, "read#2", "read last"}, {Step::ReadEnd, 0, "readend", "read end"},
                            {Step::Clear, 0, "clear", "clear"}};

enum class Fault {
    NakUpTo,
    NakBeyond,
    GarbageOnce,
    GarbageBeyond,
    Zero,
    NoReplyOnce,
    NoReply,
    SlowWithin,
    SlowBeyond,
    Drop,
    Flood,
    BadSumOnce,
    BadSumBeyond,
    LowerSumOnce,
    LowerSumBeyond,
    LostAck
};

struct FaultInfo {
    Fault fault;
    const char* kind;  // ecrsim KIND[=ARG]
    int count;
    const char* label;
    bool driverFrames;    // fits the frames of the driver
    bool registerFrames;  // fits the frames the register sends
};

const FaultInfo Faults[] = {
    {Fault::NakUpTo, "nak", RetryCount, "NAK x retries", true, false},
    {Fault::NakBeyond, "nak", RetryCount + 1, "NAK beyond", true, false},
    {Fault::GarbageOnce, "garbage", 1, "garbage once", true, false},
    {Fault::GarbageBeyond, "garbage", RetryCount + 1, "garbage beyond", true, false},
    {Fault::Zero, "zero", 1, "zero byte", true, false},
    {Fault::BadSumOnce, "badsum", 1, "bad sum once", false, true},
    {Fault::BadSumBeyond, "badsum", RetryCount + 1, "bad sum beyond", false, true},
    {Fault::LowerSumOnce, "lowersum", 1, "lower sum once", false, true},
    {Fault::LowerSumBeyond, "lowersum", RetryCount + 1, "lower sum beyond", false, true},
    {Fault::NoReplyOnce, "silent", 1, "no reply once", false, true},
    {Fault::NoReply, "silent", EcrResends, "no reply", true, true},
    {Fault::SlowWithin, SlowWithin, 1, "slow within", true, true},
    {Fault::SlowBeyond, SlowBeyond, 1, "slow beyond", true, true},
    {Fault::Drop, "drop", 1, "line dropped", true, true},
    {Fault::Flood, "flood", 1, "endless bytes", true, true},
    {Fault::LostAck, "lostack", 1, "ACK lost", false, true},
};

bool RegisterSends(Step step) { return step == Step::Read || step == Step::ReadEnd; }

struct Cell {
    Command command;
    Phase phase;
    FaultInfo fault;
};

std::vector<Cell> AllCells() {
    std::vector<Cell> cells;
    for (Command command : {Command::Send, Command::Read}) {
        const Phase* begin = command == Command::Send ? std::begin(SendPhases) : std::begin(ReadPhases);
        const Phase* end = command == Command::Send ? std::end(SendPhases) : std::end(ReadPhases);
        for (const Phase* phase = begin; phase != end; ++phase) {
            for (const FaultInfo& fault : Faults) {
                bool fits = RegisterSends(phase->step) ? fault.registerFrames : fault.driverFrames;
                // The status acknowledgement has only 157 ms: no margin for a slow-but-in-time reply.
                if (phase->step == Step::Status && fault.fault == Fault::SlowWithin) fits = false;
                // A repeated end frame is only stale input for the driver, which has moved on.
                if (fault.fault == Fault::LostAck && phase->step != Step::Read) fits = false;
                if (fits) cells.push_back({command, *phase, fault});
            }
        }
    }
    return cells;
}

// ------------------------------------------------------------------ model

struct Counters {
    int out = 0, in = 0, nak = 0, lost = 0, garb = 0;
    void Add(const Counters& other) {
        out += other.out, in += other.in, nak += other.nak, lost += other.lost, garb += other.garb;
    }
};

// BlockMismatch: every frame arrived, but the block checksum of the end frame
// does not match them; the run ends with errors and the report is not cleared.
enum class Stop { None, SendError, ReadError, LineError, BlockMismatch };

struct Effect {
    Counters counters;
    Stop stop = Stop::None;
};

// A frame of the driver answered as the fault says: every sending is one
// write, every reply byte one read; NAK and garbage are sent again up to
// ComRetryCount times, a missing or zero reply ends the transfer at once.
Effect DriverFrame(const Fault* fault) {
    const int sendings = RetryCount + 1;
    if (fault == nullptr) return {{1, 1, 0, 0, 0}, Stop::None};
    switch (*fault) {
        case Fault::NakUpTo: return {{sendings, sendings, RetryCount, 0, 0}, Stop::None};
        case Fault::NakBeyond: return {{sendings, sendings, sendings, 0, 0}, Stop::SendError};
        case Fault::GarbageOnce: return {{2, 2, 0, 0, 1}, Stop::None};
        case Fault::GarbageBeyond:
        case Fault::Flood: return {{sendings, sendings, 0, 0, sendings}, Stop::SendError};
        case Fault::Zero: return {{1, 1, 0, 0, 0}, Stop::SendError};
        case Fault::NoReply:
        case Fault::SlowBeyond: return {{1, 0, 0, 1, 0}, Stop::SendError};
        case Fault::Drop: return {{1, 0, 0, 0, 0}, Stop::LineError};
        default: return {{1, 1, 0, 0, 0}, Stop::None};
    }
}

// A frame of the register: a good one is read and acknowledged (one read,
// one write); a bad one is counted as garbage and read again without an
// answer; a missing one ends the read. An end frame is acknowledged whatever
// its digits; digits that are not the block checksum make the read unclean.
// A frame whose ACK the register takes as lost comes twice and is taken twice.
Effect RegisterFrame(const Fault* fault, bool endFrame) {
    const Effect good{{1, 1, 0, 0, 0}, Stop::None};
    const Effect mismatch{{1, 1, 0, 0, 0}, Stop::BlockMismatch};
    if (fault == nullptr) return good;
    switch (*fault) {
        case Fault::BadSumOnce:
        case Fault::LowerSumOnce: return endFrame ? mismatch : Effect{{1, 1, 0, 0, 1}, Stop::None};
        case Fault::BadSumBeyond:
        case Fault::LowerSumBeyond: return endFrame ? mismatch : Effect{{0, 0, 0, 0, RetryCount + 1}, Stop::ReadError};
        case Fault::LostAck: return {{2, 2, 0, 0, 0}, Stop::None};
        case Fault::Flood: return {{0, 0, 0, 0, RetryCount + 1}, Stop::ReadError};
        case Fault::NoReply:
        case Fault::SlowBeyond: return {{0, 0, 0, 1, 0}, Stop::ReadError};
        case Fault::Drop: return {{0, 0, 0, 0, 0}, Stop::LineError};
        default: return good;  // once-only silence is resent by the register in time
    }
}

struct Expected {
    Counters counters;
    Stop stop = Stop::None;
    Step stopStep = Step::Status;
    int stopIndex = 0;
    bool statusFailed = false;
    int records = 3;        // records acknowledged by the register (send) or written to the file (read)
    int repeated = -1;      // read: the record written twice (the register repeated its frame)
    bool endSent = true;    // send: the driver sent its end-of-data frame
    bool clearSent = true;  // read: the driver sent the clear command
    int acks = 0;           // ACK bytes the driver sent
};

Expected Model(const Cell& cell) {
    const bool send = cell.command == Command::Send;
    const std::vector<Phase> frames = send ? std::vector<Phase>(std::begin(SendPhases), std::end(SendPhases))
                                           : std::vector<Phase>(std::begin(ReadPhases), std::end(ReadPhases));
    Expected expected;
    bool holdNextReply = false;  // the register still owes a late status reply
    bool staleFlood = false;     // the port still holds the bytes of a flood
    int dataDone = 0;
    for (const Phase& frame : frames) {
        const bool faulted = frame.step == cell.phase.step && frame.index == cell.phase.index;
        const Fault* fault = faulted ? &cell.fault.fault : nullptr;
        Effect effect;
        if (RegisterSends(frame.step)) {
            effect = RegisterFrame(fault, frame.step == Step::ReadEnd);
            expected.acks += effect.counters.out;
        } else if (holdNextReply) {
            // A register still busy with its late answer takes no new frame until it has given it.
            effect = DriverFrame(&cell.fault.fault);
        } else if (staleFlood) {
            // The flood stops when the register sees a new command, but the
            // bytes already queued are read as the replies to it.
            Fault flood = Fault::Flood;
            effect = DriverFrame(&flood);
        } else {
            effect = DriverFrame(fault);
        }
        expected.counters.Add(effect.counters);
        if (frame.step == Step::Status) {
            if (effect.stop == Stop::SendError) {
                // The status is the one request the run survives.
                expected.statusFailed = true;
                holdNextReply = faulted && cell.fault.fault == Fault::SlowBeyond;
                staleFlood = faulted && cell.fault.fault == Fault::Flood;
                continue;
            }
            if (effect.stop == Stop::None) {
                expected.counters.Add({2, 2, 0, 0, 0});  // status frame and its end frame
                expected.acks += 2;
            }
        }
        if (effect.stop != Stop::None) {
            expected.stop = effect.stop;
            expected.stopStep = frame.step;
            expected.stopIndex = frame.index;
            break;
        }
        if (frame.step == Step::Data || frame.step == Step::Read) ++dataDone;
        if (faulted && cell.fault.fault == Fault::LostAck) {
            ++dataDone;
            expected.repeated = frame.index;
        }
        // The frame taken twice makes the block checksum disagree at the end.
        if (frame.step == Step::ReadEnd && expected.repeated >= 0) {
            expected.stop = Stop::BlockMismatch;
            expected.stopStep = Step::ReadEnd;
            break;
        }
    }
    if (expected.stop != Stop::None) {
        expected.records = dataDone;
        expected.endSent = expected.stopStep == Step::End;
        expected.clearSent = expected.stopStep == Step::Clear;
        // A read whose frames all arrived keeps them, whatever fails after.
        if (expected.stopStep == Step::Clear) expected.records = 3;
    }
    return expected;
}

std::string StatisticsLine(const Counters& c) {
    std::string line =
        "I/O statistics : OUT frames = " + std::to_string(c.out) + ", IN frames = " + std::to_string(c.in);
    if (c.nak != 0) line += ", NAK = " + std::to_string(c.nak);
    if (c.lost != 0) line += ", LOST = " + std::to_string(c.lost);
    if (c.garb != 0) line += ", GARB = " + std::to_string(c.garb);
    return line;
}

const char* ErrorText(Stop stop) {
    switch (stop) {
        case Stop::SendError: return "\nCommunication error: Data frame send error\n";
        case Stop::ReadError: return "\nCommunication error: Data frame read error\n";
        case Stop::LineError: return "System error: Serial port read error\n";
        default: return "";
    }
}

const char* LogText(Stop stop) {
    switch (stop) {
        case Stop::SendError: return "  Data frame send error";
        case Stop::ReadError: return "  Data frame read error";
        case Stop::LineError: return "  Serial port read error (system error code : ";
        default: return "";
    }
}

// ------------------------------------------------------------ test data

const char* const SalesLines[] = {"11,5,1500", "13,10,25", "31,1,9"};  // checksums 4B, 7C, DA: each has a letter
const char PluFile[] = "3,300,\"Tea\",1,1,1\r\n1,100,\"Milk\",1,1,1\r\n2,200,\"Bread\",1,1,1\r\n";
const char* const PluCodes[] = {"0000000000001", "0000000000002", "0000000000003"};

std::string FaultOption(const Cell& cell) {
    std::string option = std::string(cell.fault.kind) + "@" + cell.phase.option;
    if (cell.fault.count != 1) option += "*" + std::to_string(cell.fault.count);
    return option;
}

std::string CellName(const Cell& cell) {
    std::string name = std::string(cell.command == Command::Send ? "Send_" : "Read_") + cell.phase.option + "_" +
                       cell.fault.kind + "_x" + std::to_string(cell.fault.count);
    for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The observed outcome of each cell, printed as a table when the run ends.
std::map<std::string, std::map<std::string, std::string>>& Observed(Command command) {
    static std::map<std::string, std::map<std::string, std::string>> send, read;
    return command == Command::Send ? send : read;
}

std::string OutcomeOf(const RunResult& run, const std::string& log) {
    std::string tag = "ok";
    if (Has(run.output, "Report not cleared")) tag = "not cleared";
    else if (Has(run.output, ErrorText(Stop::SendError))) tag = "send err";
    else if (Has(run.output, ErrorText(Stop::ReadError))) tag = "read err";
    else if (Has(run.output, ErrorText(Stop::LineError))) tag = "line err";
    else if (run.exitCode != 0) tag = "other";
    if (Has(log, "ECR didn't respond to status request.")) tag += "*";
    return std::to_string(run.exitCode) + " " + tag;
}

void PrintTable(Command command) {
    auto& rows = Observed(command);
    if (rows.empty()) return;
    const Phase* begin = command == Command::Send ? std::begin(SendPhases) : std::begin(ReadPhases);
    const Phase* end = command == Command::Send ? std::end(SendPhases) : std::end(ReadPhases);
    std::printf("\nFault matrix, %s (exit code and outcome per fault and phase)\n",
                command == Command::Send ? "command 200 PLU table send, 3 records"
                                         : "command 503 PLU sales read and clear, 3 records");
    std::printf("%-17s", "fault \\ phase");
    for (const Phase* phase = begin; phase != end; ++phase) std::printf("| %-11s", phase->label);
    std::printf("\n");
    for (const FaultInfo& fault : Faults) {
        auto row = rows.find(fault.label);
        if (row == rows.end()) continue;
        std::printf("%-17s", fault.label);
        for (const Phase* phase = begin; phase != end; ++phase) {
            auto cell = row->second.find(phase->label);
            std::printf("| %-11s", cell == row->second.end() ? "-" : cell->second.c_str());
        }
        std::printf("\n");
    }
    std::printf(
        "(* the status request got no answer and the run went on; an error after it\n"
        "   belongs to a later frame of the same run)\n");
}

class MatrixPrinter : public ::testing::Environment {
public:
    void TearDown() override {
        PrintTable(Command::Send);
        PrintTable(Command::Read);
        std::fflush(stdout);
    }
};

[[maybe_unused]] ::testing::Environment* const Printer = ::testing::AddGlobalTestEnvironment(new MatrixPrinter);

// One driver sandbox with the register's served sales report and the PLU file.
struct Bench {
    explicit Bench(const Cell& cell)
        : sim(Prepare(box), {"--serve", "0x54=" + box.PathOf("sales.frames"), "--fault", FaultOption(cell)}) {
        std::string ini = TestIni(sim.LinkPath(), "ComRetryCount = " + std::to_string(RetryCount) + "\r\n");
        // Wide operation time-outs: the register resends an unanswered frame after 250 ms.
        size_t at = ini.find("EcrOperationMaxTime = 300");
        ini.replace(at, 25, "EcrOperationMaxTime = 800");
        box.WriteIni(ini);
    }
    static std::string Prepare(DriverSandbox& box) {
        std::string frames;
        for (const char* line : SalesLines) frames += std::string(line) + "\n";
        box.WriteFile("sales.frames", frames);
        box.WriteFile("plu.txt", PluFile);
        return box.Dir();
    }
    DriverSandbox box;
    Simulator sim;
};

// Names a cell in failure messages.
void PrintTo(const Cell& cell, std::ostream* out) { *out << FaultOption(cell); }

class FaultMatrix : public ::testing::TestWithParam<Cell> {};

}  // namespace

TEST_P(FaultMatrix, OutcomeFollowsTheLinkRules) {
    const Cell& cell = GetParam();
    const Expected expected = Model(cell);
    const bool send = cell.command == Command::Send;
    Bench bench(cell);
    RunResult run = bench.box.Run({"/K1", send ? "200" : "503", send ? "plu.txt" : "sales.txt"});
    bench.sim.Stop();
    const std::string log = bench.box.ReadFile("KVT5100.log");
    Observed(cell.command)[cell.fault.label][cell.phase.label] = OutcomeOf(run, log);
    SCOPED_TRACE(FaultOption(cell) + "\nconsole:\n" + run.output + "\nlog:\n" + log);

    // Exit code, error text and completion line.
    const bool unclean = expected.stop == Stop::BlockMismatch;
    const bool failed = expected.stop != Stop::None && !unclean;
    EXPECT_EQ(run.exitCode, failed ? 1 : unclean ? 2 : 0);
    if (failed) {
        EXPECT_TRUE(Has(run.output, ErrorText(expected.stop)));
        EXPECT_TRUE(Has(log, LogText(expected.stop)));
    }
    for (Stop other : {Stop::SendError, Stop::ReadError, Stop::LineError})
        if (other != expected.stop) {
            EXPECT_FALSE(Has(run.output, ErrorText(other)));
        }
    EXPECT_TRUE(run.output.size() >= 12 && run.output.substr(run.output.rfind("Completed")) ==
                                               (failed || unclean ? "Completed with errors\n" : "Completed OK\n"));
    EXPECT_EQ(Has(run.output, "Block checksum mismatch: "), unclean);
    EXPECT_EQ(Has(log, "Report not cleared: the read was not clean"), unclean);
    EXPECT_EQ(Has(log, "ECR didn't respond to status request."), expected.statusFailed);

    // Progress up to the failure, and nothing claimed beyond it.
    const std::string counter = send ? "Records sent: " : "Records read: ";
    if (!failed) {
        EXPECT_TRUE(Has(run.output, counter + std::to_string(expected.records) + "\n"));
    } else if (expected.stopStep != Step::Status && expected.stopStep != Step::Command &&
               expected.stopStep != Step::Clear) {
        EXPECT_TRUE(Has(run.output, counter + std::to_string(expected.records) + "\r" + ErrorText(expected.stop)));
        EXPECT_FALSE(Has(run.output, counter + std::to_string(expected.records) + "\n"));
    }
    EXPECT_EQ(Has(run.output, "Clearing data\n"), !send && expected.clearSent);

    // The statistics line, written after a failure too. A line that goes
    // away in the middle of a frame may first end the read of its rest with
    // the bytes that came (one garbage frame), then fail the next read: which
    // of the two the system reports first depends on its timing, not on the driver.
    Counters halfFrameRefused = expected.counters;
    ++halfFrameRefused.garb;
    const bool dropMidFrame = cell.fault.fault == Fault::Drop && cell.phase.step == Step::Read;
    EXPECT_TRUE(Has(log, StatisticsLine(expected.counters) + "\r\n") ||
                (dropMidFrame && Has(log, StatisticsLine(halfFrameRefused) + "\r\n")))
        << StatisticsLine(expected.counters);

    // What the register received: every write of the driver, and nothing after a stop.
    auto received = bench.sim.Received();
    EXPECT_EQ(static_cast<int>(received.size()), expected.counters.out);
    int acks = 0;
    bool endFrame = false, clear = false;
    for (const auto& sequence : received) {
        if (sequence == std::vector<uint8_t>{0x06}) ++acks;
        if (sequence.size() == 3 && sequence[2] == 0x1A) endFrame = true;
        if (sequence.size() == 5 && sequence[0] == 0x02 && sequence[1] == 0x50) clear = true;
    }
    EXPECT_EQ(acks, expected.acks);
    if (send) {
        EXPECT_EQ(endFrame, expected.endSent);
        // Data frames in PLU code order; a retried frame is the same frame again.
        std::vector<std::string> codes;
        for (const std::string& frame : SentDataFrames(received))
            if (codes.empty() || codes.back() != frame.substr(0, 13)) codes.push_back(frame.substr(0, 13));
        size_t reached = expected.stop == Stop::None || expected.stopStep == Step::End
                             ? 3
                             : (expected.stopStep == Step::Data ? expected.stopIndex + 1 : 0);
        EXPECT_EQ(codes, std::vector<std::string>(std::begin(PluCodes), std::begin(PluCodes) + reached));
    } else {
        EXPECT_EQ(clear, expected.clearSent);
        // The output file keeps exactly the records read before the failure.
        std::string file;
        std::vector<std::string> lines;
        for (int i = 0; i < 3; ++i) {
            lines.push_back(SalesLines[i]);
            if (i == expected.repeated) lines.push_back(SalesLines[i]);
        }
        lines.resize(static_cast<size_t>(expected.records));
        for (const std::string& line : lines) file += line + "\r\n";
        // The file takes its name only when the transfer reached its end (a
        // failed clear comes after it); a read that failed earlier keeps the
        // records it received in "sales.txt.partial".
        const bool complete = !failed || expected.stopStep == Step::Clear;
        EXPECT_EQ(bench.box.Exists("sales.txt"), complete);
        if (complete) {
            EXPECT_EQ(bench.box.ReadFile("sales.txt"), file);
        } else {
            EXPECT_EQ(bench.box.ReadFile("sales.txt.partial"), file);
            EXPECT_EQ(bench.box.Exists("sales.txt.partial"), !file.empty());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllFaultsAllPhases, FaultMatrix, ::testing::ValuesIn(AllCells()),
                         [](const ::testing::TestParamInfo<Cell>& info) { return CellName(info.param); });
