// The run logs (line ends, entries, retention at close) and the texts the
// failure reports carry.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "platform/SystemError.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Runs the test inside a fresh working directory, where the logs are created.
struct FoundationLogs : ::testing::Test {
    void SetUp() override {
        previous = fs::current_path();
        fs::current_path(dir.Path());
    }
    void TearDown() override {
        StandardLogFile().Close(false);
        DebugLogFile().Close(false);
        LogSettings = LogRetention{};
        fs::current_path(previous);
    }
    TempDir dir{"kvt-logs"};
    fs::path previous;
};

}  // namespace

TEST_F(FoundationLogs, EntriesGetTimeStampsAndCrLf) {
    OpenLogs();
    LogWrite(LogBoth, "\n", false);
    LogWrite(LogBoth, "first", true);
    LogWrite(LogBoth, " and more", false);
    LogWrite(LogDebug, "two\nlines", true);
    LogWrite(LogStandard, "standard only", true);
    LogSettings = {1, 3};
    CloseLogs(0, 0);

    const std::string stamp = R"(\r\n\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{3}  )";
    std::string standard = dir.Read(StandardLogFileName);
    EXPECT_TRUE(std::regex_match(standard, std::regex("\r\n" + stamp + "first and more" + stamp + "standard only")))
        << standard;
    std::string debug = dir.Read(DebugLogFileName);
    EXPECT_TRUE(std::regex_match(debug, std::regex("\r\n" + stamp + "first and more" + stamp + "two\r\nlines")))
        << debug;
}

TEST_F(FoundationLogs, RetentionAtCloseFollowsTheSettings) {
    struct Case {
        int dbgErrorLog;
        int exitCode;
        int linkErrors;
        bool keepDebug;
    } cases[] = {
        {0, 1, 1, false}, {1, 0, 1, false}, {1, 2, 0, true}, {2, 0, 0, false},
        {2, 0, 1, true},  {2, 1, 0, true},  {3, 0, 0, true}, {7, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "DbgErrorLog " << c.dbgErrorLog << ", exit " << c.exitCode
                                        << ", link errors " << c.linkErrors);
        // The debug log holds an earlier run; the standard log is new.
        fs::remove(StandardLogFileName);
        dir.Write(DebugLogFileName, "earlier\r\n");
        OpenLogs();
        LogWrite(LogBoth, "this run", true);
        LogSettings = {c.dbgErrorLog == 0 ? 0 : 1, c.dbgErrorLog};
        CloseLogs(c.exitCode, c.linkErrors);

        std::string debug = dir.Read(DebugLogFileName);
        if (c.keepDebug) EXPECT_NE(debug.find("this run"), std::string::npos);
        else EXPECT_EQ(debug, "earlier\r\n");
        // The standard log keeps the run with StandardLog 1; with 0 the file
        // it created is gone again.
        EXPECT_EQ(fs::exists(StandardLogFileName), c.dbgErrorLog != 0);
    }

    // A debug log that did not exist before is not left behind empty.
    fs::remove(DebugLogFileName);
    OpenLogs();
    LogWrite(LogBoth, "this run", true);
    LogSettings = {1, 0};
    CloseLogs(1, 5);
    EXPECT_FALSE(fs::exists(DebugLogFileName));
    EXPECT_TRUE(fs::exists(StandardLogFileName));

    // A debug log the settings never keep stops recording once they are
    // known: what the run wrote is gone at once, the earlier runs stay, and
    // trace lines are not wanted any more.
    dir.Write(DebugLogFileName, "earlier\r\n");
    OpenLogs();
    LogWrite(LogBoth, "before the settings", true);
    EXPECT_TRUE(TraceWanted());
    DebugLogFile().StopRecording();
    EXPECT_EQ(dir.Read(DebugLogFileName), "earlier\r\n");
    EXPECT_FALSE(TraceWanted());
    LogWrite(LogBoth, "after", true);
    LogTrace("\nPC->ECR   1 bytes : 06");
    LogSettings = {1, 0};
    CloseLogs(1, 5);
    EXPECT_EQ(dir.Read(DebugLogFileName), "earlier\r\n");
    EXPECT_NE(dir.Read(StandardLogFileName).find("after"), std::string::npos);
}

TEST(FoundationExceptions, ConsoleTextLogTextAndExitCode) {
    struct Case {
        Exception error;
        const char* message;
        const char* logText;
        int exitCode;
    } cases[] = {
        {DriverErrorException("Unknown INI-file code page"), "Unknown INI-file code page", "Unknown INI-file code page",
         1},
        {FileIoException("Unable to open file 'a'"), "Unable to open file 'a'", "Unable to open file 'a'", 1},
        {CommunicationException("Data frame send error"), "\nCommunication error: Data frame send error",
         "Data frame send error", 1},
        {ModemException("NO CARRIER", 3), "NO CARRIER", "NO CARRIER", 3},
        {CommandLineErrorException("Command number is missing"), "Command number is missing (use /? for help)",
         "Command number is missing", 1},
        {InternalErrorException("src/tools", 42), "Driver internal error", "Internal error in file 'src/tools' line 42",
         1},
        {SystemErrorException("GetModuleFileName failed", 2), "System error: GetModuleFileName failed",
         "GetModuleFileName failed (system error code : 2)", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.GetMessage(), c.message);
        EXPECT_EQ(c.error.GetLogText(), c.logText);
        EXPECT_EQ(c.error.GetExitCode(), c.exitCode);
    }

    // The system error code is the one of the call that just failed.
    platform::SetLastSystemError(ENOENT);
    SystemErrorException failed("Unable to open serial port");
    EXPECT_EQ(failed.GetLogText(), "Unable to open serial port (system error code : 2)");
    // The debug log also gets the system's own words for the code.
    EXPECT_EQ(failed.GetDebugDetail(), "System error code 2: " + platform::SystemErrorText(2));
    EXPECT_EQ(DriverErrorException("Unknown INI-file code page").GetDebugDetail(), "");
}
