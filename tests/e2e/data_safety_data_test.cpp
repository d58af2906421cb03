// The register's data survives every run: amounts keep their digits, names
// with quotes come back as they went, a log is never a data file, a
// byte-order mark costs no record, an over-long service line is refused
// before anything is sent, and a coloured logo prints the right way round.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/Harness.h"
#include "unit/logo_test_bitmaps.h"

namespace {

struct Bench {
    explicit Bench(std::vector<std::string> options = {}, const std::string& common = "") : ecr(box.Dir(), options) {
        box.WriteIni(TestIni(ecr.LinkPath(), "", common));
    }
    RunResult Run(const std::string& command, const std::string& file) { return box.Run({"/K1", command, file}); }
    DriverSandbox box;
    Simulator ecr;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(DataSafetyE2E, ReportAmountsKeepEveryDigit) {
    Bench bench;
    // Sold once and five times: 12345.67 and 5 x 999999.99 = 4999999.95.
    bench.box.WriteFile("plu.txt", "5,1234567,\"Cake\",1,0,1\r\n14,99999999,\"Gold\",2,0,1\r\n");
    ASSERT_EQ(bench.Run("200", "plu.txt").exitCode, 0);
    RunResult run = bench.Run("232", "fin.txt");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string report = bench.box.ReadFile("fin.txt");
    EXPECT_TRUE(Contains(report, ",12345.67")) << report;
    EXPECT_TRUE(Contains(report, ",4999999.95")) << report;
    EXPECT_FALSE(Contains(report, "e+")) << report;
}

TEST(DataSafetyE2E, NamesWithQuotesSurviveARoundTrip) {
    Bench bench({"--status", "0312"});  // names of 18 characters
    const std::string table = "7,250,\"12\"\" Pizza\",1,0,1\r\n8,90,\"\"\"Q\"\",\"\"R\"\"\",2,0,1\r\n";
    bench.box.WriteFile("plu.txt", table);
    ASSERT_EQ(bench.Run("200", "plu.txt").exitCode, 0);
    RunResult read = bench.Run("207", "back.txt");
    ASSERT_EQ(read.exitCode, 0) << read.output;
    EXPECT_EQ(bench.box.ReadFile("back.txt"), table);

    // What was read back goes to the register again unchanged.
    ASSERT_EQ(bench.Run("200", "back.txt").exitCode, 0);
    ASSERT_EQ(bench.Run("207", "again.txt").exitCode, 0);
    EXPECT_EQ(bench.box.ReadFile("again.txt"), table);
    bench.ecr.Stop();
    EXPECT_FALSE(Contains(bench.ecr.Log(), "rejected")) << bench.ecr.Log();
}

TEST(DataSafetyE2E, ALogIsNeverADataFile) {
    Bench bench;
    bench.box.WriteFile("plu.txt", "1,1,\"A\",1,0,1\r\n");
    ASSERT_EQ(symlink("KVT5100.log", bench.box.PathOf("link.txt").c_str()), 0);
    // Any earlier run leaves the standard log behind; a hard link needs it now.
    ASSERT_EQ(bench.Run("502", "sales.txt").exitCode, 0);
    ASSERT_EQ(link(bench.box.PathOf("KVT5100.log").c_str(), bench.box.PathOf("hard.txt").c_str()), 0);
    const size_t exchanges = bench.ecr.Received().size();

    const struct {
        const char* command;
        const char* file;
    } cases[] = {{"232", "dbgerror.log"}, {"232", "KVT5100.log"}, {"207", "./KVT5100.log"},
                 {"232", "link.txt"},     {"232", "hard.txt"},    {"200", "KVT5100.log"}};
    for (const auto& c : cases) {
        RunResult run = bench.Run(c.command, c.file);
        EXPECT_EQ(run.exitCode, 1) << c.file << "\n" << run.output;
        EXPECT_TRUE(Contains(run.output, std::string("Unable to open file '") + c.file + "'")) << run.output;
    }
    // Nothing reached the register, and no report went into a log.
    EXPECT_EQ(bench.ecr.Received().size(), exchanges);
    EXPECT_FALSE(Contains(bench.box.ReadFile("KVT5100.log"), "Department")) << bench.box.ReadFile("KVT5100.log");
}

TEST(DataSafetyE2E, AByteOrderMarkCostsNoRecord) {
    for (const char* codePage : {"RIM", "DOS", ""}) {
        Bench bench({}, std::string("CodePage = ") + codePage + "\r\n");
        bench.box.WriteFile("plu.txt",
                            "\xEF\xBB\xBF"
                            "7,250,\"Tea\",1,0,1\r\n8,90,\"Jam\",2,0,1\r\n");
        RunResult run = bench.Run("200", "plu.txt");
        EXPECT_EQ(run.exitCode, 0) << codePage << "\n" << run.output;
        bench.ecr.Stop();
        EXPECT_EQ(SentDataFrames(bench.ecr.Received()).size(), 2u) << codePage;
    }
}

TEST(DataSafetyE2E, AServiceLineTooLongForAFrameIsRefusedBeforeSending) {
    Bench bench;
    const std::string longest(122, 'x');
    bench.box.WriteFile("head.txt", "1,\"A\"\r\n" + longest + "\r\n" + longest + "y\r\n3,\"C\"\r\n");
    RunResult run = bench.Run("114", "head.txt");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_TRUE(Contains(run.output, "Line 3     - empty or bad format\n")) << run.output;
    EXPECT_FALSE(Contains(run.output, "internal error")) << run.output;
    bench.ecr.Stop();
    // Every other line went, and the block was ended properly.
    EXPECT_EQ(SentDataFrames(bench.ecr.Received()), (std::vector<std::string>{"1,\"A\"", longest, "3,\"C\""}));
    const auto received = bench.ecr.Received();
    EXPECT_TRUE(!received.empty() && received.back().size() == 3 && received.back()[2] == 0x1A);
}

TEST(DataSafetyE2E, ALogoPrintsItsDarkerColourAsDots) {
    // Blue marks on white, with the blue entry second and first: the blue
    // pixels (the leftmost eight) print as dots either way.
    for (bool blueFirst : {false, true}) {
        Bench bench({"--show-logo"});
        BitmapShape shape;
        shape.colours = blueFirst ? std::vector<uint8_t>{0xFF, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0}
                                  : std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0, 0xFF, 0, 0, 0};
        std::vector<uint8_t> row(30, blueFirst ? 0xFF : 0x00);
        row[0] = blueFirst ? 0x00 : 0xFF;
        shape.rows = {row};
        bench.box.WriteFile("logo.bmp", BuildBitmap(shape));
        RunResult run = bench.Run("670", "logo.bmp");
        EXPECT_EQ(run.exitCode, 0) << run.output;
        bench.ecr.Stop();
        EXPECT_TRUE(Contains(bench.ecr.Output(), "########" + std::string(232, '.') + "\n")) << bench.ecr.Output();
    }
}
