// Data files in UTF-8 against the simulated register, whose names are Windows-1257 bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Harness.h"

namespace {

// The 22 Latvian letters with diacritics in UTF-8 and their Windows-1257 bytes, in the same order.
const std::string LatvianUtf8 = "ĀČĒĢĪĶĻŅŠŪŽāčēģīķļņšūž";
const std::string LatvianCp1257 =
    "\xC2\xC8\xC7\xCC\xCE\xCD\xCF\xD2\xD0\xDB\xDE\xE2\xE8\xE7\xEC\xEE\xED\xEF\xF2\xF0\xFB\xFE";

struct Utf8Bench {
    explicit Utf8Bench(const std::string& common = "CodePage = UTF-8\r\n") : ecr(box.Dir()) {
        box.WriteIni(TestIni(ecr.LinkPath(), "", common));
    }
    RunResult Run(const std::string& command, const std::string& file) { return box.Run({"/K1", command, file}); }
    DriverSandbox box;
    Simulator ecr;
};

}  // namespace

TEST(Utf8Files, PluTableRoundTripKeepsEveryLatvianLetter) {
    Utf8Bench bench;
    // The first name is exactly 20 characters (the name length) and 40 bytes.
    const std::string table = "1,150,\"" + LatvianUtf8.substr(0, 40) + "\",1,5,2\r\n" + "2,99,\"" +
                              LatvianUtf8.substr(40) + " Maize\",2,1,1\r\n";
    bench.box.WriteFile("plu.txt", table);
    RunResult send = bench.Run("200", "plu.txt");
    ASSERT_EQ(send.exitCode, 0) << send.output;
    RunResult read = bench.Run("207", "back.txt");
    ASSERT_EQ(read.exitCode, 0) << read.output;
    EXPECT_EQ(bench.box.ReadFile("back.txt"), table);
    bench.ecr.Stop();
    std::vector<std::string> frames = SentDataFrames(bench.ecr.Received());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], "0000000000001,00000150,\"" + LatvianCp1257.substr(0, 20) + "\",\"01\",\"05\",\"02\"");
    EXPECT_EQ(frames[1].substr(23, 10), "\"" + LatvianCp1257.substr(20) + " Maize ");
}

TEST(Utf8Files, LinesWithoutEcrFormAreRefusedAndTheOthersSent) {
    Utf8Bench bench;
    bench.box.WriteFile("plu.txt",
                        "1,1,\"Labs\",1,1,1\r\n"
                        "2,1,\"\xC4\",1,1,1\r\n"  // a letter cut off: not UTF-8
                        "3,1,\"Борщ\",1,1,1\r\n"  // Cyrillic: not in code page 1257
                        "4,1,\"" +
                            LatvianUtf8.substr(0, 42) +
                            "\",1,1,1\r\n"  // 21 characters
                            "5,1,\"Ūdens\",1,1,1\r\n");
    RunResult run = bench.Run("200", "plu.txt");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    for (const char* line :
         {"Line 2     - empty or bad format", "Line 3     - empty or bad format", "Line 4     - empty or bad format"})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << run.output;
    const std::string debug = bench.box.ReadFile("dbgerror.log");
    EXPECT_NE(debug.find("Line 2: byte 6 is not valid UTF-8"), std::string::npos) << debug;
    EXPECT_NE(debug.find("Line 3: the character at byte 6 is not in code page 1257"), std::string::npos) << debug;
    bench.ecr.Stop();
    std::vector<std::string> frames = SentDataFrames(bench.ecr.Received());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].substr(0, 30), "0000000000001,00000001,\"Labs  ");
    EXPECT_EQ(frames[1].substr(0, 30),
              "0000000000005,00000001,\"\xDB"
              "dens ");
}

TEST(Utf8Files, EcrCodePageMissingStopsBeforeAnyRecord) {
    Utf8Bench bench("Language = English\r\nCodePage = UTF-8\r\n");
    RunResult run = bench.Run("207", "back.txt");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("Unknown INI-file code page"), std::string::npos) << run.output;
    EXPECT_FALSE(bench.box.Exists("back.txt"));
}
