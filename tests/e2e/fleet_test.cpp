// kvtfleet end to end: the real kvtfleet running the real driver against
// several simulated registers on ptys (one through ser2net), with faults.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "support/Fleet.h"
#include "support/Harness.h"
#include "support/peers/ChildProcess.h"
#include "support/peers/Ser2net.h"

namespace fs = std::filesystem;

namespace {

// How often the simulator cleared a report by command `code` ("NOTE cleared 0x80").
int ClearsReceived(const Simulator& sim, const std::string& code) {
    std::istringstream lines(sim.Log());
    std::string line;
    int count = 0;
    while (std::getline(lines, line))
        if (line.rfind("NOTE cleared " + code, 0) == 0) ++count;
    return count;
}

// Every line of a consolidated file starts with one of these register numbers and the delimiter.
std::vector<std::string> FirstFields(const std::string& content) {
    std::vector<std::string> fields;
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) fields.push_back(line.substr(0, line.find(',')));
    return fields;
}

const char EndOfDayJob[] =
    "[Job]\r\nName = closing\r\nRegisters = %REGS%\r\nArchive = archive\r\nParallel = 4\r\n"
    "Retries = 1\r\nRetryDelay = 0\r\n\r\n[Steps]\r\n1 = 233 fin.txt\r\n2 = 503 sales.txt\r\n";

std::string Job(std::string text, const std::string& registers) {
    text.replace(text.find("%REGS%"), 6, registers);
    return text;
}

bool WaitFor(const std::function<bool()>& ready, int seconds) {
    for (int i = 0; i < seconds * 50; ++i) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
}

}  // namespace

// The daily closing on every register: each report read and cleared once,
// one attempt folder each, summaries and consolidated files as the back
// office reads them, the run folder as the last console line.
TEST(Fleet, EndOfDayJobReadsAndClearsEveryRegisterOnce) {
    FleetSandbox box;
    fs::create_directory(box.Dir() + "/sim1");
    Simulator first(box.Dir() + "/sim1");
    std::unique_ptr<Simulator> second;
    std::vector<std::string> devices{first.LinkPath()};
    if (!DriverIsWindowsProgram()) {
        fs::create_directory(box.Dir() + "/sim2");
        second = std::make_unique<Simulator>(box.Dir() + "/sim2");
        devices.push_back(second->LinkPath());
    }
    box.WriteIni(FleetIni(devices));
    box.WriteFile("closing.ini", Job(EndOfDayJob, devices.size() == 1 ? "1" : "1-2"));

    RunResult result = box.Run({"run", "closing.ini"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    std::string run = RunFolderOf(result);
    ASSERT_TRUE(fs::is_directory(run)) << result.output;
    EXPECT_NE(fs::path(run).filename().string().find("-closing"), std::string::npos) << run;
    EXPECT_EQ(fs::path(run).parent_path().parent_path().filename(), "archive");

    auto rows = ReadSummary(run);
    ASSERT_EQ(rows.size(), devices.size() * 2);
    EXPECT_EQ(ReadWholeFile(run + "/summary.csv").substr(0, ReadWholeFile(run + "/summary.csv").find('\r')),
              "register,step,command,file,attempts,outcome,exit_code,last_line,records,files,start,duration_s");
    for (const auto& row : rows) {
        EXPECT_EQ(row.at("outcome"), "completed");
        EXPECT_EQ(row.at("attempts"), "1");
        EXPECT_EQ(row.at("exit_code"), "0");
        EXPECT_EQ(row.at("last_line"), "Completed OK");
        std::string attempt =
            run + "/ECR_" + row.at("register") + "/" + row.at("step") + "-" + row.at("command") + "/1";
        EXPECT_EQ(row.at("files"), fs::path(attempt).lexically_relative(run).generic_string() + "/" + row.at("file"));
        for (const char* name : {"console.txt", "exit_code", "KVT5100.log"})
            EXPECT_TRUE(fs::exists(attempt + "/" + name)) << attempt << "/" << name;
    }
    EXPECT_EQ(SummaryRow(rows, 1, 1).at("records"), "65");
    EXPECT_NE(ReadWholeFile(run + "/summary.json").find("\"outcome\": \"completed\""), std::string::npos);
    EXPECT_NE(ReadWholeFile(run + "/driver/KVT5100.ini").find("StatusRequired = 1"), std::string::npos);

    std::string consolidated = ReadWholeFile(run + "/1-233-fin.txt");
    auto fields = FirstFields(consolidated);
    ASSERT_EQ(fields.size(), 65 * devices.size());
    EXPECT_EQ(fields.front(), "1");
    EXPECT_EQ(fields.back(), std::to_string(devices.size()));
    // The register's bytes follow the number unchanged.
    std::string own = ReadWholeFile(run + "/ECR_1/1-233/1/fin.txt");
    std::string firstLine = own.substr(0, own.find('\n') + 1);
    EXPECT_EQ(consolidated.substr(0, firstLine.size() + 2), "1," + firstLine);

    EXPECT_EQ(ClearsReceived(first, "0x80"), 1);
    EXPECT_EQ(ClearsReceived(first, "0x50"), 1);
    if (second) {
        EXPECT_EQ(ClearsReceived(*second, "0x80"), 1);
    }
}

// A run that failed part way is carried on by resume: it repeats the failed
// step and runs the steps that were not run, nothing that completed.
TEST(Fleet, ResumeFinishesWhatAFailedRunLeft) {
    FleetSandbox box;
    fs::create_directory(box.Dir() + "/sim");
    std::string run;
    {
        // The register does not take the hourly report's command at first.
        Simulator sim(box.Dir() + "/sim", {"--fault", "silent@command#0*20"});
        box.WriteIni(FleetIni({sim.LinkPath()}));
        box.WriteFile("job.ini",
                      "[Job]\nRegisters = 1\nArchive = archive\nRetries = 0\n[Steps]\n"
                      "1 = 563 hourly.txt\n2 = 232 fin.txt\n");
        RunResult result = box.Run({"run", "job.ini"});
        EXPECT_EQ(result.exitCode, 1) << result.output;
        run = RunFolderOf(result);
        auto rows = ReadSummary(run);
        EXPECT_EQ(SummaryRow(rows, 1, 1).at("outcome"), "failed");
        EXPECT_EQ(SummaryRow(rows, 1, 1).at("exit_code"), "1");
        EXPECT_EQ(SummaryRow(rows, 1, 2).at("outcome"), "not run");
        EXPECT_EQ(ClearsReceived(sim, "0x82"), 0);
    }
    Simulator sim(box.Dir() + "/sim");
    box.WriteIni(FleetIni({sim.LinkPath()}));
    RunResult resumed = box.Run({"resume", run});
    ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_EQ(RunFolderOf(resumed), run);
    auto rows = ReadSummary(run);
    EXPECT_EQ(SummaryRow(rows, 1, 1).at("outcome"), "completed");
    EXPECT_EQ(SummaryRow(rows, 1, 1).at("attempts"), "2");
    EXPECT_EQ(SummaryRow(rows, 1, 1).at("files"), "ECR_1/1-563/2/hourly.txt");
    EXPECT_TRUE(fs::exists(run + "/ECR_1/1-563/1/console.txt"));  // the failed attempt stays
    EXPECT_EQ(SummaryRow(rows, 1, 2).at("outcome"), "completed");
    EXPECT_EQ(ClearsReceived(sim, "0x82"), 1);

    // Nothing is left: a second resume runs no driver.
    RunResult again = box.Run({"resume", run});
    EXPECT_EQ(again.exitCode, 0) << again.output;
    EXPECT_EQ(ReadSummary(run), rows);
}

// Faults on three registers, a fourth through ser2net: silence and NAKs are
// repeated until the retries end; a line dropped after "Clearing data" is
// never repeated; a failed step stops its register; the others go on.
TEST(Fleet, FaultsAreRepeatedOnlyWhereNoClearCanBeLost) {
    SKIP_UNLESS_LINUX_DRIVER("several registers on ptys");
    if (!Ser2net::Available()) GTEST_SKIP() << "ser2net is not installed";
    FleetSandbox box;
    for (const char* name : {"silent", "drop", "nak", "net"}) fs::create_directory(box.Dir() + "/" + name);
    Simulator silent(box.Dir() + "/silent", {"--fault", "silent@status*100", "--fault", "silent@command*100"});
    Simulator drop(box.Dir() + "/drop", {"--fault", "drop@clear"});
    Simulator nak(box.Dir() + "/nak", {"--fault", "nak@command*100"});
    Simulator net(box.Dir() + "/net");
    Ser2net server(box.Dir() + "/net", net.LinkPath(), true);
    box.WriteIni(FleetIni({silent.LinkPath(), drop.LinkPath(), nak.LinkPath(), server.Url()}));
    box.WriteFile("closing.ini", Job(EndOfDayJob, "1-4"));

    RunResult result = box.Run({"run", "closing.ini"});
    EXPECT_EQ(result.exitCode, 1) << result.output;
    std::string run = RunFolderOf(result);
    auto rows = ReadSummary(run);
    ASSERT_EQ(rows.size(), 8u) << result.output;

    EXPECT_EQ(SummaryRow(rows, 1, 1).at("outcome"), "failed");
    EXPECT_EQ(SummaryRow(rows, 1, 1).at("attempts"), "2");
    EXPECT_EQ(SummaryRow(rows, 1, 2).at("outcome"), "not run");

    EXPECT_EQ(SummaryRow(rows, 2, 1).at("outcome"), "clear unknown");
    EXPECT_EQ(SummaryRow(rows, 2, 1).at("attempts"), "1");
    EXPECT_EQ(ReadWholeFile(run + "/" + SummaryRow(rows, 2, 1).at("files")).size() > 0, true);
    EXPECT_EQ(SummaryRow(rows, 2, 2).at("outcome"), "not run");

    EXPECT_EQ(SummaryRow(rows, 3, 1).at("outcome"), "failed");
    EXPECT_EQ(SummaryRow(rows, 3, 1).at("attempts"), "2");
    EXPECT_EQ(ClearsReceived(nak, "0x80"), 0);

    EXPECT_EQ(SummaryRow(rows, 4, 1).at("outcome"), "completed");
    EXPECT_EQ(SummaryRow(rows, 4, 2).at("outcome"), "completed");
    EXPECT_EQ(ClearsReceived(net, "0x80"), 1);

    // Only what was read and cleared cleanly reaches the consolidated file.
    for (const std::string& field : FirstFields(ReadWholeFile(run + "/1-233-fin.txt"))) EXPECT_EQ(field, "4");

    // resume repeats the failed steps, never the clear that may have gone out.
    RunResult resumed = box.Run({"resume", run});
    EXPECT_EQ(resumed.exitCode, 1);
    rows = ReadSummary(run);
    EXPECT_EQ(SummaryRow(rows, 2, 1).at("outcome"), "clear unknown");
    EXPECT_EQ(SummaryRow(rows, 2, 1).at("attempts"), "1");
    EXPECT_EQ(SummaryRow(rows, 1, 1).at("attempts"), "4");
    EXPECT_EQ(SummaryRow(rows, 4, 1).at("attempts"), "1");
}

// Registers on one device never run at once, even with room in Parallel:
// the driver refuses a port that is held, so a second run at the same time
// would fail and need a retry.
TEST(Fleet, RegistersOnOneDeviceTakeTurns) {
    SKIP_UNLESS_LINUX_DRIVER("a second name of one pty");
    FleetSandbox box;
    fs::create_directory(box.Dir() + "/sim");
    Simulator sim(box.Dir() + "/sim");
    fs::create_symlink(sim.LinkPath(), box.Dir() + "/other-name.tty");
    box.WriteIni(FleetIni({sim.LinkPath(), box.Dir() + "/other-name.tty", sim.LinkPath()}));
    box.WriteFile("job.ini",
                  "[Job]\nRegisters = 1-3\nArchive = archive\nParallel = 3\nRetries = 0\n"
                  "[Steps]\n1 = 562 hourly.txt\n");
    RunResult result = box.Run({"run", "job.ini"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    for (const auto& row : ReadSummary(RunFolderOf(result))) {
        EXPECT_EQ(row.at("outcome"), "completed") << row.at("register") << " " << row.at("last_line");
        EXPECT_EQ(row.at("attempts"), "1");
    }
}

// A price rollout verified by reading the table back: the records sent
// (after the driver's check, sort and de-duplication) match; a register
// that holds another price fails the step and names the record.
TEST(Fleet, PriceRolloutIsVerifiedRecordByRecord) {
    SKIP_UNLESS_LINUX_DRIVER("several registers on ptys");
    FleetSandbox box;
    fs::create_directory(box.Dir() + "/good");
    fs::create_directory(box.Dir() + "/bad");
    // Unsorted, a duplicate code (the later line counts) and a bad line.
    box.WriteFile("prices.txt",
                  "4750000000023,95,\"Kefir 0.5l\",2,5,1\r\n"
                  "4750000000016,150,\"Milk 1l\",2,5,1\r\n"
                  "4750000000023,89,\"Kefir 0.5l\",2,5,1\r\n"
                  "not a record\r\n");
    box.WriteFile("served.txt",
                  "4750000000016,00000150,\"Milk 1l             \",\"02\",\"05\",\"01\"\n"
                  "4750000000023,00000099,\"Kefir 0.5l          \",\"02\",\"05\",\"01\"\n");
    Simulator good(box.Dir() + "/good");
    Simulator bad(box.Dir() + "/bad", {"--serve", "0x53=" + box.PathOf("served.txt")});
    box.WriteIni(FleetIni({good.LinkPath(), bad.LinkPath()}, "IgnoreDuplicates = 1"));
    box.WriteFile("rollout.ini",
                  "[Job]\nRegisters = 1-2\nArchive = archive\nRetries = 0\n"
                  "[Steps]\n1 = 200 prices.txt\n2 = 207 check.txt verify=1\n");
    RunResult result = box.Run({"run", "rollout.ini"});
    EXPECT_EQ(result.exitCode, 1) << result.output;
    auto rows = ReadSummary(RunFolderOf(result));
    EXPECT_EQ(SummaryRow(rows, 1, 1).at("outcome"), "data errors");  // the bad line
    EXPECT_EQ(SummaryRow(rows, 1, 2).at("outcome"), "completed");
    EXPECT_EQ(SummaryRow(rows, 1, 2).at("last_line"), "verified 2 records");
    EXPECT_EQ(SummaryRow(rows, 2, 2).at("outcome"), "failed");
    EXPECT_NE(SummaryRow(rows, 2, 2).at("last_line").find("record 4750000000023"), std::string::npos)
        << SummaryRow(rows, 2, 2).at("last_line");
    EXPECT_NE(ReadWholeFile(RunFolderOf(result) + "/ECR_2/2-207/1/verify.txt").find("\"Kefir 0.5l\",2,5,1"),
              std::string::npos);
}

// Stopped in the middle (SIGTERM, as a service manager stops it), kvtfleet
// stops its drivers, records what each step reached, and resume carries on
// without repeating a completed step or a clear.
TEST(Fleet, StopInTheMiddleThenResume) {
    SKIP_UNLESS_LINUX_DRIVER("signals to the Linux program");
    FleetSandbox box;
    fs::create_directory(box.Dir() + "/sim");
    // A slow register: the first 24 frames of every read come 150 ms late,
    // well inside the time-out; each report takes a few seconds.
    std::vector<std::string> slow;
    for (int frame = 0; frame < 24; ++frame)
        slow.insert(slow.end(), {"--fault", "slow=150@read#" + std::to_string(frame)});
    Simulator sim(box.Dir() + "/sim", slow);
    box.WriteIni(FleetIni({sim.LinkPath()}));
    box.WriteFile("closing.ini",
                  "[Job]\nRegisters = 1\nArchive = archive\nRetries = 0\n"
                  "[Steps]\n1 = 233 fin.txt\n2 = 563 hourly.txt\n3 = 751 clerks.txt\n");
    std::string outputPath = box.PathOf("stopped.out");
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t fleet = box.Start({"run", "closing.ini"}, out);
    close(out);
    // Stopped while the second step reads.
    bool reading = WaitFor(
        [&] { return ReadWholeFile(outputPath).find("step 2-563 attempt 1 started") != std::string::npos; }, 60);
    kill(fleet, SIGTERM);
    int status = 0;
    waitpid(fleet, &status, 0);
    ASSERT_TRUE(reading) << ReadWholeFile(outputPath);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    RunResult stopped{WEXITSTATUS(status), ReadWholeFile(outputPath)};
    std::string run = RunFolderOf(stopped);
    EXPECT_NE(stopped.output.find("kvtfleet resume"), std::string::npos);
    auto rows = ReadSummary(run);
    EXPECT_EQ(SummaryRow(rows, 1, 1).at("outcome"), "completed");
    EXPECT_EQ(SummaryRow(rows, 1, 3).at("outcome"), "not run");
    const std::string second = SummaryRow(rows, 1, 2).at("outcome");
    EXPECT_TRUE(second == "failed" || second == "clear unknown" || second == "completed") << second;
    EXPECT_NE(ReadWholeFile(run + "/state.txt"), "");

    RunResult resumed = box.Run({"resume", run});
    rows = ReadSummary(run);
    EXPECT_EQ(SummaryRow(rows, 1, 1).at("attempts"), "1");
    EXPECT_EQ(SummaryRow(rows, 1, 3).at("outcome"), "completed");
    // Every report cleared at most once, whatever the stop hit.
    EXPECT_EQ(ClearsReceived(sim, "0x80"), 1);
    EXPECT_LE(ClearsReceived(sim, "0x82"), 1);
    EXPECT_EQ(ClearsReceived(sim, "0x86"), 1);
    if (second == "clear unknown") {
        EXPECT_EQ(resumed.exitCode, 1);
        EXPECT_EQ(SummaryRow(rows, 1, 2).at("attempts"), "1");
    } else {
        EXPECT_EQ(resumed.exitCode, 0) << resumed.output;
        EXPECT_EQ(ClearsReceived(sim, "0x82"), 1);
    }
}

// Bad input is refused with a clear message before any register is touched.
TEST(Fleet, BadJobsAreRefusedBeforeAnyRegisterIsTouched) {
    FleetSandbox box;
    fs::create_directory(box.Dir() + "/sim");
    Simulator sim(box.Dir() + "/sim");
    box.WriteIni(FleetIni({sim.LinkPath()}));
    box.WriteFile("prices.txt", "4750000000016,150,\"Milk 1l\",2,5,1\n");
    box.WriteFile("afile", "x");
    const std::string head = "[Job]\nRegisters = 1\nArchive = archive\n";
    const struct {
        std::string job;
        std::string message;
    } cases[] = {
        {head + "Colour = red\n[Steps]\n1 = 232 f.txt\n", "unknown key Colour"},
        {head + "[Step]\n1 = 232 f.txt\n", "unknown section [Step]"},
        {"[Job]\nRegisters = 1-2\nArchive = archive\n[Steps]\n1 = 232 f.txt\n", "has no section [ECR_2]"},
        {"[Job]\nRegisters = 1-3, 2\nArchive = archive\n[Steps]\n1 = 232 f.txt\n", "ranges overlap"},
        {head + "[Steps]\n1 = 999 f.txt\n", "unknown command 999"},
        {head + "[Steps]\n1 = 233\n", "needs a file name"},
        {head + "[Steps]\n1 = 232 f.txt\n2 = 207 t.txt verify=1\n", "not a send"},
        {head + "[Steps]\n1 = 200 missing.txt\n", "not found"},
        {"[Job]\nRegisters = 1\nArchive = afile\n[Steps]\n1 = 232 f.txt\n", "is a file"},
        {head + "[Steps]\n1 = 232 f.txt\n\x01\x02\x00\xff", "not a text file"},
    };
    for (const auto& c : cases) {
        box.WriteFile("bad.ini", c.job);
        RunResult result = box.Run({"run", "bad.ini"});
        EXPECT_EQ(result.exitCode, 1) << c.job;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << c.job << "\n" << result.output;
    }
    EXPECT_FALSE(fs::exists(box.PathOf("archive")));
    EXPECT_TRUE(sim.Received().empty());

    // check --offline: a good job passes; a refused line is reported with exit 2.
    box.WriteFile("good.ini", head + "[Steps]\n1 = 200 prices.txt\n2 = 207 t.txt verify=1\n");
    RunResult good = box.Run({"check", "--offline", "good.ini"});
    EXPECT_EQ(good.exitCode, 0) << good.output;
    EXPECT_NE(good.output.find("1 record(s) to send"), std::string::npos) << good.output;
    box.WriteFile("prices.txt", "4750000000016,150,\"Milk 1l\",2,5,1\nbad\n");
    EXPECT_EQ(box.Run({"check", "--offline", "good.ini"}).exitCode, 2);
    EXPECT_TRUE(sim.Received().empty());
}

// check asks the driver to check each send file for each register (/C):
// the register answers its status request, no command frame goes out.
TEST(Fleet, CheckHasTheDriverCheckEveryFileWithoutSendingIt) {
    FleetSandbox box;
    fs::create_directory(box.Dir() + "/sim");
    Simulator sim(box.Dir() + "/sim");
    box.WriteIni(FleetIni({sim.LinkPath()}));
    {
        DriverSandbox driver;
        driver.WriteIni(TestIni(sim.LinkPath()));
        if (driver.Run({"/C"}).output.find("Bad command line switch") != std::string::npos)
            GTEST_SKIP() << "the driver has no file check (/C) yet";
    }
    box.WriteFile("prices.txt", "4750000000016,150,\"Milk 1l\",2,5,1\nnot a record\n");
    box.WriteFile("rollout.ini", "[Job]\nRegisters = 1\nArchive = archive\n[Steps]\n1 = 200 prices.txt\n");
    RunResult result = box.Run({"check", "rollout.ini"});
    EXPECT_EQ(result.exitCode, 2) << result.output;
    EXPECT_NE(result.output.find("Line 2"), std::string::npos) << result.output;
    for (const auto& sequence : sim.Received())
        EXPECT_FALSE(sequence.size() > 1 && sequence[0] == 0x02 && sequence[1] == 0x51) << Hex(sequence);
    EXPECT_FALSE(fs::exists(box.PathOf("archive")));
}
