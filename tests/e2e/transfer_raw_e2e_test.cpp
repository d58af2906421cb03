// The driver run end to end against the simulated ECR: help lists, dispatch,
// service command transfers, code page translation and failure paths.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/Harness.h"

namespace {

struct Session {
    explicit Session(const std::vector<std::string>& simOptions = {}, const std::string& extraEcr = "",
                     const std::string& extraCommon = "", const std::string& extraSections = "")
        : sim(box.Dir(), simOptions) {
        box.WriteIni(TestIni(sim.LinkPath(), extraEcr, extraCommon) + extraSections);
    }
    DriverSandbox box;
    Simulator sim;
};

// Whether the driver sent a command frame with this ECR code.
bool SentCommand(const Simulator& sim, uint8_t code) {
    for (const auto& sequence : sim.Received())
        if (sequence.size() == 5 && sequence[0] == 0x02 && sequence[1] == code && sequence[4] == 0x03) return true;
    return false;
}

// Whether the driver sent an end-of-data frame.
bool SentEndFrame(const Simulator& sim) {
    for (const auto& sequence : sim.Received())
        if (sequence.size() == 3 && sequence[2] == 0x1A) return true;
    return false;
}

}  // namespace

TEST(TransferE2E, HelpListsOperationsAndServiceCommands) {
    DriverSandbox box;
    RunResult h1 = box.Run({"/H1"});
    EXPECT_EQ(h1.exitCode, 0);
    EXPECT_EQ(h1.output.rfind("\nKVT5100 driver. Version 1.8.0 (Compiled: ", 0), 0u) << h1.output;
    EXPECT_NE(h1.output.find("Usage: KVT5100.EXE [options] command [filename]\n\nOptions:\n\n"), std::string::npos);
    // Exactly the twenty operations, in table order, and nothing after them.
    const std::string list = "  /H2          Show service commands\n\nKVT5100 commands:\n\n";
    size_t listStart = h1.output.find(list);
    ASSERT_NE(listStart, std::string::npos) << h1.output;
    std::vector<std::string> operations = Lines(h1.output.substr(listStart + list.size()));
    while (!operations.empty() && operations.back().empty()) operations.pop_back();
    EXPECT_EQ(operations, (std::vector<std::string>{"  200 PLU table send",
                                                    "  201 PLU record add/modify/delete",
                                                    "  207 PLU table read",
                                                    "  502 PLU sales report read",
                                                    "  503 PLU sales report read and clear",
                                                    "  211 DEPARTMENT record modify",
                                                    "  217 DEPARTMENT records read",
                                                    "  232 Financial report read",
                                                    "  233 Financial report read and clear",
                                                    "  234 Financial periodical report read",
                                                    "  235 Financial periodical report read and clear",
                                                    "  562 Hourly report read",
                                                    "  563 Hourly report read and clear",
                                                    "  670 Logo bitmap send",
                                                    "  700 Fiscal memory dump read",
                                                    "  701 Fiscal report Z counter range set",
                                                    "  702 Fiscal report date range set",
                                                    "  703 Fiscal report read",
                                                    "  750 Clerk report read",
                                                    "  751 Clerk report read and clear"}));

    RunResult h2 = box.Run({"/H2"});
    EXPECT_EQ(h2.exitCode, 0);
    size_t start = h2.output.find("Service commands:\n");
    ASSERT_NE(start, std::string::npos) << h2.output;
    std::vector<std::string> rows = Lines(h2.output.substr(start));
    ASSERT_GE(rows.size(), 39u);
    const char* expected[] = {"   80 PLU Sales data clear",   "   81 PLU preset data send",
                              "   82 Single PLU data send",   "   83 PLU preset data receive ",
                              "   84 PLU sales data receive", "   87 FC preset data receive"};
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(rows[1 + i], expected[i]);
    EXPECT_EQ(rows[13], "  128 X1 report clear");
    EXPECT_EQ(rows[22], "  108 %%+ rate receive");
    EXPECT_EQ(rows[25], "  111 %%- rate send");
    EXPECT_EQ(rows[34], "  121 Fiscal memory dump read");
    EXPECT_EQ(rows[38], "  134 Clerk report clear");
    EXPECT_EQ(rows.size(), 39u);
    EXPECT_EQ(h2.output.find("KVT5100 commands:"), std::string::npos);
}

TEST(TransferE2E, CommandRowsFollowTheEcrLevel) {
    {
        Session level0({"--status", "0014"});
        RunResult run = level0.box.Run({"128"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.output.find("Unknown command (use /? for help)"), std::string::npos) << run.output;
        EXPECT_FALSE(SentCommand(level0.sim, 0x80));
    }
    Session level1({"--status", "0114"});
    RunResult run = level1.box.Run({"128"});  // no file needed for a command row
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Command: 128 - X1 report clear\n\n"), std::string::npos) << run.output;
    EXPECT_TRUE(SentCommand(level1.sim, 0x80));
}

TEST(TransferE2E, RawSendKeepsFileOrderBlankLinesAndRecordLimit) {
    Session s;
    // Command 90 sends at most 3 records; the blank line is an empty frame.
    s.box.WriteFile("pay.txt", "2,\"CARD\"\r\n\r\n1,\"CASH\"\r\n3,\"CHECK\"\r\n");
    RunResult run = s.box.Run({"90", "pay.txt"});
    // The line beyond the limit is reported, and the run ends with errors.
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(run.output,
              "Command: 90 - Payment preset data send\n\nPreparing data ...\r"
              "Record limit 3 exceeded: 1 record(s) not sent, the first left out is line 4\n"
              "Sending data I/O request...\r                           \r"
              "Records sent: 0\rRecords sent: 1\rRecords sent: 2\rRecords sent: 3\rRecords sent: 3\n"
              "Completed with errors\n");
    EXPECT_TRUE(SentCommand(s.sim, 0x5A));
    EXPECT_EQ(SentDataFrames(s.sim.Received()), (std::vector<std::string>{"2,\"CARD\"", "", "1,\"CASH\""}));
    EXPECT_TRUE(SentEndFrame(s.sim));

    // A line with a NUL byte is refused whole; other bytes pass unchanged.
    Session binary;
    std::string garbage;
    for (int byte = 1; byte < 256; byte += 3)
        if (byte != '\n' && byte != '\r') garbage += static_cast<char>(byte);
    binary.box.WriteFile("bin.txt", std::string("1,\"A\"\r\nx\0y\r\n", 12) + garbage + "\r\n");
    run = binary.box.Run({"114", "bin.txt"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("Line 2     - empty or bad format\n"), std::string::npos) << run.output;
    EXPECT_EQ(SentDataFrames(binary.sim.Received()), (std::vector<std::string>{"1,\"A\"", garbage}));

    // An empty file: the command, no data frame, the end frame with checksum "00".
    Session empty;
    empty.box.WriteFile("none.txt", "");
    run = empty.box.Run({"90", "none.txt"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Records sent: 0\n"), std::string::npos) << run.output;
    EXPECT_TRUE(SentCommand(empty.sim, 0x5A));
    EXPECT_TRUE(SentDataFrames(empty.sim.Received()).empty());
    EXPECT_EQ(Hex(empty.sim.Received().back()), "30 30 1a");
}

TEST(TransferE2E, RawReadWritesLinesAndEmptiesOldFiles) {
    DriverSandbox probe;  // only for a scratch file path
    std::string served = probe.PathOf("caption.txt");
    probe.WriteFile("caption.txt", "1,\"SHOP\"\n2,\"STREET 1\"\n");
    Session s({"--serve", "0x73=" + served});
    RunResult run = s.box.Run({"115", "head.txt"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output,
              "Command: 115 - Head caption data receive\n\n"
              "Sending data I/O request...\r                           \r"
              "Records read: 0\rRecords read: 1\rRecords read: 2\rRecords read: 2\nCompleted OK\n");
    EXPECT_EQ(s.box.ReadFile("head.txt"), "1,\"SHOP\"\r\n2,\"STREET 1\"\r\n");

    // Nothing stored for 0x57 yet: the existing file ends up empty.
    s.box.WriteFile("fc.txt", "stale data\r\n");
    run = s.box.Run({"87", "fc.txt"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Records read: 0\n"), std::string::npos) << run.output;
    EXPECT_TRUE(s.box.Exists("fc.txt"));
    EXPECT_EQ(s.box.ReadFile("fc.txt"), "");
}

TEST(TransferE2E, DosCodePageTranslatesBothWays) {
    DriverSandbox probe;
    probe.WriteFile("served.txt", "1,\"\xE8\xD0\xC2\"\n");
    Session s({"--serve", "0x74=" + probe.PathOf("served.txt")}, "", "CodePage = dos\r\n");
    s.box.WriteFile("head.txt", "1,\"\xB5\xD0\xF0\"\r\n");
    RunResult run = s.box.Run({"114", "head.txt"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(SentDataFrames(s.sim.Received()), (std::vector<std::string>{"1,\"\xC2\xD0\xC7\""}));

    run = s.box.Run({"116", "price.txt"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(s.box.ReadFile("price.txt"), "1,\"\xD2\xD0\xB5\"\r\n");

    // What was sent comes back unchanged through the paired read.
    run = s.box.Run({"115", "back.txt"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(s.box.ReadFile("back.txt"), "1,\"\xB5\xD0\xF0\"\r\n");
}

TEST(TransferE2E, CommandNumberTranslationAndMissingFileName) {
    Session s({}, "", "", "[CommandNumberTranslation]\r\n5 = 90\r\n6 = 0\r\n7 = -3\r\n");
    s.box.WriteFile("pay.txt", "1,\"CASH\"\r\n");
    RunResult run = s.box.Run({"5", "pay.txt"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Command: 90 - Payment preset data send\n\n"), std::string::npos) << run.output;
    EXPECT_EQ(SentDataFrames(s.sim.Received()), (std::vector<std::string>{"1,\"CASH\""}));

    for (const char* number : {"6", "7"}) {
        run = s.box.Run({number, "pay.txt"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.output.find("Incorrect command number translation"), std::string::npos) << run.output;
    }

    run = s.box.Run({"90"});
    EXPECT_EQ(run.exitCode, 1);
    size_t command = run.output.find("Command: 90 - Payment preset data send\n\n");
    size_t missing = run.output.find("File name is missing (use /? for help)");
    ASSERT_NE(command, std::string::npos) << run.output;
    ASSERT_NE(missing, std::string::npos) << run.output;
    EXPECT_LT(command, missing);
}

TEST(TransferE2E, FailuresStopBeforeOrDuringTheTransfer) {
    {
        Session s;
        RunResult run = s.box.Run({"114", "missing.txt"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.output.find("Unable to open file 'missing.txt'"), std::string::npos) << run.output;
        EXPECT_TRUE(SentCommand(s.sim, 0x83));  // the status request ran
        EXPECT_FALSE(SentCommand(s.sim, 0x72));
    }
    {
        // The ECR never accepts the second record: no end frame follows.
        Session s({"--fault", "nak@data#1*50"});
        s.box.WriteFile("head.txt", "1,\"A\"\r\n2,\"B\"\r\n");
        RunResult run = s.box.Run({"114", "head.txt"});
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_FALSE(SentEndFrame(s.sim));
    }
    {
        // The line drops in the middle of a read: the records already read stay
        // beside the file, which is not created.
        DriverSandbox probe;
        probe.WriteFile("served.txt", "line 1\nline 2\nline 3\n");
        Session s({"--serve", "0x73=" + probe.PathOf("served.txt"), "--fault", "drop@read#2"});
        RunResult run = s.box.Run({"115", "head.txt"});
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_EQ(s.box.ReadFile("head.txt.partial"), "line 1\r\nline 2\r\n");
        EXPECT_FALSE(s.box.Exists("head.txt"));
    }
    {
        // A read and clear that fails while reading sends no clear command.
        DriverSandbox probe;
        probe.WriteFile("sales.txt", "1,1,1.5\n2,1,2.5\n3,1,3.5\n");
        Session s({"--serve", "0x54=" + probe.PathOf("sales.txt"), "--fault", "drop@read#1"});
        RunResult run = s.box.Run({"503", "sales.txt"});
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_EQ(run.output.find("Clearing data"), std::string::npos) << run.output;
        EXPECT_TRUE(SentCommand(s.sim, 0x54));
        EXPECT_FALSE(SentCommand(s.sim, 0x50));
    }
    {
        // No answer to the read command: the file stays as it was.
        Session s({"--fault", "silent@command"});
        s.box.WriteFile("fc.txt", "stale\r\n");
        RunResult run = s.box.Run({"87", "fc.txt"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.output.find("\nCommunication error: Data frame send error\n"), std::string::npos) << run.output;
        EXPECT_EQ(s.box.ReadFile("fc.txt"), "stale\r\n");
        EXPECT_FALSE(s.box.Exists("fc.txt.partial"));
    }
}
