// The driver's run from the outside: command line, help, configuration,
// logs and their retention, exit codes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/Harness.h"

namespace {

const std::string MissingDevice = "/nonexistent/kvt5100-tty";
const char OpenFailure[] = "System error: Unable to open serial port";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Holds an exclusive lock on a file the way a running driver does.
class HeldLock {
public:
    explicit HeldLock(const std::string& path) : fd(open(path.c_str(), O_WRONLY | O_CREAT, 0644)) {
        if (fd >= 0) locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    }
    ~HeldLock() {
        if (fd >= 0) close(fd);
    }
    bool locked = false;

private:
    int fd;
};

// Runs the driver in the background until it is stopped: a status request
// that the ECR never answers, with a long wait, keeps it in its run with
// both logs open.
class BusyDriver {
public:
    explicit BusyDriver(const DriverSandbox& box) : ecr(box.Dir(), {"--fault", "silent@status*99"}) {
        box.WriteIni(TestIni(ecr.LinkPath(), "LocalEcrCommMaxTime = 60000"));
        int null = open("/dev/null", O_WRONLY);
        pid = box.Start({"232", "busy.txt"}, null);
        close(null);
        // Wait (with a wide margin) until the driver has written to the port.
        for (int i = 0; i < 3000 && ecr.Received().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~BusyDriver() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    bool Started() const { return !ecr.Received().empty(); }

private:
    Simulator ecr;
    pid_t pid;
};

}  // namespace

TEST(RunFlow, HelpRunsPrintHelpAndLeaveNoTrace) {
    DriverSandbox box;
    RunResult general = box.Run({});
    EXPECT_EQ(general.exitCode, 0);
    EXPECT_TRUE(Contains(general.output, "Usage: KVT5100.EXE [options] command [filename]"));
    EXPECT_FALSE(Contains(general.output, "KVT5100 commands:"));
    EXPECT_FALSE(Contains(general.output, "Completed")) << "nothing follows the help text";
    EXPECT_FALSE(box.Exists("KVT5100.log"));
    EXPECT_FALSE(box.Exists("dbgerror.log"));

    for (const char* option : {"/h1", "-H1", "/?1"}) {
        RunResult commands = box.Run({option});
        EXPECT_EQ(commands.exitCode, 0) << option;
        EXPECT_TRUE(Contains(commands.output, "KVT5100 commands:")) << option;
    }
    RunResult other = box.Run({"/H7"});
    EXPECT_TRUE(Contains(other.output, "Usage: KVT5100.EXE"));
    EXPECT_FALSE(Contains(other.output, "commands:"));

    // Help wins over a command that follows it; an existing log keeps its text.
    box.WriteFile("KVT5100.log", "earlier run\r\n");
    RunResult service = box.Run({"/K3", "/H2", "201"});
    EXPECT_EQ(service.exitCode, 0);
    EXPECT_TRUE(Contains(service.output, "Service commands:"));
    EXPECT_EQ(box.ReadFile("KVT5100.log"), "earlier run\r\n");
    EXPECT_FALSE(box.Exists("dbgerror.log"));
}

TEST(RunFlow, VersionRequestPrintsNameVersionAndBuildDateAndLeavesNoTrace) {
    DriverSandbox box;
    box.WriteFile("KVT5100.log", "earlier run\r\n");
    const std::regex banner(
        R"(KVT5100 driver\. Version \d+\.\d+\.\d+ \(Compiled: [A-Z][a-z]{2} [ 123]\d \d{4} \d\d:\d\d:\d\d\)\n)");
    // Like help, the request wins over whatever follows it.
    const std::vector<std::vector<std::string>> requests = {
        {"/V"}, {"-v"}, {"--version"}, {"/K2", "/V", "200", "plu.txt"}, {"--version", "/X"}};
    for (const auto& args : requests) {
        RunResult run = box.Run(args);
        EXPECT_EQ(run.exitCode, 0) << args[0];
        EXPECT_TRUE(std::regex_match(run.output, banner)) << run.output;
    }
    RunResult help = box.Run({"/H"});
    std::smatch shown;
    ASSERT_TRUE(std::regex_search(help.output, shown, std::regex("KVT5100 driver\\. Version .*\n")));
    EXPECT_EQ(box.Run({"/V"}).output, shown.str()) << "the help banner shows the same version";

    EXPECT_EQ(box.ReadFile("KVT5100.log"), "earlier run\r\n");
    EXPECT_FALSE(box.Exists("dbgerror.log"));
    EXPECT_FALSE(box.Exists("KVT5100.ini")) << "no configuration is needed or created";
    EXPECT_EQ(box.Run({"--verbose"}).output,
              "Bad command line switch --verbose (use /? for help)\nCompleted with errors\n");
}

TEST(RunFlow, CommandLineErrors) {
    DriverSandbox box;
    RunResult missing = box.Run({"/K3"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.output, "Command number is missing (use /? for help)\nCompleted with errors\n");
    std::string log = box.ReadFile("KVT5100.log");
    EXPECT_TRUE(Contains(log, "  Command number is missing\r\n"));
    EXPECT_FALSE(Contains(log, "use /?"));
    EXPECT_TRUE(Contains(log, "Completed with errors"));
    EXPECT_FALSE(box.Exists("dbgerror.log")) << "the debug log is not kept before the INI is read";

    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-5"}, "Bad command line switch -5 (use /? for help)\n"},
        {{"/"}, "Bad command line switch / (use /? for help)\n"},
        {{"/X1", "200"}, "Bad command line switch /X1 (use /? for help)\n"},
        {{"0"}, "Incorrect or missing command number (use /? for help)\n"},
        {{"abc", "file.txt"}, "Incorrect or missing command number (use /? for help)\n"},
    };
    for (const Case& c : cases) {
        RunResult result = box.Run(c.args);
        EXPECT_EQ(result.exitCode, 1) << c.args[0];
        EXPECT_EQ(result.output, c.message + "Completed with errors\n") << c.args[0];
    }
}

TEST(RunFlow, LogEntriesCarryTimeStampsAndCrLf) {
    DriverSandbox box;
    box.Run({"/K3"});
    box.Run({"/K3"});
    std::string log = box.ReadFile("KVT5100.log");
    const std::string stamp = R"(\r\n\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{3}  )";
    const std::string run = R"(\r\n)" + stamp + "KVT5100 driver version 1\\.8\\.0 started\\. Command line: " +
                            "\\S*KVT5100(\\.exe\")? /K3" + stamp + "Command number is missing" + stamp +
                            "Completed with errors";
    EXPECT_TRUE(std::regex_match(log, std::regex(run + run))) << log;
}

TEST(RunFlow, SecondRunInTheSameDirectoryOrUncreatableLogEndsTheRun) {
    DriverSandbox box;
    {
        BusyDriver first(box);
        ASSERT_TRUE(first.Started());
        std::string log = box.ReadFile("KVT5100.log");
        RunResult second = box.Run({"/K3"});
        EXPECT_EQ(second.exitCode, 1);
        EXPECT_EQ(second.output, "Can't open file 'KVT5100.log'\nCompleted with errors\n");
        EXPECT_EQ(box.ReadFile("KVT5100.log"), log) << "the first run's log is left alone";
    }
    DriverSandbox blocked;
    ASSERT_EQ(mkdir(blocked.PathOf("KVT5100.log").c_str(), 0755), 0);
    RunResult result = blocked.Run({"/H"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "Can't open file 'KVT5100.log'\nCompleted with errors\n");
}

TEST(RunFlow, LockedDebugLogEndsTheRun) {
    SKIP_UNLESS_LINUX_DRIVER("the lock is the POSIX stand-in for a share mode");
    DriverSandbox box;
    {
        // The standard log opened, so it records why the debug log did not.
        HeldLock lock(box.PathOf("dbgerror.log"));
        ASSERT_TRUE(lock.locked);
        RunResult result = box.Run({"/K3"});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.output, "Can't open file 'dbgerror.log'\nCompleted with errors\n");
        EXPECT_TRUE(Contains(box.ReadFile("KVT5100.log"), "  Can't open file 'dbgerror.log'"));
    }
}

TEST(RunFlow, MissingIniIsCreatedWithDefaults) {
    DriverSandbox box;
    // The default file has no ECR_2, so the run stops before any serial port.
    RunResult result = box.Run({"/K2", "232", "out.txt"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output,
              "Configuration file not found. Creating default INI-file\n\n"
              "INI-file section [ECR_2] not found\nCompleted with errors\n");
    std::string ini = box.ReadFile("KVT5100.ini");
    EXPECT_TRUE(std::regex_match(ini, std::regex("\\[Common\\]\r\nDbgErrorLog = 0\r\nCodePage = RIM\r\n"
                                                 "(\r\n)*\\[ECR_1\\]\r\nComNumber = 1\r\n")))
        << ini;
}

TEST(RunFlow, IniSectionChoice) {
    DriverSandbox box;
    box.WriteIni("[Common]\r\nDbgErrorLog = 0\r\n[ECR_1]\r\nComNumber = 1\r\n[ECR_2]\r\nComNumber = 2\r\n");
    RunResult twoEcrs = box.Run({"232", "out.txt"});
    EXPECT_EQ(twoEcrs.output, "Incorrect or missing ECR number\nCompleted with errors\n");
    RunResult noSection = box.Run({"/K5", "232", "out.txt"});
    EXPECT_EQ(noSection.output, "INI-file section [ECR_5] not found\nCompleted with errors\n");
    EXPECT_EQ(noSection.exitCode, 1);

    // The only register section is chosen without /K, and its keys are used.
    box.WriteIni("[Common]\r\nDbgErrorLog = 0\r\n[ECR_7]\r\nComDevice = " + MissingDevice + "\r\n");
    RunResult single = box.Run({"232", "out.txt"});
    EXPECT_EQ(single.exitCode, 1);
    EXPECT_EQ(single.output, std::string(OpenFailure) + "\nCompleted with errors\n");
}

TEST(RunFlow, EmptyDelimiterIsReportedInTheDebugLog) {
    DriverSandbox unquotedTab;
    unquotedTab.WriteIni(TestIni(MissingDevice, "", "DbgErrorLog = 3\r\nDelimiter = \t\r\n"));
    unquotedTab.Run({"232", "out.txt"});
    EXPECT_TRUE(Contains(unquotedTab.ReadFile("dbgerror.log"), "Delimiter is empty"));

    DriverSandbox escapedTab;
    escapedTab.WriteIni(TestIni(MissingDevice, "", "DbgErrorLog = 3\r\nDelimiter = \"\\t\"\r\n"));
    escapedTab.Run({"232", "out.txt"});
    EXPECT_FALSE(Contains(escapedTab.ReadFile("dbgerror.log"), "Delimiter is empty"));
}

TEST(RunFlow, SerialOpenFailureSkipsStatisticsAndRetentionApplies) {
    DriverSandbox box;
    box.WriteIni(TestIni(MissingDevice, "", "StandardLog = 0\r\n"));
    RunResult result = box.Run({"232", "out.txt"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, std::string(OpenFailure) + "\nCompleted with errors\n");
    EXPECT_FALSE(box.Exists("KVT5100.log")) << "StandardLog = 0 keeps nothing";
    std::string debug = box.ReadFile("dbgerror.log");
    EXPECT_TRUE(Contains(debug, "Unable to open serial port (system error code : "));
    // Beside the code, the debug log has the system's own words for it
    // ("No such file or directory", "Invalid device name." under Windows).
    EXPECT_TRUE(std::regex_search(debug, std::regex(R"(\(system error code : (\d+)\)[\s\S]*System error code \1: \S)")))
        << debug;
    EXPECT_FALSE(Contains(debug, "I/O statistics"));

    box.WriteFile("KVT5100.log", "kept as it was");
    box.Run({"232", "out.txt"});
    EXPECT_EQ(box.ReadFile("KVT5100.log"), "kept as it was");
}

TEST(RunFlow, CommandRunsThroughTheLink) {
    DriverSandbox box;
    Simulator ecr(box.Dir());
    box.WriteIni(TestIni(ecr.LinkPath()));
    RunResult ok = box.Run({"/K1", "232", "fin.txt"});
    EXPECT_EQ(ok.exitCode, 0) << ok.output;
    EXPECT_TRUE(Contains(ok.output, "Completed OK\n"));
    std::string log = box.ReadFile("KVT5100.log");
    EXPECT_TRUE(Contains(log, "I/O statistics : OUT frames = "));
    EXPECT_LT(log.find("I/O statistics"), log.rfind("Completed OK"));

    // The command number is read up to its first non-digit; words after the
    // file name are ignored.
    RunResult loose = box.Run({"/k1", "232x", "loose.txt", "extra"});
    EXPECT_EQ(loose.exitCode, 0) << loose.output;
    EXPECT_TRUE(Contains(loose.output, "Command: 232 - Financial report read\n\n")) << loose.output;
    EXPECT_TRUE(box.Exists("loose.txt"));
    EXPECT_FALSE(box.Exists("extra"));

    // A rejected input line turns a completed send into exit code 2.
    box.WriteFile("plu.txt", "1,100,\"Milk\",1,1,1\r\nnot a record\r\n");
    RunResult dataError = box.Run({"200", "plu.txt"});
    EXPECT_EQ(dataError.exitCode, 2) << dataError.output;
    EXPECT_TRUE(Contains(dataError.output, "Completed with errors\n"));
}

TEST(RunFlow, CommunicationFailureClosesLinkAndLogsStatistics) {
    DriverSandbox box;
    Simulator ecr(box.Dir(), {"--fault", "nak@command*99"});
    box.WriteIni(TestIni(ecr.LinkPath()));
    RunResult result = box.Run({"232", "fin.txt"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(Contains(result.output, "\nCommunication error: ")) << result.output;
    EXPECT_TRUE(Contains(result.output, "Completed with errors\n"));
    std::string log = box.ReadFile("KVT5100.log");
    EXPECT_FALSE(Contains(log, "Communication error")) << "the logs get the bare text";
    EXPECT_TRUE(Contains(log, ", NAK = "));
}

TEST(RunFlow, RunsWithoutAConsoleReaderOrKilledMidwayLoseNothing) {
    DriverSandbox box;
    auto ecr = std::make_unique<Simulator>(box.Dir());
    box.WriteIni(TestIni(ecr->LinkPath(), "LocalEcrCommMaxTime = 30000"));

    // A console reader that has gone away does not end the transfer.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    pid_t unread = box.Start({"217", "departments.txt"}, ends[1]);
    close(ends[1]);
    int status = 0;
    ASSERT_EQ(waitpid(unread, &status, 0), unread);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Contains(box.ReadFile("KVT5100.log"), "Completed OK"));
    std::string departments = box.ReadFile("departments.txt");
    EXPECT_EQ(std::count(departments.begin(), departments.end(), '\n'), 8) << departments;

    // A read killed while the ECR holds back its sixth frame: the five records
    // received are already in the ".partial" file beside it, each a whole line.
    ecr.reset();
    ecr = std::make_unique<Simulator>(box.Dir(), std::vector<std::string>{"--fault", "slow=20000@read#5"});
    int null = open("/dev/null", O_WRONLY);
    pid_t killed = box.Start({"232", "fin.txt"}, null);
    close(null);
    std::string partial;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        partial = box.ReadFile("fin.txt.partial");
        if (std::count(partial.begin(), partial.end(), '\n') >= 5) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(killed, SIGKILL);
    waitpid(killed, &status, 0);
    partial = box.ReadFile("fin.txt.partial");
    EXPECT_FALSE(box.Exists("fin.txt"));
    EXPECT_EQ(std::count(partial.begin(), partial.end(), '\n'), 5) << partial;
    EXPECT_TRUE(partial.size() >= 2 && partial.compare(partial.size() - 2, 2, "\r\n") == 0) << partial;
}
