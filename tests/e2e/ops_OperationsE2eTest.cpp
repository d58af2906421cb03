// End-to-end runs of the record commands against the simulated register.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/Harness.h"

namespace {

std::vector<std::string> LinesWithoutCr(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Whether the driver sent a command frame with this ECR code.
bool SentCommand(const Simulator& ecr, uint8_t code) {
    for (const auto& sequence : ecr.Received())
        if (sequence.size() >= 2 && sequence[0] == 0x02 && sequence[1] == code) return true;
    return false;
}

struct Bench {
    explicit Bench(std::vector<std::string> options = {}) : ecr(box.Dir(), options) {
        box.WriteIni(TestIni(ecr.LinkPath()));
    }
    RunResult Run(const std::string& command, const std::string& file = "data.txt") {
        return box.Run({"/K1", command, file});
    }
    DriverSandbox box;
    Simulator ecr;
};

const char MilkLine[] = "4750000000016,150,\"Milk 1l\",1,5,2";

TEST(OpsEndToEnd, PluTableSendFrameByLevel) {
    for (const char* status : {"0014", "0114"}) {
        Bench bench({"--status", status});
        bench.box.WriteFile("data.txt", std::string(MilkLine) + "\r\n");
        RunResult run = bench.Run("200");
        ASSERT_EQ(run.exitCode, 0) << run.output;
        bench.ecr.Stop();
        const std::string field5 = status[1] == '0' ? "05" : "\"05\"";
        EXPECT_EQ(
            SentDataFrames(bench.ecr.Received()),
            std::vector<std::string>{"4750000000016,00000150,\"Milk 1l             \",\"01\"," + field5 + ",\"02\""})
            << status;
    }
}

TEST(OpsEndToEnd, SendSortsDropsDuplicatesAndReportsBadLines) {
    Bench bench;
    bench.box.WriteFile("data.txt",
                        "30,300,\"C\",0,0,1\r\n"
                        "10,100,\"A\",0,0,1\r\n"
                        "0,1,\"bad code\",0,0,1\r\n"
                        "\r\n"
                        "30,333,\"C2\",0,0,1\r\n"
                        "20,200,\"B\",0,0,1\r\n");
    RunResult run = bench.Run("200");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("Line 3     - empty or bad format"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Line 4     - empty or bad format"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Line 1     - record number not unique"), std::string::npos) << run.output;
    bench.ecr.Stop();
    std::vector<std::string> frames = SentDataFrames(bench.ecr.Received());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].substr(0, 23), "0000000000010,00000100,");
    EXPECT_EQ(frames[1].substr(0, 23), "0000000000020,00000200,");
    EXPECT_EQ(frames[2].substr(0, 23), "0000000000030,00000333,");
}

TEST(OpsEndToEnd, PluTableReadSendsBackUnchanged) {
    Bench bench;
    bench.box.WriteFile("data.txt", std::string(MilkLine) + "\r\n7,99999999,\"A, B\",8,99,7\r\n");
    ASSERT_EQ(bench.Run("200").exitCode, 0);
    RunResult read = bench.Run("207", "table.txt");
    ASSERT_EQ(read.exitCode, 0) << read.output;
    std::vector<std::string> lines = LinesWithoutCr(bench.box.ReadFile("table.txt"));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{MilkLine, "7,99999999,\"A, B\",8,99,7"}));
    ASSERT_EQ(bench.Run("200", "table.txt").exitCode, 0);
    bench.ecr.Stop();
    std::vector<std::string> frames = SentDataFrames(bench.ecr.Received());
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], frames[2]);
    EXPECT_EQ(frames[1], frames[3]);
}

TEST(OpsEndToEnd, ReadAndClearClearsAfterTheRecords) {
    Bench bench;
    RunResult run = bench.Run("503", "sales.txt");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    size_t records = run.output.find("Records read: ");
    size_t clearing = run.output.find("Clearing data\n");
    ASSERT_NE(clearing, std::string::npos) << run.output;
    EXPECT_LT(records, clearing);
    bench.ecr.Stop();
    EXPECT_TRUE(SentCommand(bench.ecr, 0x50));
}

TEST(OpsEndToEnd, ClerkClearNeedsLevelThree) {
    for (const char* status : {"0214", "0314"}) {
        Bench bench({"--status", status});
        RunResult run = bench.Run("751", "clerk.txt");
        bench.ecr.Stop();
        if (status[1] == '2') {
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_NE(run.output.find("Unknown command"), std::string::npos) << run.output;
            EXPECT_FALSE(SentCommand(bench.ecr, 0x65));
        } else {
            EXPECT_EQ(run.exitCode, 0) << run.output;
            std::vector<std::string> lines = LinesWithoutCr(bench.box.ReadFile("clerk.txt"));
            ASSERT_EQ(lines.size(), 30u);
            const char* labels[] = {"\"Voids\",", "\"Refunds\",", "\"Sales\","};
            for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(labels[i % 3], 0), 0u) << lines[i];
            EXPECT_TRUE(SentCommand(bench.ecr, 0x86));
        }
    }
}

TEST(OpsEndToEnd, FiscalMemoryDumpIsWrittenAsBytes) {
    // Every byte value, in lower- and upper-case digits; a translating code
    // page must not change any of them.
    std::string frames, expected;
    for (int frame = 0; frame < 8; ++frame) {
        const char* digits = frame % 2 == 0 ? "0123456789abcdef" : "0123456789ABCDEF";
        for (int i = 0; i < 32; ++i) {
            int value = frame * 32 + i;
            frames += digits[value >> 4];
            frames += digits[value & 15];
            expected += static_cast<char>(value);
        }
        frames += "\n";
    }
    for (const char* common : {"", "CodePage = DOS\r\n", "CodePage = UTF-8\r\n"}) {
        SCOPED_TRACE(common);
        DriverSandbox box;
        box.WriteFile("dump.hex", frames);
        Simulator ecr(box.Dir(), {"--serve", "0x79=" + box.PathOf("dump.hex")});
        box.WriteIni(TestIni(ecr.LinkPath(), "", common));
        RunResult run = box.Run({"/K1", "700", "dump.bin"});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(box.ReadFile("dump.bin"), expected);
    }
}

TEST(OpsEndToEnd, FiscalReportRangeAndLines) {
    DriverSandbox box;
    // Report lines are name-length (20) characters, sent as hexadecimal pairs.
    const std::string line1 = "FISCAL REPORT       ", line2 = "Z: 0015             ";
    std::string hex;
    for (const std::string& line : {line1, line2}) {
        for (unsigned char ch : line) {
            static const char digits[] = "0123456789ABCDEF";
            hex += digits[ch >> 4];
            hex += digits[ch & 15];
        }
        hex += "\n";
    }
    box.WriteFile("report.hex", hex);
    Simulator ecr(box.Dir(), {"--serve", "0x85=" + box.PathOf("report.hex")});
    box.WriteIni(TestIni(ecr.LinkPath()));
    box.WriteFile("range.txt", "2,S,1-3-09,31-03-09\r\n1,d,01-03-09,31-03-09\r\n");
    RunResult range = box.Run({"/K1", "702", "range.txt"});
    EXPECT_EQ(range.exitCode, 2) << range.output;  // line 2 is rejected
    RunResult report = box.Run({"/K1", "703", "report.txt"});
    ASSERT_EQ(report.exitCode, 0) << report.output;
    EXPECT_EQ(box.ReadFile("report.txt"), line1 + "\r\n" + line2 + "\r\n");
    ecr.Stop();
    EXPECT_EQ(SentDataFrames(ecr.Received()), std::vector<std::string>{"2,S,D,1309  ,310309"});
}

TEST(OpsEndToEnd, UnexpectedFramesAreKeptAndLogged) {
    DriverSandbox box;
    // PLU table frames have a fixed length: frame 2 has that length but only two fields.
    box.WriteFile("plu.frames",
                  "0000000000001,00000100,\"One                 \",\"01\",\"01\",\"01\"\n"
                  "0000000000002,00000200" +
                      std::string(38, ' ') +
                      "\n"
                      "0000000000003,00000300,\"Three               \",\"01\",\"01\",\"01\"\n");
    Simulator ecr(box.Dir(), {"--serve", "0x53=" + box.PathOf("plu.frames")});
    box.WriteIni(TestIni(ecr.LinkPath()));
    RunResult run = box.Run({"/K1", "207", "table.txt"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(LinesWithoutCr(box.ReadFile("table.txt")),
              (std::vector<std::string>{"1,100,\"One\",1,1,1", "0000000000002,00000200" + std::string(38, ' '),
                                        "3,300,\"Three\",1,1,1"}));
    EXPECT_NE(box.ReadFile("KVT5100.log").find("Record 2: unexpected data frame format"), std::string::npos);
}

// Every rule of the input checks: each bad line is reported with its line
// number and skipped, the valid line is still sent, and the run ends with 2.
TEST(OpsEndToEnd, BadInputLinesAreRejectedAndValidOnesSent) {
    const struct {
        const char* command;
        std::vector<std::string> badLines;
        std::string validLine;
        std::string validFrame;
    } cases[] = {
        {"200",
         {"1,0,\"" + std::string(21, 'N') + "\",0,0,1", "10000000000000,1,\"A\",0,0,1", "0,1,\"A\",0,0,1",
          "5,1,\"A\",9,0,1", "5,1,\"A\",0,0,8", "5,1,\"A\",0,0"},
         "9999999999999,1,\"" + std::string(20, 'N') + "\",8,99,7",
         "9999999999999,00000001,\"" + std::string(20, 'N') + "\",\"08\",\"99\",\"07\""},
        {"211",
         {"0,0,\"A\",0,0", "9,0,\"A\",0,0", "1,0,\"A\",0,32", "1,0,\"A\",100,0",
          "1,0,\"" + std::string(21, 'x') + "\",0,0"},
         "8,,\"Eight\",99,31",
         "08,00000000,\"Eight               \",\"99\",\"31\""},
        {"701", {"1,d,15,20", "1,D,0,10000", "1,Z,15,20", "1,D,15"}, "1,D,15,20", "1,D,Z,000015,000020"},
        {"702",
         {"1,S,01-03-2009,31-03-09", "1,S,1-13-09,31-03-09", "1,s,01-03-09,31-03-09", "1,S,01/03/09,31-03-09"},
         "1,S,01-03-09,31-03-09",
         "1,S,D,010309,310309"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        Bench bench;
        std::string file;
        for (const std::string& line : c.badLines) file += line + "\r\n";
        bench.box.WriteFile("data.txt", file + c.validLine + "\r\n");
        RunResult run = bench.Run(c.command);
        EXPECT_EQ(run.exitCode, 2) << run.output;
        for (size_t i = 1; i <= c.badLines.size(); ++i) {
            std::string number = std::to_string(i);
            std::string expected = "Line " + number + std::string(5 - number.size(), ' ') + " - empty or bad format";
            EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
        }
        bench.ecr.Stop();
        EXPECT_EQ(SentDataFrames(bench.ecr.Received()), std::vector<std::string>{c.validFrame});
    }
}

TEST(OpsEndToEnd, DepartmentsReadSendBackUnchanged) {
    Bench bench;
    // Departments 5, 2 and 5: 2 goes first, then the 5 of the later line.
    bench.box.WriteFile("data.txt", "5,1,\"Old\",1,1\r\n2,0,\"Dairy\",3,4\r\n5,0,\"Bakery\",12,5\r\n");
    RunResult send = bench.Run("211");
    EXPECT_EQ(send.exitCode, 2) << send.output;
    EXPECT_NE(send.output.find("Line 1     - record number not unique"), std::string::npos) << send.output;

    ASSERT_EQ(bench.Run("217", "deps.txt").exitCode, 0);
    const std::string first = bench.box.ReadFile("deps.txt");
    std::vector<std::string> lines = LinesWithoutCr(first);
    ASSERT_EQ(lines.size(), 8u) << first;
    EXPECT_EQ(lines[1], "2,0,\"Dairy\",3,4");
    EXPECT_EQ(lines[4], "5,0,\"Bakery\",12,5");

    ASSERT_EQ(bench.Run("211", "deps.txt").exitCode, 0);
    ASSERT_EQ(bench.Run("217", "again.txt").exitCode, 0);
    EXPECT_EQ(bench.box.ReadFile("again.txt"), first);
    bench.ecr.Stop();
    std::vector<std::string> frames = SentDataFrames(bench.ecr.Received());
    ASSERT_EQ(frames.size(), 2u + 8u);
    EXPECT_EQ(frames[0], "02,00000000,\"Dairy               \",\"03\",\"04\"");
    EXPECT_EQ(frames[1], "05,00000000,\"Bakery              \",\"12\",\"05\"");
    EXPECT_EQ(frames[2 + 4], frames[1]);
}

TEST(OpsEndToEnd, FinancialRowsFollowTheLevel) {
    const struct {
        const char* status;
        size_t rows;
        std::vector<std::pair<size_t, std::string>> names;  // line index, row name
    } cases[] = {
        {"0214", 45, {{0, "Department 1"}, {33, "Paid out"}, {34, "Item Void"}, {36, "No sale"}, {43, "Gross Sale"}}},
        {"0314",
         65,
         {{34, "FC received on account 1"},
          {43, "FC paid out 5"},
          {44, "Item Void"},
          {52, "FC sales 1"},
          {61, "FC tendered 5"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        Bench bench({"--status", c.status});
        for (const char* command : {"232", "234"}) {
            RunResult run = bench.Run(command, "fin.txt");
            ASSERT_EQ(run.exitCode, 0) << run.output;
            std::vector<std::string> lines = LinesWithoutCr(bench.box.ReadFile("fin.txt"));
            ASSERT_EQ(lines.size(), c.rows);
            for (const auto& [index, name] : c.names)
                EXPECT_EQ(lines[index].rfind("\"" + name + "\",", 0), 0u) << lines[index];
            // The Z count row carries only its third value.
            EXPECT_EQ(lines.back().rfind("\"Z1 or Z2 Count\",0,0,", 0), 0u) << lines.back();
        }
        RunResult clear = bench.Run("233", "fin.txt");
        EXPECT_EQ(clear.exitCode, 0) << clear.output;
        bench.ecr.Stop();
        EXPECT_TRUE(SentCommand(bench.ecr, 0x80));
    }
}

TEST(OpsEndToEnd, SalesValuesKeepEveryDigit) {
    DriverSandbox box;
    box.WriteFile("sales.frames", "0000000000001,0002,1234567.5\n0000000000003,0001,0000012.50\n");
    Simulator ecr(box.Dir(), {"--serve", "0x54=" + box.PathOf("sales.frames")});
    box.WriteIni(TestIni(ecr.LinkPath()));
    RunResult run = box.Run({"/K1", "502", "sales.txt"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(box.ReadFile("sales.txt"), "1,2,1234567.5\r\n3,1,12.5\r\n");
}

TEST(OpsEndToEnd, FiscalRangeSetsTheReportFromLevelTwo) {
    Bench bench;
    bench.box.WriteFile("data.txt", "7,S,40,44\r\n3,D,15,20\r\n");  // only the lower record number goes
    RunResult range = bench.Run("701");
    ASSERT_EQ(range.exitCode, 2) << range.output;
    EXPECT_NE(range.output.find("1 record(s) not sent, the first left out is record number 7 on line 1\n"),
              std::string::npos);
    RunResult report = bench.Run("703", "report.txt");
    ASSERT_EQ(report.exitCode, 0) << report.output;
    const std::string text = bench.box.ReadFile("report.txt");
    EXPECT_NE(text.find("DETAILED"), std::string::npos) << text;
    EXPECT_NE(text.find("Z 000015-000020"), std::string::npos) << text;
    bench.ecr.Stop();
    EXPECT_EQ(SentDataFrames(bench.ecr.Received()), std::vector<std::string>{"3,D,Z,000015,000020"});

    for (const char* command : {"701", "702", "703"}) {
        Bench low({"--status", "0114"});
        RunResult run = low.Run(command);
        EXPECT_EQ(run.exitCode, 1) << command;
        EXPECT_NE(run.output.find("Unknown command"), std::string::npos) << run.output;
    }
}

}  // namespace
