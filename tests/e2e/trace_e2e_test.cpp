// The trace tools on a real recording: the driver against the simulated
// register with a NAK and a garbled frame, then kvttrace decode and pcap
// (read back by tshark through the project's dissector), then the same
// driver build against ecrsim --replay of that log.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/Harness.h"
#include "support/peers/ChildProcess.h"

namespace {

// Runs a shell command with its standard output to `outPath`; its exit code.
int Shell(const std::string& command, const std::string& outPath) {
    int status = std::system((command + " >'" + outPath + "' 2>'" + outPath + ".err'").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

std::string StatisticsLine(const std::string& log) {
    for (const std::string& line : Lines(log))
        if (line.find("I/O statistics") != std::string::npos) return line.substr(line.find("I/O"));
    return "";
}

struct Recorded {
    RunResult send, read;
    std::string table, standardLog;
};

Recorded RunSendAndRead(const DriverSandbox& sandbox, const std::vector<std::string>& simulatorOptions,
                        std::string* simulatorLog = nullptr) {
    Recorded result;
    sandbox.WriteFile("plu.txt", ReadWholeFile(TEST_DATA_DIR "/demo/plu.txt"));
    Simulator simulator(sandbox.Dir(), simulatorOptions);
    sandbox.WriteIni(TestIni(simulator.LinkPath()));
    result.send = sandbox.Run({"200", "plu.txt"});
    result.read = sandbox.Run({"207", "table.txt"});
    simulator.Stop();
    if (simulatorLog) *simulatorLog = simulator.Log();
    result.table = sandbox.ReadFile("table.txt");
    result.standardLog = sandbox.ReadFile("KVT5100.log");
    return result;
}

}  // namespace

TEST(TraceTools, RecordedRunDecodesGoesThroughTsharkAndReplaysToTheSameResult) {
    DriverSandbox recording;
    Recorded original = RunSendAndRead(recording, {"--fault", "nak@data#1", "--fault", "badsum@read#0"});
    ASSERT_EQ(original.send.exitCode, 0) << original.send.output;
    ASSERT_EQ(original.read.exitCode, 0) << original.read.output;
    const std::string log = recording.PathOf("dbgerror.log");
    const std::string tool = std::string(KVTTRACE_PATH) + " ";

    // Decode: both runs, the NAK and its retry, the garbled frame and its resend.
    std::string decoded = recording.PathOf("decoded.txt");
    ASSERT_EQ(Shell(tool + "decode '" + log + "'", decoded), 0) << ReadWholeFile(decoded + ".err");
    std::string text = ReadWholeFile(decoded);
    for (const char* expected :
         {"=== Run 1", "run: ", "command 0x51 PLU table send (200), checksum AD ok", "PC<-ECR NAK", "[retry 1]",
          "end of data, block checksum 57 matches the frames", "=== Run 2", "command 0x53 PLU table read (207)",
          "checksum AF WRONG (should be F5)", "outcome: Completed OK",
          "statistics: I/O statistics : OUT frames = 18, IN frames = 18, NAK = 1"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

    std::string json = recording.PathOf("decoded.json");
    ASSERT_EQ(Shell(tool + "decode --json --run 1 '" + log + "'", json), 0);
    size_t naks = 0;
    for (const std::string& line : Lines(ReadWholeFile(json)))
        if (line.find("\"kind\":\"nak\"") != std::string::npos) ++naks;
    EXPECT_EQ(naks, 1u);

    // pcapng: one run at a time; the dissector names the fields.
    std::string listed = recording.PathOf("listed.txt");
    EXPECT_EQ(Shell(tool + "pcap '" + log + "' -o " + recording.PathOf("all.pcapng"), listed), 1);
    EXPECT_NE(ReadWholeFile(listed + ".err").find("run 2 (line"), std::string::npos);
    for (int run : {1, 2}) {
        std::string pcap = recording.PathOf("run" + std::to_string(run) + ".pcapng");
        ASSERT_EQ(Shell(tool + "pcap --run " + std::to_string(run) + " '" + log + "' -o '" + pcap + "'",
                        recording.PathOf("pcap.txt")),
                  0);
    }
    if (!HaveTshark()) {
        ADD_FAILURE() << "tshark is missing: scripts/ensure-tools.sh installs it";
    } else {
        std::string fields = recording.PathOf("fields.txt");
        const std::string tshark = "tshark -X lua_script:" KVT_SOURCE_DIR
                                   "/contrib/wireshark/kvt5100.lua -T fields "
                                   "-E separator=, -e kvt5100.direction -e kvt5100.type -e kvt5100.command "
                                   "-e kvt5100.checksum.good -e kvt5100.block_checksum.good -e kvt5100.retry -r ";
        ASSERT_EQ(Shell(tshark + recording.PathOf("run1.pcapng"), fields), 0) << ReadWholeFile(fields + ".err");
        std::vector<std::string> send = Lines(ReadWholeFile(fields));
        ASSERT_EQ(send.size(), 36u) << ReadWholeFile(fields);
        EXPECT_EQ(send[0], "PC->ECR,1,0x83,1,,");  // status request
        EXPECT_EQ(send[6], "PC->ECR,1,0x51,1,,");  // PLU table send
        EXPECT_EQ(send[10], "PC->ECR,2,,1,,");     // the second record
        EXPECT_EQ(send[11], "PC<-ECR,5,,,,");      // its NAK
        EXPECT_EQ(send[12], "PC->ECR,2,,1,,1");    // the same frame again
        EXPECT_EQ(send[34], "PC->ECR,3,,,1,");     // end of data, block checksum matches
        ASSERT_EQ(Shell(tshark + recording.PathOf("run2.pcapng"), fields), 0);
        std::vector<std::string> read = Lines(ReadWholeFile(fields));
        ASSERT_GE(read.size(), 10u);
        EXPECT_EQ(read[8], "PC<-ECR,2,,0,,");  // the garbled frame
        EXPECT_EQ(read[9], "PC<-ECR,2,,1,,");  // and its resending
        EXPECT_EQ(read.back(), "PC->ECR,4,,,,");
    }

    // Replay: the same driver build against the recording gives the same results.
    DriverSandbox replaying;
    std::string simulatorLog;
    Recorded replayed = RunSendAndRead(replaying, {"--replay", log}, &simulatorLog);
    EXPECT_EQ(replayed.send.exitCode, original.send.exitCode);
    EXPECT_EQ(replayed.send.output, original.send.output);
    EXPECT_EQ(replayed.read.exitCode, original.read.exitCode);
    EXPECT_EQ(replayed.read.output, original.read.output);
    EXPECT_EQ(replayed.table, original.table);
    EXPECT_EQ(StatisticsLine(replayed.standardLog), StatisticsLine(original.standardLog));
    EXPECT_NE(simulatorLog.find("NOTE replay complete"), std::string::npos) << simulatorLog;
}

TEST(TraceTools, ReplayNamesTheFrameWhereTheDriverDiffersFromTheRecording) {
    DriverSandbox recording;
    Recorded original = RunSendAndRead(recording, {});
    ASSERT_EQ(original.send.exitCode, 0);

    DriverSandbox changed;
    changed.WriteFile("plu.txt", ReadWholeFile(TEST_DATA_DIR "/demo/plu.txt"));
    std::string plu = ReadWholeFile(TEST_DATA_DIR "/demo/plu.txt");
    plu.replace(plu.find("Kefir"), 5, "Kafir");
    Simulator simulator(changed.Dir(), {"--replay", recording.PathOf("dbgerror.log")});
    changed.WriteIni(TestIni(simulator.LinkPath()));
    changed.WriteFile("plu.txt", plu);
    RunResult send = changed.Run({"200", "plu.txt"});
    EXPECT_NE(send.exitCode, 0);  // the recording answers no more
    simulator.Stop();
    std::string log = simulator.Log();
    EXPECT_NE(log.find("NOTE replay: frame 6 of the driver (run 1, log line "), std::string::npos) << log;
    EXPECT_NE(log.find("differs: byte 26 is 61, the recording has 65"), std::string::npos) << log;
}
