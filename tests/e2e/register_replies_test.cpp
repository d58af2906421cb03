// What a register sends can neither crash the driver nor shorten a record
// without a word: a NUL byte in a frame, an empty frame, report rows beyond
// the report's table, a long status text, a status that never comes; and the
// console text stays out of the log when the driver starts without a
// standard output.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/Harness.h"

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The register serves the lines of `frames` for ECR code `code` (0 for none).
struct Bench {
    explicit Bench(const std::string& frames = "", const std::string& code = "", std::vector<std::string> more = {},
                   const std::string& extraEcr = "")
        : ecr(Prepare(box, frames, code, more), more) {
        box.WriteIni(TestIni(ecr.LinkPath(), extraEcr));
    }
    static std::string Prepare(DriverSandbox& box, const std::string& frames, const std::string& code,
                               std::vector<std::string>& more) {
        if (!code.empty()) {
            box.WriteFile("served.frames", frames);
            more.insert(more.begin(), {"--serve", code + "=" + box.PathOf("served.frames")});
        }
        return box.Dir();
    }
    RunResult Run(const std::string& command, const std::string& file) { return box.Run({"/K1", command, file}); }
    std::string Log() const { return box.ReadFile("KVT5100.log"); }
    DriverSandbox box;
    Simulator ecr;
};

// Whether the driver sent a command frame with this ECR code (after Stop()).
bool SentCommand(const Simulator& ecr, uint8_t code) {
    for (const auto& sequence : ecr.Received())
        if (sequence.size() == 5 && sequence[0] == 0x02 && sequence[1] == code) return true;
    return false;
}

std::string Rows(int count) {
    std::string rows;
    for (int i = 0; i < count; ++i) rows += std::to_string(i) + ",1,2\n";
    return rows;
}

}  // namespace

TEST(RegisterRepliesE2E, NulByteInAFrameFlagsTheRecordAndKeepsItsBytes) {
    Bench bench(std::string("0,1,2\n1,12,15\0"
                            "00\n2,3,4\n",
                            23),
                "0x67");
    RunResult run = bench.Run("563", "hourly.txt");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(bench.box.ReadFile("hourly.txt"), "0,1,2\r\n1,12,15?00\r\n2,3,4\r\n");
    EXPECT_TRUE(Has(bench.Log(), "Record 2: unexpected data frame format")) << bench.Log();
    EXPECT_TRUE(Has(bench.box.ReadFile("dbgerror.log"), "Record 2: NUL byte in the frame, written as '?'"));
    EXPECT_TRUE(Has(bench.Log(), "Report not cleared: the read was not clean"));
    bench.ecr.Stop();
    EXPECT_FALSE(SentCommand(bench.ecr, 0x82));
}

TEST(RegisterRepliesE2E, EmptyDataFrameIsAnEmptyLine) {
    // A blank service line comes back as the frame "00" and its closing byte.
    Bench bench("first\n\nlast\n", "0x57");
    RunResult run = bench.Run("87", "preset.txt");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "Records read: 3\n")) << run.output;
    EXPECT_EQ(bench.box.ReadFile("preset.txt"), "first\r\n\r\nlast\r\n");
    EXPECT_FALSE(Has(bench.box.ReadFile("dbgerror.log"), "Garbage received"));
}

TEST(RegisterRepliesE2E, RowsBeyondTheHourlyAndClerkTablesAreFlaggedAndNotCleared) {
    {
        Bench bench(Rows(26), "0x67");
        RunResult run = bench.Run("563", "hourly.txt");
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_TRUE(Has(run.output, "Records read: 26\n")) << run.output;
        EXPECT_FALSE(Has(bench.Log(), "Record 24: unexpected data frame format"));
        EXPECT_TRUE(Has(bench.Log(), "Record 25: unexpected data frame format")) << bench.Log();
        EXPECT_TRUE(Has(bench.Log(), "Record 26: unexpected data frame format"));
        EXPECT_TRUE(Has(bench.box.ReadFile("hourly.txt"), "\r\n25,1,2\r\n"));
        bench.ecr.Stop();
        EXPECT_FALSE(SentCommand(bench.ecr, 0x82)) << "not cleared";
    }
    {
        Bench bench(Rows(31), "0x65");
        RunResult run = bench.Run("750", "clerks.txt");
        EXPECT_EQ(run.exitCode, 2) << run.output;
        const std::string file = bench.box.ReadFile("clerks.txt");
        EXPECT_TRUE(Has(file, "\"Sales\",29,1,2\r\n\"\",30,1,2\r\n")) << file;
        EXPECT_FALSE(Has(bench.Log(), "Record 30: unexpected data frame format"));
        EXPECT_TRUE(Has(bench.Log(), "Record 31: unexpected data frame format")) << bench.Log();
    }
}

TEST(RegisterRepliesE2E, LongStatusTextIsReadAndItsFirstCharactersUsed) {
    Bench bench("", "", {"--status", "0212EXTRA-STATUS-TEXT"});
    RunResult run = bench.Run("207", "plu.txt");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "Completed OK")) << run.output;
    EXPECT_TRUE(Has(bench.box.ReadFile("dbgerror.log"),
                    "ECR status text has 21 characters, only the first four are used: 0212EXTRA-STATUS-TEXT"));
}

TEST(RegisterRepliesE2E, RequiredStatusThatNeverComesEndsTheRunBeforeTheCommand) {
    // The register does not answer the status request, and would store anything after it.
    Bench bench("", "", {"--fault", "silent@status"}, "StatusRequired = 1\r\n");
    bench.box.WriteFile("plu.txt", "1,100,\"Milk\",1,1,1\r\n");
    RunResult run = bench.Run("200", "plu.txt");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Has(run.output, "Communication error: ECR status required (StatusRequired = 1), no answer"))
        << run.output;
    EXPECT_TRUE(Has(bench.Log(), "ECR didn't respond to status request."));
    bench.ecr.Stop();
    EXPECT_EQ(bench.ecr.Received().size(), 1u) << "the status request alone";
    EXPECT_FALSE(SentCommand(bench.ecr, 0x51));
}

TEST(RegisterRepliesE2E, ConsoleTextStaysOutOfTheLogWithoutAStandardOutput) {
    Bench bench;
    pid_t child = bench.box.Start({"/K1", "232", "financial.txt"}, -1);
    int status = -1;
    for (int i = 0; i < 6000 && waitpid(child, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string log = bench.Log();
    EXPECT_TRUE(Has(log, "Completed OK")) << log;
    EXPECT_FALSE(Has(log, "Records read:")) << log;
    EXPECT_FALSE(Has(log, "Sending data I/O request")) << log;
}
