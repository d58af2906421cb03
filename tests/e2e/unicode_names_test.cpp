// File names with letters that no single code page holds together: the
// program's folder (and so its INI), its logs, the data files named on the
// command line, and the command line in the logs. A Windows build that went
// through the ANSI code page would write "Škunis.csv" for "Šķūnis.csv".
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "support/Harness.h"
#include "support/peers/ChildProcess.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::set<std::string> FilesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

}  // namespace

TEST(UnicodeNames, DataFilesIniAndLogsKeepEveryLetterOfTheirNames) {
    DriverSandbox box("kvt-Mājas ķēķis");  // the program, its INI and its logs live here
    Simulator ecr(box.Dir());
    box.WriteIni(TestIni(ecr.LinkPath()));
    const std::string table = "1,150,\"Maize\",1,5,2\r\n2,99,\"Piens\",2,1,1\r\n";
    box.WriteFile("Cenas ā.csv", table);

    RunResult send = box.Run({"/K1", "200", "Cenas ā.csv"});
    ASSERT_EQ(send.exitCode, 0) << send.output;
    RunResult read = box.Run({"/K1", "207", "Šķūnis.csv"});
    ASSERT_EQ(read.exitCode, 0) << read.output;
    EXPECT_EQ(box.ReadFile("Šķūnis.csv"), table);

    RunResult missing = box.Run({"/K1", "200", "Nav ņemts.csv"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(Contains(missing.output, "Unable to open file 'Nav ņemts.csv'")) << missing.output;

    // Nothing was written under another spelling of a name.
    std::set<std::string> files = FilesIn(box.Dir());
    for (const char* expected : {"Cenas ā.csv", "Šķūnis.csv", "KVT5100.ini", "KVT5100.log", "dbgerror.log"})
        EXPECT_EQ(files.erase(expected), 1u) << expected;
    for (const std::string& other : files)
        EXPECT_TRUE(other.find(".csv") == std::string::npos) << "unexpected file " << other;

    // Both logs record each command line, the program's path in it too, in
    // UTF-8 (Windows quotes an argument with a blank).
    for (const char* log : {"KVT5100.log", "dbgerror.log"}) {
        const std::string text = box.ReadFile(log);
        EXPECT_TRUE(Contains(text, "Mājas ķēķis")) << log << text;
        EXPECT_TRUE(Contains(text, "Cenas ā.csv")) << log << text;
        EXPECT_TRUE(Contains(text, " 207 Šķūnis.csv")) << log << text;
    }
}

// The Windows package's sample INI and data files work as they are: the INI
// with only its port changed, the UTF-8 samples sent without a refused line.
TEST(UnicodeNames, PackagedSampleIniAndDataFilesWorkAsShipped) {
    const std::string packaging = std::string(TEST_DATA_DIR) + "/../../packaging/";
    DriverSandbox box;
    Simulator ecr(box.Dir());
    std::string port;
    std::istringstream testLines(TestIni(ecr.LinkPath()));
    for (std::string line; std::getline(testLines, line);)
        if (line.rfind("ComNumber", 0) == 0 || line.rfind("ComDevice", 0) == 0) port += line + "\n";
    std::istringstream sampleLines(ReadWholeFile(packaging + "KVT5100.ini"));
    std::string ini;
    for (std::string line; std::getline(sampleLines, line);)
        ini += line.rfind("ComNumber =", 0) == 0 ? port : line.rfind("ComDevice =", 0) == 0 ? "" : line + "\n";
    box.WriteIni(ini);
    box.WriteFile("plu-latvian.csv", ReadWholeFile(packaging + "samples/plu-latvian.csv"));
    box.WriteFile("departments.csv", ReadWholeFile(packaging + "samples/departments.csv"));

    RunResult plu = box.Run({"200", "plu-latvian.csv"});
    EXPECT_EQ(plu.exitCode, 0) << plu.output;
    RunResult departments = box.Run({"211", "departments.csv"});
    EXPECT_EQ(departments.exitCode, 0) << departments.output;
    RunResult back = box.Run({"207", "back.csv"});
    EXPECT_EQ(back.exitCode, 0) << back.output;
    EXPECT_TRUE(Contains(box.ReadFile("back.csv"), "\"Rupjmaize ķiploku\"")) << box.ReadFile("back.csv");
    ecr.Stop();
    EXPECT_EQ(SentDataFrames(ecr.Received()).size(), 10u + 8u);
}
