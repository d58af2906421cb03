// The driver's serial link end to end against the simulated ECR on a pty:
// status request, retries, lost replies, statistics, trace and port errors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support/Harness.h"

namespace {

// Command 80 (PLU sales data clear) is one command frame with ECR code 0x50.
const std::vector<std::string> ClearCommand{"/K1", "80"};
const std::vector<uint8_t> StatusFrame{0x02, 0x83, 0x37, 0x42, 0x03};

struct Link {
    explicit Link(const std::vector<std::string>& faults = {}, int dbgErrorLog = 3) : sim(box.Dir(), faults) {
        std::string ini = TestIni(sim.LinkPath());
        box.WriteIni(
            std::regex_replace(ini, std::regex("DbgErrorLog = 3"), "DbgErrorLog = " + std::to_string(dbgErrorLog)));
    }
    RunResult Run() { return box.Run(ClearCommand); }
    std::string Log() const { return box.ReadFile("KVT5100.log"); }
    std::string Debug() const { return box.ReadFile("dbgerror.log"); }
    DriverSandbox box;
    Simulator sim;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(LinkE2E, StatusAndCommandFramesWithTraceAndStatistics) {
    Link link({"--status", "011A"});
    RunResult run = link.Run();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    auto received = link.sim.Received();
    ASSERT_GE(received.size(), 4u);
    EXPECT_EQ(received[0], StatusFrame);
    EXPECT_EQ(Hex(received.back()), "02 50 41 45 03") << "one command frame, after two ACKs of the status";
    EXPECT_TRUE(Has(link.Log(), "I/O statistics : OUT frames = 4, IN frames = 4\r\n")) << link.Log();

    std::string debug = link.Debug();
    EXPECT_TRUE(std::regex_search(debug, std::regex("\r\nPC->ECR   5 bytes in +[0-9]+\\.[0-9] ms : 02 83 37 42 03")))
        << debug;
    EXPECT_TRUE(std::regex_search(debug, std::regex("\r\nPC<-ECR   1 bytes in +[0-9]+\\.[0-9] ms : 06")));
    EXPECT_TRUE(Has(debug, "----- Reading ECR status -----"));
    EXPECT_TRUE(Has(debug, "  ------------------------------\r\n"));
    EXPECT_TRUE(Has(debug, "Opening serial port " + DriverPortName(link.sim.LinkPath()) + "\r\n"));
    EXPECT_TRUE(Has(debug, "Closing serial port"));
}

TEST(LinkE2E, RetriesAndLostRepliesAreCounted) {
    {  // NAK on the status, garbage on the command: both sent again and counted.
        Link link({"--fault", "nak@status", "--fault", "garbage@clear"});
        RunResult run = link.Run();
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(Has(link.Log(), "I/O statistics : OUT frames = 6, IN frames = 6, NAK = 1, GARB = 1")) << link.Log();
        EXPECT_TRUE(Has(link.Debug(), "NAK received"));
        EXPECT_TRUE(Has(link.Debug(), "Garbage received"));
    }
    {  // An ECR that ignores the status still gets the command.
        Link link({"--fault", "silent@status"});
        RunResult run = link.Run();
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(Has(link.Log(), "ECR didn't respond to status request."));
        EXPECT_TRUE(Has(link.Log(), "I/O statistics : OUT frames = 2, IN frames = 1, LOST = 1")) << link.Log();
    }
    {  // No reply to the command: no retry, the run fails.
        Link link({"--fault", "silent@clear"});
        RunResult run = link.Run();
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(Has(run.output, "\nCommunication error: Data frame send error\n")) << run.output;
        EXPECT_EQ(link.sim.Received().size(), 4u);
        EXPECT_TRUE(Has(link.Debug(), "ECR response lost"));
        EXPECT_TRUE(Has(link.Log(), ", LOST = 1")) << link.Log();
    }
}

TEST(LinkE2E, DebugLogLevelTwoKeepsOnlyRunsWithLinkErrors) {
    Link clean({}, 2);
    EXPECT_EQ(clean.Run().exitCode, 0);
    EXPECT_FALSE(clean.box.Exists("dbgerror.log"));

    Link nak({"--fault", "nak@clear"}, 2);
    EXPECT_EQ(nak.Run().exitCode, 0);
    EXPECT_TRUE(Has(nak.Debug(), "NAK received"));
}

namespace {

void ExpectOpenFailure(Link& link, const std::string& device) {
    link.box.WriteIni(TestIni(device));
    RunResult run = link.Run();
    EXPECT_EQ(run.exitCode, 1) << device;
    EXPECT_TRUE(Has(run.output, "System error: Unable to open serial port\n")) << run.output;
    EXPECT_TRUE(Has(link.Log(), "  Unable to open serial port (system error code : ")) << link.Log();
    EXPECT_FALSE(Has(link.Log(), "I/O statistics")) << device;
}

}  // namespace

TEST(LinkE2E, PortThatCannotBeOpenedEndsTheRun) {
    Link link;
    link.box.WriteFile("plain.txt", "not a terminal");
    ExpectOpenFailure(link, link.box.PathOf("missing.tty"));
    ExpectOpenFailure(link, link.box.PathOf("plain.txt"));

    link.box.WriteIni(TestIni(link.sim.LinkPath(), "ComSettings = baud=fast\r\n"));
    RunResult unreadable = link.Run();
    EXPECT_EQ(unreadable.exitCode, 1);
    EXPECT_EQ(unreadable.output,
              "System error: Unable to decode serial port configuration string\n"
              "Completed with errors\n");
    EXPECT_TRUE(Has(link.Log(), "  Unable to decode serial port configuration string (system error code : "));

    link.box.WriteIni(TestIni(link.sim.LinkPath()));
    EXPECT_EQ(link.Run().exitCode, 0);
}

TEST(LinkE2E, PortHeldByAnotherProgramEndsTheRun) {
    SKIP_UNLESS_LINUX_DRIVER("Wine does not enforce the exclusive open of a COM port");
    Link link;
    int holder = open(link.sim.LinkPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // another driver holds the port
    ExpectOpenFailure(link, link.sim.LinkPath());
    close(holder);
    EXPECT_EQ(link.Run().exitCode, 0);
}

TEST(LinkE2E, StatusNameLengthDecidesWhichRecordsFit) {
    // Status 0308: level 3, names of at most 8 characters.
    Link link({"--status", "0308"});
    link.box.WriteFile("dep.txt", "3,0,\"Bakery12\",12,5\r\n4,0,\"Bakery123\",12,5\r\n");
    RunResult run = link.box.Run({"/K1", "211", "dep.txt"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    std::vector<std::string> sent = SentDataFrames(link.sim.Received());
    ASSERT_EQ(sent.size(), 1u) << run.output;
    EXPECT_TRUE(Has(sent[0], "Bakery12"));
}

TEST(LinkE2E, MisbehavingEcrEndsTheRunWithTheLinkError) {
    struct Case {
        std::vector<std::string> faults;
        std::vector<std::string> args;
        int exitCode;
        const char* console;  // "" for a completed run
        const char* statistics;
    };
    const std::vector<std::string> readDepartments{"/K1", "217", "dep.txt"};
    const Case cases[] = {
        // A bad checksum is dropped and the repetition taken; a wrong block
        // checksum in the end frame keeps the records but ends with errors.
        {{"--fault", "badsum@read#2"}, readDepartments, 0, "", ", GARB = 1\r\n"},
        {{"--fault", "badsum@read#2", "--fault", "badsum@readend"},
         readDepartments,
         2,
         "Completed with errors",
         ", GARB = 1\r\n"},
        {{"--fault", "slow=2000@read#1"},
         readDepartments,
         1,
         "Communication error: Data frame read error",
         ", LOST = 1\r\n"},
        {{"--fault", "flood@read"}, readDepartments, 1, "Communication error: Data frame read error", ", GARB = 6\r\n"},
        {{"--fault", "drop@read#1"}, readDepartments, 1, "System error: Serial port read error", ""},
        {{"--fault", "flood@clear"}, ClearCommand, 1, "Communication error: Data frame send error", ", GARB = 6\r\n"},
        {{"--fault", "drop@clear"}, ClearCommand, 1, "System error: Serial port read error", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults[1]);
        Link link(c.faults);
        RunResult run = link.box.Run(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        if (*c.console != '\0') {
            EXPECT_TRUE(Has(run.output, std::string(c.console) + "\n")) << run.output;
        }
        // The link is closed and its statistics written after every failure past the open.
        EXPECT_TRUE(Has(link.Log(), "I/O statistics : ")) << link.Log();
        EXPECT_TRUE(Has(link.Log(), c.statistics)) << link.Log();
    }
}
