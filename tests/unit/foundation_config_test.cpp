// The INI reader and writer and the configuration built on them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/Config.h"
#include "config/Profile.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "tools/FieldTools.h"

namespace {

class TempIni {
public:
    explicit TempIni(const std::string& content) {
        char pattern[] = "/tmp/kvt5100-ini-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0) close(fd);
        path = pattern;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }
    ~TempIni() { std::filesystem::remove(path); }
    std::string Read() const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string path;
};

std::string Get(const TempIni& ini, const std::string& section, const std::string& key) {
    std::string value = "<absent>";
    config::ProfileGetString(ini.path, section, key, value);
    return value;
}

// Points the global configuration at a file for one test and restores the run flags.
struct FoundationConfig : ::testing::Test {
    void Use(const TempIni& ini) { TheConfig().SetFile(ini.path, true); }
    void TearDown() override {
        FileDelimiter.assign(1, ',');  // assign(): GCC 12 at -O2 warns falsely on operator=(const char*) here
        IgnoreDuplicates = 0;
        LogSettings = LogRetention{};
    }
};

}  // namespace

TEST(FoundationProfile, ReadsValuesByTheFormatRules) {
    TempIni ini(
        "key0=before any section\r\n"
        "[ Common ]\r\n"
        "  Alpha   =   one two   \r\n"
        "QUOTED=\"  spaced  \"\n"
        "single='x'\n"
        "mixed=\"x'\n"
        "lone=\"\n"
        "empty=\n"
        "alpha=second occurrence\n"
        "no equals sign\n"
        "[other]\n"
        "alpha=other section\n"
        "[COMMON]\n"
        "late=duplicate section\n");
    EXPECT_EQ(Get(ini, "common", "ALPHA"), "one two");
    EXPECT_EQ(Get(ini, "Common", "quoted"), "  spaced  ");
    EXPECT_EQ(Get(ini, "Common", "single"), "x");
    EXPECT_EQ(Get(ini, "Common", "mixed"), "\"x'");
    EXPECT_EQ(Get(ini, "Common", "lone"), "\"");
    EXPECT_EQ(Get(ini, "Common", "empty"), "");
    EXPECT_EQ(Get(ini, "Common", "key0"), "<absent>");
    EXPECT_EQ(Get(ini, "Common", "late"), "<absent>") << "the first section of a name is used";
    EXPECT_EQ(Get(ini, "OTHER", "Alpha"), "other section");
    EXPECT_EQ(Get(ini, "missing", "alpha"), "<absent>");
    std::string value;
    EXPECT_FALSE(config::ProfileGetString("/nonexistent/dir/x.ini", "Common", "a", value));

    TempIni bom("\xEF\xBB\xBF[Common]\r\nkey=v\r\n");
    EXPECT_EQ(Get(bom, "Common", "key"), "v") << "a UTF-8 byte order mark does not hide the first section";
    EXPECT_TRUE(config::ProfileSectionExists(bom.path, "Common"));
}

TEST(FoundationProfile, SurvivesLongLinesAndGarbage) {
    std::string garbage = "[Common]\nlong=" + std::string(100000, 'v') + "\n";
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 37) & 0xFF);
    garbage += "\n[ECR_1]\nComNumber = 3\n";
    garbage += std::string("cut=ab\0cd\n", 10);
    garbage += "[unterminated";
    TempIni ini(garbage);
    EXPECT_EQ(Get(ini, "Common", "long").size(), config::ProfileValueMaxLength);
    EXPECT_EQ(Get(ini, "ECR_1", "ComNumber"), "3");
    EXPECT_EQ(Get(ini, "ECR_1", "cut"), "ab") << "text after a NUL byte is not read";
    EXPECT_TRUE(config::ProfileSectionExists(ini.path, "ECR_1"));
    EXPECT_FALSE(config::ProfileSectionExists(ini.path, "unterminated"));
}

TEST(FoundationProfile, SectionPresenceAndNameList) {
    TempIni ini("[Empty]\r\n\r\n   \r\n[Commented]\r\n; only a note\r\n[Full]\r\na=1\r\n[full]\r\n");
    EXPECT_FALSE(config::ProfileSectionExists(ini.path, "Empty"));
    EXPECT_TRUE(config::ProfileSectionExists(ini.path, "Commented"));
    EXPECT_TRUE(config::ProfileSectionExists(ini.path, "FULL"));
    EXPECT_EQ(config::ProfileSectionNames(ini.path, 1024), (std::vector<std::string>{"Empty", "Commented", "Full"}));

    // 100 names of 9 characters take 10 bytes each: 102 fit into 1024 bytes
    // with the closing NUL, so the names from the 103rd on are not seen.
    std::string many;
    for (int i = 100; i < 210; ++i) many += "[SECTN_" + std::to_string(i) + "]\r\nk=1\r\n";
    TempIni big(many);
    auto names = config::ProfileSectionNames(big.path, 1024);
    ASSERT_EQ(names.size(), 102u);
    EXPECT_EQ(names.back(), "SECTN_201");
}

TEST(FoundationProfile, WritesSectionsWithCrLf) {
    TempIni ini("[Keep]\nx=1\n\n[Target]\nold=1\nold2=2\n\n[Tail]\ny=2\n");
    ASSERT_TRUE(config::ProfileWriteSection(ini.path, "target", {"new = 5"}));
    ASSERT_TRUE(config::ProfileWriteSection(ini.path, "Added", {"a = 1", "b = 2"}));
    EXPECT_EQ(ini.Read(),
              "[Keep]\r\nx=1\r\n\r\n[Target]\r\nnew = 5\r\n\r\n[Tail]\r\ny=2\r\n\r\n[Added]\r\na = 1\r\nb = 2\r\n");
    EXPECT_FALSE(config::ProfileWriteSection("/nonexistent/dir/x.ini", "A", {"a = 1"}));
}

TEST_F(FoundationConfig, ReadsIntegersAndStrings) {
    TempIni ini("[Common]\nNum=42\nNeg=-5\nWord=abc\nLead=12abc\nHuge=99999999999\n[ECR_1]\nComNumber=2\n");
    Use(ini);
    TheConfig().SetSection("ECR_1", true);
    Config& config = TheConfig();
    EXPECT_EQ(config.GetInt("ComNumber", 1), 2);
    EXPECT_EQ(config.GetInt("Missing", 7), 7);
    EXPECT_EQ(config.GetInt("Num", 0, "Common"), 42);
    EXPECT_EQ(config.GetInt("Neg", 0, "Common"), -5);
    EXPECT_EQ(config.GetInt("Word", 9, "Common"), 0);
    EXPECT_EQ(config.GetInt("Lead", 0, "Common"), 12);
    EXPECT_EQ(config.GetInt("Huge", 0, "Common"), INT32_MAX);
    EXPECT_EQ(config.GetString("Word", "", "Common"), "abc");
    EXPECT_EQ(config.GetString("Missing", "dflt"), "dflt");
}

TEST_F(FoundationConfig, FindsTheSingleEcrSection) {
    struct Case {
        const char* content;
        int expected;  // -100: "Incorrect or missing ECR number"
    } cases[] = {
        {"[Common]\na=1\n[ECR_7]\nb=1\n", 7},
        {"[ECR_1]\na=1\n[ECR_2]\na=1\n", -100},
        {"[Common]\na=1\n", -100},
        {"[ecr_3]\na=1\n", -100},  // the prefix compares with case
        {"[ECR_x]\na=1\n", -1},    // no number: the section asked for next is ECR_-1
        {"[ECR_ +4]\na=1\n", 4},
        {"[ECR_12abc]\na=1\n[Other]\n", 12},
    };
    for (const Case& c : cases) {
        TempIni ini(c.content);
        Use(ini);
        if (c.expected == -100) {
            try {
                FindSingleEcrSection();
                ADD_FAILURE() << c.content;
            } catch (const DriverErrorException& error) {
                EXPECT_EQ(error.GetMessage(), "Incorrect or missing ECR number");
            }
        } else {
            EXPECT_EQ(FindSingleEcrSection(), c.expected) << c.content;
        }
    }
}

TEST_F(FoundationConfig, CommonSettingsAndMissingSections) {
    struct Case {
        const char* delimiterLine;
        const char* expected;
    } delimiters[] = {{"Delimiter=;x\n", ";"},
                      {"Delimiter=\n", ""},
                      {"Delimiter=\t\n", ""},
                      {"Delimiter=\"\t\"\n", "\t"},
                      {"Delimiter = \"\\t\"\n", "\t"},
                      {"Delimiter=\\\n", "\\"},
                      {"", ","}};
    for (const Case& c : delimiters) {
        TempIni ini(std::string("[Common]\nStandardLog=abc\nDbgErrorLog=2\nIgnoreDuplicates=1\n") + c.delimiterLine +
                    "[ECR_1]\nComNumber=1\n");
        Use(ini);
        LoadCommonSettings(1);
        EXPECT_EQ(FileDelimiter, c.expected);
        EXPECT_EQ(LogSettings.standardLog, 0);
        EXPECT_EQ(LogSettings.dbgErrorLog, 2);
        EXPECT_EQ(IgnoreDuplicates, 1);
        EXPECT_EQ(TheConfig().GetSection(), "ECR_1");
    }

    TempIni noEcr("[Common]\na=1\n[ECR_1]\nComNumber=1\n");
    Use(noEcr);
    try {
        LoadCommonSettings(5);
        FAIL();
    } catch (const DriverErrorException& error) {
        EXPECT_EQ(error.GetMessage(), "INI-file section [ECR_5] not found");
    }
    TempIni emptyCommon("[Common]\n\n[ECR_1]\nComNumber=1\n");
    Use(emptyCommon);
    try {
        LoadCommonSettings(1);
        FAIL();
    } catch (const DriverErrorException& error) {
        EXPECT_EQ(error.GetMessage(), "INI-file section [Common] not found");
    }
    try {
        TheConfig().SetFile("/nonexistent/KVT5100.ini", true);
        FAIL();
    } catch (const DriverErrorException& error) {
        EXPECT_EQ(error.GetMessage(), "INI-file '/nonexistent/KVT5100.ini' not found");
    }
    EXPECT_THROW(CreateDefaultIni(nullptr), InternalErrorException);
}
