// Runs that must not cost the shop data, against the simulated register: a
// report is cleared only after a clean read, a frame the register repeats is
// caught by the block checksum, a file without a valid line sends nothing,
// and records beyond a command's limit are reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/Harness.h"

namespace {

struct Bench {
    explicit Bench(std::vector<std::string> options = {}) : ecr(box.Dir(), options) {
        box.WriteIni(TestIni(ecr.LinkPath()));
    }
    RunResult Run(const std::string& command, const std::string& file) { return box.Run({"/K1", command, file}); }
    std::string Log() const { return box.ReadFile("KVT5100.log"); }
    DriverSandbox box;
    Simulator ecr;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether the driver sent a command frame with this ECR code (after Stop()).
bool SentCommand(const Simulator& ecr, uint8_t code) {
    for (const auto& sequence : ecr.Received())
        if (sequence.size() == 5 && sequence[0] == 0x02 && sequence[1] == code) return true;
    return false;
}

const char NotCleared[] = "Report not cleared: the read was not clean";

// A PLU sales read and clear (503) of the served frames into `output`.
struct SalesClear {
    SalesClear(const std::string& frames, const std::string& output)
        : ecr(Prepare(box, frames), {"--serve", "0x54=" + box.PathOf("sales.frames")}) {
        box.WriteIni(TestIni(ecr.LinkPath()));
        run = box.Run({"/K1", "503", output});
        ecr.Stop();
    }
    static std::string Prepare(DriverSandbox& box, const std::string& frames) {
        box.WriteFile("sales.frames", frames);
        return box.Dir();
    }
    DriverSandbox box;
    Simulator ecr;
    RunResult run;
};

const char GoodSales[] = "0000000000001,0002,15.00\n0000000000002,0001,3.50\n";

}  // namespace

// A frame that does not fit its record keeps the report on the register; a
// clean read into a device (no disk copy to wait for) still clears, and an
// output that cannot be written never does.
TEST(DataSafetyE2E, ReportIsClearedOnlyAfterACleanRead) {
    {
        SalesClear bad("0000000000001,0002,15.00\n0000000000002,0001\n", "sales.txt");
        EXPECT_EQ(bad.run.exitCode, 2) << bad.run.output;
        EXPECT_TRUE(Has(bad.run.output, "Records read: 2\n" + std::string(NotCleared) + "\nCompleted with errors\n"))
            << bad.run.output;
        EXPECT_FALSE(Has(bad.run.output, "Clearing data"));
        EXPECT_TRUE(Has(bad.box.ReadFile("KVT5100.log"), NotCleared));
        EXPECT_FALSE(SentCommand(bad.ecr, 0x50));
        EXPECT_EQ(bad.box.ReadFile("sales.txt"), "1,2,15\r\n0000000000002,0001\r\n");
    }
    {
        SalesClear device(GoodSales, "/dev/null");
        EXPECT_EQ(device.run.exitCode, 0) << device.run.output;
        EXPECT_TRUE(SentCommand(device.ecr, 0x50));
    }
    {
        SalesClear full(GoodSales, "/dev/full");
        EXPECT_EQ(full.run.exitCode, 1) << full.run.output;
        EXPECT_TRUE(Has(full.run.output, "Unable to write file '/dev/full'")) << full.run.output;
        EXPECT_FALSE(SentCommand(full.ecr, 0x50));
    }
}

// The register takes the driver's ACK of the second financial row as garbled
// and sends that row again. Frames carry no number, so the driver cannot
// tell the repetition from a real row; the block checksum of the end frame,
// which counts the row once, shows that the read is not what the register sent.
TEST(DataSafetyE2E, RepeatedFrameEndsWithErrorsAndNoClear) {
    Bench bench({"--fault", "lostack@read#1"});
    RunResult run = bench.Run("233", "fin.txt");
    bench.ecr.Stop();
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_TRUE(Has(run.output, "Records read: 66\nBlock checksum mismatch: the ECR sent ")) << run.output;
    EXPECT_TRUE(Has(run.output, NotCleared));
    EXPECT_TRUE(Has(bench.Log(), "Block checksum mismatch: the ECR sent "));
    EXPECT_TRUE(Has(bench.box.ReadFile("dbgerror.log"), "Block checksum mismatch: the ECR sent "));
    EXPECT_TRUE(Has(bench.ecr.Log(), "lostack"));
    EXPECT_FALSE(SentCommand(bench.ecr, 0x80));
    const std::string file = bench.box.ReadFile("fin.txt");
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 66);
}

// Every line rejected: not even the command goes out, so the register's PLU
// table stays. A file with no line at all still sends its empty block.
TEST(DataSafetyE2E, FileWithoutAValidLineSendsNothing) {
    Bench bench;
    bench.box.WriteFile("plu.txt", "1;100;\"Milk\";1;1;1\r\n2;200;\"Bread\";1;1;1\r\n");
    RunResult run = bench.Run("200", "plu.txt");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_TRUE(Has(run.output, "Line 1     - empty or bad format\nLine 2     - empty or bad format\n"));
    EXPECT_TRUE(Has(run.output, "No valid record in the file: nothing was sent\nCompleted with errors\n"))
        << run.output;
    EXPECT_FALSE(Has(run.output, "Records sent"));
    EXPECT_TRUE(Has(bench.Log(), "No valid record in the file: nothing was sent"));

    bench.box.WriteFile("empty.txt", "");
    RunResult empty = bench.Run("200", "empty.txt");
    bench.ecr.Stop();
    EXPECT_EQ(empty.exitCode, 0) << empty.output;
    EXPECT_TRUE(Has(empty.output, "Records sent: 0\n"));
    // One PLU table command in both runs: the empty file's.
    int tableCommands = 0;
    for (const auto& sequence : bench.ecr.Received())
        tableCommands += sequence.size() == 5 && sequence[0] == 0x02 && sequence[1] == 0x51;
    EXPECT_EQ(tableCommands, 1);
}

// 1005 PLU records for a table of 1000: the first 1000 by code are sent as
// before, and the five left out are reported with the first of them.
TEST(DataSafetyE2E, RecordsBeyondTheLimitAreReported) {
    Bench bench;
    std::string file;
    for (int code = 1005; code >= 1; --code) file += std::to_string(code) + ",1,\"Item\",1,1,1\r\n";
    bench.box.WriteFile("plu.txt", file);
    RunResult run = bench.Run("200", "plu.txt");
    bench.ecr.Stop();
    const std::string report =
        "Record limit 1000 exceeded: 5 record(s) not sent, "
        "the first left out is record number 1001 on line 5";
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(Has(run.output, report + "\n")) << run.output.substr(0, 300);
    EXPECT_TRUE(Has(run.output, "Records sent: 1000\nCompleted with errors\n"));
    EXPECT_TRUE(Has(bench.Log(), report));
    EXPECT_TRUE(Has(bench.box.ReadFile("dbgerror.log"), report));
    std::vector<std::string> frames = SentDataFrames(bench.ecr.Received());
    ASSERT_EQ(frames.size(), 1000u);
    EXPECT_EQ(frames.back().substr(0, 13), "0000000001000");
}
