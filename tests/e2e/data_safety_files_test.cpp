// What a data file or a failed run can no longer do: bytes of a data file
// never act on the line, a failed read never destroys a file, an output
// that would block or that is the driver's own INI is refused, a UTF-8 file
// says so with its byte-order mark, every refused line names its reason,
// and /C checks a file without changing anything on the register.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/Harness.h"

namespace {

struct Bench {
    explicit Bench(std::vector<std::string> options = {}, const std::string& common = "")
        : ecr(box.Dir(), WithState(options)) {
        box.WriteIni(TestIni(ecr.LinkPath(), "", common));
    }
    std::vector<std::string> WithState(std::vector<std::string> options) {
        options.push_back("--state");
        options.push_back(box.PathOf("state.txt"));
        return options;
    }
    RunResult Run(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"/K1"};
        all.insert(all.end(), args.begin(), args.end());
        return box.Run(all);
    }
    std::string State() const { return box.ReadFile("state.txt"); }
    std::string Log() const { return box.ReadFile("KVT5100.log"); }
    std::string Debug() const { return box.ReadFile("dbgerror.log"); }
    DriverSandbox box;
    Simulator ecr;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The line of the register's state file that starts with `key`; "" when none.
std::string StateLine(const std::string& state, const std::string& key) {
    std::istringstream lines(state);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key, 0) == 0) return line;
    return "";
}

// A command frame "02 80 37 45 03" asks the register to clear its financial
// report; in a UTF-8 file the byte 80 is "€" (Windows-1257).
const std::string ClearFrame =
    "\x02\x80"
    "7E\x03";
const std::string Utf8ClearFrame =
    "\x02\xE2\x82\xAC"
    "7E\x03";

}  // namespace

TEST(DataFilesE2E, NoByteOfADataFileActsOnTheLine) {
    for (const char* codePage : {"RIM", "UTF-8"}) {
        Bench bench({}, std::string("CodePage = ") + codePage + "\r\n");
        const std::string before = bench.State();
        const std::string frame = codePage == std::string("RIM") ? ClearFrame : Utf8ClearFrame;
        bench.box.WriteFile("plu.txt", "5,100,\"Milk\",1,0,1\r\n6,100,\"X" + frame + "\",1,0,1\r\n");
        RunResult run = bench.Run({"200", "plu.txt"});
        EXPECT_EQ(run.exitCode, 2) << codePage << "\n" << run.output;
        EXPECT_TRUE(Contains(run.output, "Line 2     - empty or bad format\n")) << run.output;
        EXPECT_TRUE(Contains(bench.Debug(), "Line 2: byte 9 is the control byte STX")) << bench.Debug();
        bench.ecr.Stop();
        // The financial report was never cleared, and the good line went.
        const std::string after = bench.State();
        EXPECT_EQ(StateLine(after, "z financial"), StateLine(before, "z financial")) << after;
        EXPECT_EQ(StateLine(after, "cleared financial"), StateLine(before, "cleared financial")) << after;
        EXPECT_FALSE(Contains(bench.ecr.Log(), "NOTE cleared 0x80")) << bench.ecr.Log();
        EXPECT_EQ(SentDataFrames(bench.ecr.Received()).size(), 1u);
    }
    {  // A service line with a CR inside it, and one with a tab, which a service line may hold.
        Bench bench;
        bench.box.WriteFile("head.txt", "GOOD\r\nINJECTED4A\rTAIL\r\nA\tB\r\n");
        RunResult run = bench.Run({"114", "head.txt"});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_TRUE(Contains(run.output, "Line 2     - empty or bad format\n")) << run.output;
        EXPECT_TRUE(Contains(bench.Log(), "Line 2: byte 11 is the control byte CR")) << bench.Log();
        bench.ecr.Stop();
        EXPECT_EQ(SentDataFrames(bench.ecr.Received()), (std::vector<std::string>{"GOOD", "A\tB"}));
    }
}

TEST(DataFilesE2E, EveryRefusedLineNamesItsReasonInBothLogs) {
    Bench bench;
    bench.box.WriteFile("plu.txt",
                        "1,100,\"Milk\",1,0,1\r\n"
                        "2,12.5,\"Tea\",1,0,1\r\n"
                        "3,100,\"A name of twenty-one c\",1,0,1\r\n"
                        "4,100,\"Jam\",1,0,1,9\r\n");
    RunResult run = bench.Run({"200", "plu.txt"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    for (int line = 2; line <= 4; ++line)
        EXPECT_TRUE(Contains(run.output, "Line " + std::to_string(line) + "     - empty or bad format\n"))
            << run.output;
    const std::string log = bench.Log();
    // The count first, then each line with its reason, each its own entry.
    const size_t found = log.find("Found 3 empty or bad format record(s)");
    ASSERT_NE(found, std::string::npos) << log;
    const size_t price = log.find("Line 2: field 2 (price) must be a whole number 0 to 99999999", found);
    const size_t name = log.find("Line 3: name longer than 20 characters", price);
    const size_t fields = log.find("Line 4: 7 fields, 6 expected", name);
    EXPECT_TRUE(price != std::string::npos && name != std::string::npos && fields != std::string::npos) << log;
    const std::string debug = bench.Debug();
    EXPECT_TRUE(Contains(debug, "Line 3: name longer than 20 characters")) << debug;
    EXPECT_TRUE(Contains(debug, "Line 4: 7 fields, 6 expected")) << debug;
}

TEST(DataFilesE2E, AFailedReadLeavesTheFileAsItWasAndKeepsWhatArrived) {
    const std::string old = "yesterday's report\r\n";
    for (const char* command : {"233", "700"}) {
        Bench bench({"--fault", "drop@read#1"});
        bench.box.WriteFile("out.dat", old);
        RunResult run = bench.Run({command, "out.dat"});
        EXPECT_EQ(run.exitCode, 1) << command << "\n" << run.output;
        EXPECT_EQ(bench.box.ReadFile("out.dat"), old) << command;
        const std::string partial = bench.box.ReadFile("out.dat.partial");
        EXPECT_FALSE(partial.empty()) << command;
        const std::string note = "File 'out.dat' left as it was; what was received is in 'out.dat.partial'";
        EXPECT_TRUE(Contains(bench.Log(), note)) << bench.Log();
        EXPECT_TRUE(Contains(bench.Debug(), note));
        EXPECT_FALSE(Contains(run.output, "Clearing data")) << run.output;
    }
    {  // A register that never answers: nothing arrives, nothing is left behind.
        Bench bench({"--fault", "silent@command"});
        bench.box.WriteFile("prepared.csv", old);
        RunResult run = bench.Run({"207", "prepared.csv"});
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_EQ(bench.box.ReadFile("prepared.csv"), old);
        EXPECT_FALSE(bench.box.Exists("prepared.csv.partial"));
    }
    {  // A complete read replaces the file; no ".partial" stays.
        Bench bench;
        bench.box.WriteFile("fin.txt", old);
        ASSERT_EQ(bench.Run({"232", "fin.txt"}).exitCode, 0);
        EXPECT_NE(bench.box.ReadFile("fin.txt"), old);
        EXPECT_FALSE(bench.box.Exists("fin.txt.partial"));
    }
}

TEST(DataFilesE2E, ALostClearAnswerTellsWhereTheOnlyCopyIs) {
    Bench bench({"--fault", "silent@clear"});
    RunResult run = bench.Run({"233", "fin.txt"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    const std::string note =
        "The complete report is in 'fin.txt'; the ECR may have cleared it: keep that file "
        "and do not repeat the read and clear into the same file";
    const size_t clearing = run.output.find("Clearing data\n");
    ASSERT_NE(clearing, std::string::npos) << run.output;
    EXPECT_NE(run.output.find(note, clearing), std::string::npos) << run.output;
    EXPECT_TRUE(Contains(run.output, "Communication error: Data frame send error")) << run.output;
    EXPECT_TRUE(Contains(bench.Log(), note)) << bench.Log();
    EXPECT_TRUE(Contains(bench.Debug(), note));
    // The report is complete on disk under its own name.
    EXPECT_TRUE(Contains(bench.box.ReadFile("fin.txt"), "\r\n"));
    EXPECT_FALSE(bench.box.Exists("fin.txt.partial"));
}

TEST(DataFilesE2E, AnOutputThatWouldBlockOrIsTheIniIsRefused) {
    Bench bench;
    const std::string ini = bench.box.ReadFile("KVT5100.ini");
    const size_t exchanges = bench.ecr.Received().size();
    RunResult run = bench.Run({"232", "KVT5100.ini"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "Unable to open file 'KVT5100.ini'")) << run.output;
    EXPECT_EQ(bench.box.ReadFile("KVT5100.ini"), ini);

    SKIP_UNLESS_LINUX_DRIVER("FIFOs");
    ASSERT_EQ(mkfifo(bench.box.PathOf("fifo").c_str(), 0600), 0);
    run = bench.Run({"232", "fifo"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "Unable to open file 'fifo'")) << run.output;
    // Only the status requests reached the register: no read was asked for.
    bench.ecr.Stop();
    const auto received = bench.ecr.Received();
    for (size_t i = exchanges; i < received.size(); ++i) {
        const auto& bytes = received[i];
        if (bytes.size() > 1 && bytes[0] == 0x02) {
            EXPECT_EQ(bytes[1], 0x83) << Hex(bytes);
        }
    }
}

TEST(DataFilesE2E, AFifoWithAReaderStillGetsTheReport) {
    SKIP_UNLESS_LINUX_DRIVER("FIFOs");
    Bench bench;
    ASSERT_EQ(mkfifo(bench.box.PathOf("fifo").c_str(), 0600), 0);
    // Held open for reading (and writing, so that the open does not wait);
    // a report fits the pipe's buffer.
    const int reader = open(bench.box.PathOf("fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    RunResult run = bench.Run({"232", "fifo"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    char buffer[65536];
    const ssize_t got = read(reader, buffer, sizeof buffer);
    close(reader);
    ASSERT_GT(got, 0);
    EXPECT_TRUE(Contains(std::string(buffer, static_cast<size_t>(got)), "\r\n"));
    EXPECT_FALSE(bench.box.Exists("fifo.partial"));
}

TEST(DataFilesE2E, AByteOrderMarkMakesTheFileUtf8WhateverTheCodePage) {
    for (const char* codePage : {"RIM", "DOS"}) {
        Bench bench({}, std::string("CodePage = ") + codePage + "\r\n");
        // "ķ" is C4 B7 in UTF-8 and ED on a Latvian register (Windows-1257).
        bench.box.WriteFile("plu.txt",
                            "\xEF\xBB\xBF"
                            "7,250,\"Rupjmaize \xC4\xB7iploku\",1,0,1\r\n");
        RunResult run = bench.Run({"200", "plu.txt"});
        EXPECT_EQ(run.exitCode, 0) << codePage << "\n" << run.output;
        bench.ecr.Stop();
        const std::vector<std::string> frames = SentDataFrames(bench.ecr.Received());
        ASSERT_EQ(frames.size(), 1u) << codePage;
        EXPECT_TRUE(Contains(frames[0],
                             "\"Rupjmaize \xED"
                             "iploku"))
            << codePage << ": " << frames[0];
    }
}

TEST(DataFilesE2E, CheckOnlyAsksForTheStatusAndNothingElse) {
    Bench bench;
    const std::string before = bench.State();
    bench.box.WriteFile("good.txt", "9,100,\"Milk\",1,0,1\r\n5,90,\"Tea\",1,0,1\r\n");
    bench.box.WriteFile("bad.txt", "9,100,\"Milk\",1,0,1\r\n5,x,\"Tea\",1,0,1\r\n9,1,\"Jam\",1,0,1\r\n");

    RunResult good = bench.Run({"/C", "200", "good.txt"});
    EXPECT_EQ(good.exitCode, 0) << good.output;
    EXPECT_TRUE(Contains(good.output,
                         "Records that would be sent: 2, the first record number 5 on line 2, "
                         "the last record number 9 on line 1"))
        << good.output;

    RunResult bad = bench.Run({"/C", "200", "bad.txt"});
    EXPECT_EQ(bad.exitCode, 2) << bad.output;
    EXPECT_TRUE(Contains(bad.output, "Line 2     - empty or bad format\n")) << bad.output;
    EXPECT_TRUE(Contains(bad.output, "  Line 1    : record number not unique")) << bad.output;
    EXPECT_TRUE(Contains(bad.output, "  Line 2    : field 2 (price) must be a whole number 0 to 99999999"))
        << bad.output;
    EXPECT_TRUE(Contains(bad.output, "Records that would be sent: 1, the first record number 9 on line 3"))
        << bad.output;

    RunResult read = bench.Run({"-c", "232", "fin.txt"});
    EXPECT_EQ(read.exitCode, 1) << read.output;
    EXPECT_TRUE(Contains(read.output, "Switch /C takes a send command")) << read.output;
    EXPECT_FALSE(bench.box.Exists("fin.txt"));

    // The register got status requests only and holds what it held.
    bench.ecr.Stop();
    for (const auto& bytes : bench.ecr.Received()) {
        if (bytes.size() > 1 && bytes[0] == 0x02) {
            EXPECT_EQ(bytes[1], 0x83) << Hex(bytes);
        }
    }
    EXPECT_TRUE(SentDataFrames(bench.ecr.Received()).empty());
    EXPECT_EQ(bench.State(), before);
}
