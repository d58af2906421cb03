// kvtfleet's own reading and writing: job files, the driver's console
// text, the state file and summaries, the verification of a send.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ecrcomm/EcrComm.h"
#include "fleet/Attempt.h"
#include "fleet/DriverIni.h"
#include "fleet/FleetError.h"
#include "fleet/JobFile.h"
#include "fleet/Runner.h"
#include "fleet/StepRecord.h"
#include "fleet/Verify.h"
#include "support/TempDir.h"

namespace {

std::string ParseError(const std::string& text) {
    try {
        ParseJob(text, "job.ini");
    } catch (const FleetError& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(FleetJob, ReadsKeysDefaultsAndStepsInNumberOrder) {
    Job job = ParseJob(
        "\xEF\xBB\xBF; end of day\r\n[job]\r\nregisters = 3, 1-2\r\nArchive = \"/srv/a b\"\r\n"
        "Parallel = 8\r\nRetryDelay = 0\r\n\r\n[Steps]\r\n10 = 503 sales.txt\r\n"
        "2 = 207 check.txt verify=1\r\n1 = 200 prices.txt\r\n",
        "closing.ini");
    EXPECT_EQ(job.registers, (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(job.archive, "/srv/a b");
    EXPECT_EQ(job.name, "closing");
    EXPECT_EQ(job.parallel, 8);
    EXPECT_EQ(job.retries, 2);
    EXPECT_EQ(job.retryDelay, 0);
    EXPECT_EQ(job.statusRequired, 1);
    ASSERT_EQ(job.steps.size(), 3u);
    EXPECT_EQ(job.steps[0].number, 1);
    EXPECT_EQ(job.steps[1].verifyStep, 1);
    EXPECT_EQ(job.steps[2].Label(), "10-503");
    EXPECT_EQ(job.steps[2].file, "sales.txt");
}

TEST(FleetJob, RefusesWhatItCannotRunAsWritten) {
    const std::string head = "[Job]\nRegisters = 1\nArchive = a\n[Steps]\n";
    EXPECT_NE(ParseError(head + "1 = 232 f.txt\n[Job]\n"), "");
    EXPECT_NE(ParseError("[Job]\nRegisters = 1\nRegisters = 2\nArchive = a\n[Steps]\n1 = 232 f\n").find("twice"),
              std::string::npos);
    EXPECT_NE(ParseError(head + "1 = 232 f.txt\n1 = 233 g.txt\n").find("step 1 is given twice"), std::string::npos);
    EXPECT_NE(ParseError("[Job]\nRegisters = 1\nArchive = a\nParallel = 0\n[Steps]\n1 = 232 f\n").find("Parallel"),
              std::string::npos);
    EXPECT_NE(ParseError("Registers = 1\n").find("before any section"), std::string::npos);
    EXPECT_NE(ParseError(head + "1 = 232 a b\n").find("after the file name"), std::string::npos);
    EXPECT_NE(ParseError(head + "1 = x232 f\n").find("not a command number"), std::string::npos);
    EXPECT_NE(ParseError(head + "just words\n").find("job.ini line 5"), std::string::npos);
    EXPECT_NE(ParseError("[Job]\nArchive = a\n[Steps]\n1 = 232 f\n").find("needs Registers"), std::string::npos);
    EXPECT_NE(ParseError(head + "1 = 232 \xC3\x28\n").find("not a text file"), std::string::npos);
    EXPECT_EQ(ParseError(head + "1 = 232 \xC4\xB7\xC4\xABlis.txt\n"), "");  // UTF-8 names are text
}

TEST(FleetJob, RegisterListsAndRanges) {
    EXPECT_EQ(ParseRegisterList("1-3, 7"), (std::vector<int>{1, 2, 3, 7}));
    EXPECT_EQ(ParseRegisterList(" 12 "), (std::vector<int>{12}));
    for (const char* bad : {"", "3-1", "1,,2", "a", "1-", "0", "1-2, 2-3", "4, 4"})
        EXPECT_THROW(ParseRegisterList(bad), FleetError) << bad;
}

TEST(FleetJob, DeviceNamesOfOnePortAreOne) {
    EXPECT_EQ(NormalisedDevice("\\\\.\\com12"), "COM12");
    EXPECT_EQ(NormalisedDevice("COM3"), NormalisedDevice("com3"));
    EXPECT_NE(NormalisedDevice("COM3"), NormalisedDevice("COM31"));
}

TEST(FleetAttempt, ReadsCountsClearAndTheErrorFromTheConsole) {
    AttemptReport read = AnalyseConsole(
        "Command: 233 - Financial report read and clear\n\nSending data I/O request...\r     \rRecords read: 0\r"
        "Records read: 64\rRecords read: 65\nClearing data\nCommunication error: Data frame send error\n"
        "Completed with errors\n",
        "");
    EXPECT_EQ(read.records, 65);
    EXPECT_TRUE(read.reachedClear);
    EXPECT_EQ(read.lastLine, "Communication error: Data frame send error");

    AttemptReport sent = AnalyseConsole("Line 3     - empty or bad format\r\nRecords sent: 12\r\nCompleted OK\r\n",
                                        "ECR didn't respond to status request.");
    EXPECT_EQ(sent.records, 12);
    EXPECT_FALSE(sent.reachedClear);
    EXPECT_TRUE(sent.statusUnanswered);
    EXPECT_EQ(sent.lastLine, "Completed OK");
    EXPECT_EQ(RefusedLines("Line 3     - empty or bad format\nLine 9     - record number not unique\n"),
              std::vector<int>{3});
}

TEST(FleetRecords, StateSurvivesARoundTripAndSummariesKeepTheContract) {
    TempDir dir("kvtfleet-unit");
    std::vector<StepRecord> records(3);
    records[0] = {1,
                  1,
                  233,
                  "fin.txt",
                  StepStatus::Completed,
                  1,
                  1,
                  0,
                  65,
                  "ECR_1/1-233/1/fin.txt",
                  "Completed OK",
                  1765190000.25,
                  1765190003.5};
    records[1] = {1, 2, 503, "a,\"b\".txt", StepStatus::ClearUnknown, 1, 1, 1, -1, "", "tab\there", 1, 2};
    records[2] = {2, 1, 233, "fin.txt", StepStatus::Pending, 0, 0, -1, -1, "", "", 0, 0};
    ASSERT_TRUE(SaveState(dir.Path(), records));
    std::vector<StepRecord> loaded = LoadState(dir.Path());
    ASSERT_EQ(loaded.size(), 3u);
    EXPECT_EQ(loaded[1].file, "a,\"b\".txt");
    EXPECT_EQ(loaded[1].status, StepStatus::ClearUnknown);
    EXPECT_EQ(loaded[1].lastLine, "tab here");
    EXPECT_DOUBLE_EQ(loaded[0].start, 1765190000.25);
    EXPECT_EQ(loaded[2].exitCode, -1);

    WriteSummaries(dir.Path(), loaded);
    std::string csv = dir.Read("summary.csv");
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "register,step,command,file,attempts,outcome,exit_code,last_line,records,files,start,duration_s");
    EXPECT_NE(csv.find("1,1,233,fin.txt,1,completed,0,Completed OK,65,ECR_1/1-233/1/fin.txt,"), std::string::npos);
    EXPECT_NE(csv.find("\"a,\"\"b\"\".txt\""), std::string::npos);
    EXPECT_NE(csv.find("2,1,233,fin.txt,0,not run,,,,,,0\r\n"), std::string::npos);
    std::string json = dir.Read("summary.json");
    EXPECT_NE(json.find("\"exit_code\": null"), std::string::npos);
    EXPECT_NE(json.find("\"duration_s\": 3.2"), std::string::npos);
    EXPECT_NE(json.find("\"file\": \"a,\\\"b\\\".txt\""), std::string::npos);

    EXPECT_EQ(JobExitCode(loaded), 1);
    loaded.resize(1);
    EXPECT_EQ(JobExitCode(loaded), 0);
    loaded[0].status = StepStatus::DataErrors;
    EXPECT_EQ(JobExitCode(loaded), 2);
    dir.Write("state.txt", "# kvtfleet state 1\n1\t2\n");
    EXPECT_THROW(LoadState(dir.Path()), FleetError);
}

TEST(FleetVerify, ComparesTheRecordsTheSendSentWithTheReadBack) {
    TempDir dir("kvtfleet-unit");
    // Unsorted, a line the driver refused (here for its name length) and a
    // duplicate whose later line counts.
    std::string sent = dir.Write("sent.txt",
                                 "20,5,\"B\",0,0,1\r\n10,7,\"A long name the ECR refused\",0,0,1\r\n"
                                 "10,7,\"A\",0,0,1\r\n20,6,\"B\",0,0,1\r\n");
    VerifyInput input;
    input.send = DescribeCommand(200);
    input.sentFile = sent;
    input.sentConsole =
        "Line 2     - empty or bad format\nLine 1     - record number not unique\nCompleted with errors\n";
    input.delimiter = ",";
    input.replacesTable = true;
    input.workDir = dir.Path();
    input.readFile = dir.Write("back.txt", "10,7,\"A\",0,0,1\r\n20,6,\"B\",0,0,1\r\n");
    VerifyResult same = VerifySend(input);
    EXPECT_TRUE(same.matched) << same.Summary();
    EXPECT_EQ(same.Summary(), "verified 2 records");

    input.readFile = dir.Write("back.txt", "10,7,\"A\",0,0,1\r\n20,5,\"B\",0,0,1\r\n30,1,\"C\",0,0,1\r\n");
    VerifyResult differ = VerifySend(input);
    EXPECT_FALSE(differ.matched);
    EXPECT_EQ(differ.differenceCount, 2);
    EXPECT_NE(differ.Summary().find("record 20 sent [20,6,\"B\",0,0,1] register has [20,5,\"B\",0,0,1]"),
              std::string::npos)
        << differ.Summary();
    EXPECT_NE(differ.differences.at(1).find("record 30 on the register was not sent"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.PathOf("verify-sent.tmp")));
}

// kvtfleet killed while its drivers ran: resume decides each attempt it
// never saw end from what the attempt left, so no clear is sent twice.
TEST(FleetRecords, AttemptsAKilledRunNeverSawEndAreDecidedFromTheirFolders) {
    TempDir dir("kvtfleet-unit");
    dir.Write("KVT5100.ini", "[Common]\nCodePage = RIM\n[ECR_1]\nComNumber = 1\n");
    Job job = ParseJob(
        "[Job]\nRegisters = 1\nArchive = a\n[Steps]\n1 = 233 fin.txt\n2 = 207 t.txt\n"
        "3 = 200 p.txt\n4 = 232 x.txt\n",
        dir.PathOf("job.ini"));
    ValidateJob(job, DriverIni(dir.PathOf("KVT5100.ini")), false);
    std::vector<StepRecord> records(4);
    const char* consoles[] = {"Records read: 65\nClearing data\n", "Records read: 3\nCompleted OK\n",
                              "Records sent: 2\r", "Records read: 65\nCompleted OK\n"};
    for (int i = 0; i < 4; ++i) {
        records[i].registerNumber = 1;
        records[i].step = i + 1;
        records[i].attempts = 1;
        records[i].lastAttempt = 1;
        std::string attempt = StepFolder(dir.Path(), 1, job.steps[i]) + "/1";
        std::filesystem::create_directories(attempt);
        std::ofstream(attempt + "/console.txt") << consoles[i];
    }
    // The fourth attempt ended while kvtfleet still ran: its exit code is known.
    std::ofstream(StepFolder(dir.Path(), 1, job.steps[3]) + "/1/exit_code") << "0\n";
    ReconcileInterruptedAttempts(job, dir.Path(), records);
    EXPECT_EQ(records[0].status, StepStatus::ClearUnknown);
    EXPECT_EQ(records[1].status, StepStatus::Completed);
    EXPECT_EQ(records[1].dataFile, "ECR_1/2-207/1/t.txt");
    EXPECT_EQ(records[2].status, StepStatus::Failed);
    EXPECT_EQ(records[3].status, StepStatus::Pending);
    EXPECT_TRUE(std::filesystem::exists(StepFolder(dir.Path(), 1, job.steps[0]) + "/1/exit_code"));
}
