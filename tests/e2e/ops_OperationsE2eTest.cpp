// End-to-end runs of the record commands against the simulated register.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/Harness.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
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
        EXPECT_EQ(SentDataFrames(bench.ecr.Received()),
                  std::vector<std::string>{"4750000000016,00000150,\"Milk 1l             \",\"01\"," + field5 +
                                           ",\"02\""})
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

TEST(OpsEndToEnd, PluTableSendStopsAtThousandRecords) {
    Bench bench;
    std::string file;
    for (int code = 1; code <= 1500; ++code) file += std::to_string(code) + ",1,\"Item\",1,1,1\r\n";
    bench.box.WriteFile("data.txt", file);
    RunResult run = bench.Run("200");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Records sent: 1000\n"), std::string::npos);
    bench.ecr.Stop();
    std::vector<std::string> frames = SentDataFrames(bench.ecr.Received());
    ASSERT_EQ(frames.size(), 1000u);
    EXPECT_EQ(frames.back().substr(0, 13), "0000000001000");
}

TEST(OpsEndToEnd, PluTableReadSendsBackUnchanged) {
    Bench bench;
    bench.box.WriteFile("data.txt", std::string(MilkLine) + "\r\n7,99999999,\"A, B\",8,99,7\r\n");
    ASSERT_EQ(bench.Run("200").exitCode, 0);
    RunResult read = bench.Run("207", "table.txt");
    ASSERT_EQ(read.exitCode, 0) << read.output;
    std::vector<std::string> lines = Lines(bench.box.ReadFile("table.txt"));
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
            for (const std::string& line : Lines(bench.box.ReadFile("clerk.txt")))
                EXPECT_TRUE(line.rfind("\"Voids\",", 0) == 0 || line.rfind("\"Refunds\",", 0) == 0 ||
                            line.rfind("\"Sales\",", 0) == 0)
                    << line;
            EXPECT_TRUE(SentCommand(bench.ecr, 0x86));
        }
    }
}

TEST(OpsEndToEnd, FiscalMemoryDumpIsWrittenAsBytes) {
    DriverSandbox box;
    std::string frame1, frame2, expected;
    for (int i = 0; i < 32; ++i) {
        const char* digits = "0123456789abcdef";
        frame1 += digits[(i * 8) >> 4];
        frame1 += digits[(i * 8) & 15];
        expected += static_cast<char>(i * 8);
    }
    frame2 = "0D0A1A00" + std::string(56, 'F');
    expected += std::string("\x0d\x0a\x1a\x00", 4) + std::string(28, '\xff');
    box.WriteFile("dump.hex", frame1 + "\n" + frame2 + "\n");
    Simulator ecr(box.Dir(), {"--serve", "0x79=" + box.PathOf("dump.hex")});
    box.WriteIni(TestIni(ecr.LinkPath()));
    RunResult run = box.Run({"/K1", "700", "dump.bin"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(box.ReadFile("dump.bin"), expected);
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
                  "0000000000002,00000200" + std::string(38, ' ') + "\n"
                  "0000000000003,00000300,\"Three               \",\"01\",\"01\",\"01\"\n");
    Simulator ecr(box.Dir(), {"--serve", "0x53=" + box.PathOf("plu.frames")});
    box.WriteIni(TestIni(ecr.LinkPath()));
    RunResult run = box.Run({"/K1", "207", "table.txt"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(Lines(box.ReadFile("table.txt")),
              (std::vector<std::string>{"1,100,\"One\",1,1,1", "0000000000002,00000200" + std::string(38, ' '),
                                        "3,300,\"Three\",1,1,1"}));
    EXPECT_NE(box.ReadFile("KVT5100.log").find("Record 2: unexpected data frame format"), std::string::npos);
}

}  // namespace
