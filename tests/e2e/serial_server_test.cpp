// The driver reaching the simulated register through serial device servers
// this project did not write, all on loopback: ser2net (RFC 2217 and raw
// TCP) and pyserial's RFC 2217 port manager with modem lines. What goes
// over the network must give what the local line gives.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/Harness.h"
#include "support/NetPeers.h"

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Three PLU records; the second name holds the byte 0xFF, the telnet IAC.
const char PluTable[] =
    "10,100,\"Bread\",1,1,1\r\n"
    "20,250,\"Caf\xFF\",2,1,1\r\n"
    "30,1999,\"Milk 1l\",1,5,2\r\n";

struct Outcome {
    int exitCode = -1;
    std::string console;
    std::string file;        // the run's output file ("" for none)
    std::string statistics;  // the I/O statistics line of the standard log
};

Outcome RunOn(DriverSandbox& box, const std::string& device, const std::vector<std::string>& args,
              const std::string& outputFile = "", const std::string& extraEcr = "") {
    box.WriteIni(TestIni(device, extraEcr));
    box.WriteFile("KVT5100.log", "");
    if (!outputFile.empty()) box.WriteFile(outputFile, "");
    RunResult run = box.Run(args);
    Outcome outcome{run.exitCode, run.output, outputFile.empty() ? "" : box.ReadFile(outputFile), ""};
    std::smatch match;
    std::string log = box.ReadFile("KVT5100.log");
    if (std::regex_search(log, match, std::regex("I/O statistics : [^\r\n]*"))) outcome.statistics = match.str();
    return outcome;
}

void ExpectSame(const Outcome& local, const Outcome& network) {
    EXPECT_EQ(network.exitCode, local.exitCode);
    EXPECT_EQ(network.console, local.console);
    EXPECT_EQ(network.file, local.file);
    EXPECT_EQ(network.statistics, local.statistics);
}

}  // namespace

TEST(Ser2netE2E, PluTableSendAndReadOverRfc2217AndRawTcp) {
    DriverSandbox box;
    Simulator ecr(box.Dir());
    box.WriteFile("plu.txt", PluTable);
    const std::vector<std::string> send{"/K1", "200", "plu.txt"}, read{"/K1", "207", "table.txt"};
    Outcome localSend = RunOn(box, ecr.LinkPath(), send);
    Outcome localRead = RunOn(box, ecr.LinkPath(), read, "table.txt");
    ASSERT_EQ(localRead.exitCode, 0) << localRead.console;
    ASSERT_TRUE(Has(localRead.file, "Caf\xFF")) << localRead.file;

    for (bool rfc2217 : {true, false}) {
        Ser2net server(box.Dir(), ecr.LinkPath(), rfc2217);
        SCOPED_TRACE(server.Url());
        ExpectSame(localSend, RunOn(box, server.Url(), send));
        ExpectSame(localRead, RunOn(box, server.Url(), read, "table.txt"));
    }
    // The trace shows the serial bytes, 0xFF single; the negotiation has its own entries.
    std::string debug = box.ReadFile("dbgerror.log");
    EXPECT_TRUE(Has(debug, " 43 61 66 ff ")) << "0xFF traced once";
    EXPECT_FALSE(Has(debug, " ff ff "));
    EXPECT_TRUE(Has(debug, "Telnet to server: WILL COM-PORT-OPTION"));
    EXPECT_TRUE(Has(debug, "RFC 2217 to server: SET-BAUDRATE 19200"));
    EXPECT_TRUE(Has(debug, "Telnet from server: DO COM-PORT-OPTION"));
    EXPECT_TRUE(Has(debug, "(raw TCP)"));
}

TEST(Ser2netE2E, ReportReadAndLinkFaultsGiveWhatTheLocalLineGives) {
    struct Case {
        std::vector<std::string> faults;
        std::vector<std::string> args;
        std::string file;
    };
    const Case cases[] = {
        {{}, {"/K1", "233", "financial.txt"}, "financial.txt"},
        {{"--fault", "nak@data#1"}, {"/K1", "200", "plu.txt"}, ""},
        {{"--fault", "silent@read#2"}, {"/K1", "217", "dep.txt"}, "dep.txt"},
        // The register drops its line half-way through a frame; on the network
        // that is the server going away, which ends the connection.
        {{"--fault", "drop@read#1"}, {"/K1", "217", "dep.txt"}, "dep.txt"},
    };
    for (const Case& c : cases) {
        const bool drop = !c.faults.empty() && c.faults[1].rfind("drop", 0) == 0;
        // Room for the server to be stopped long before a read could time out.
        const std::string ini = drop ? "LocalEcrCommMaxTime = 20000\r\n" : "";
        SCOPED_TRACE(c.args[1] + (c.faults.empty() ? "" : " " + c.faults[1]));
        // Each side gets a register of its own, in the same state.
        DriverSandbox localBox, networkBox;
        localBox.WriteFile("plu.txt", PluTable);
        networkBox.WriteFile("plu.txt", PluTable);
        Simulator localEcr(localBox.Dir(), c.faults);
        Outcome local = RunOn(localBox, localEcr.LinkPath(), c.args, c.file, ini);
        Simulator networkEcr(networkBox.Dir(), c.faults);
        Ser2net server(networkBox.Dir(), networkEcr.LinkPath(), true);
        std::thread stopper([&] {
            for (int i = 0; drop && i < 3000 && !Has(networkEcr.Log(), "NOTE line dropped"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (drop) server.Stop();
        });
        Outcome network = RunOn(networkBox, server.Url(), c.args, c.file, ini);
        stopper.join();
        ExpectSame(local, network);
        if (drop) {
            EXPECT_TRUE(Has(networkBox.ReadFile("dbgerror.log"), "Serial device server closed the connection"));
        }
    }
}

TEST(NetworkAddressE2E, UnreachableServersAndAModemOnRawTcp) {
    DriverSandbox box;
    // A label over 63 characters: the C library refuses the name without asking any resolver.
    const std::string unknownHost(70, 'h');
    const int closedPort = FreeLoopbackPort();
    struct Case {
        std::string device;
        std::string extraEcr;
        std::string console;
        std::string debug;
    };
    const Case cases[] = {
        {"rfc2217://" + unknownHost + ":4000", "", "System error: Unable to open serial port\n",
         "Cannot connect to serial device server " + unknownHost + " port 4000: host not found"},
        {"socket://127.0.0.1:" + std::to_string(closedPort), "", "System error: Unable to open serial port\n",
         "Cannot connect to serial device server 127.0.0.1 port " + std::to_string(closedPort) +
             ": Connection refused"},
        {"socket://[::1]:" + std::to_string(closedPort), "ModemDialNumber = 5551234\r\n",
         "A modem cannot be used on socket://[::1]:" + std::to_string(closedPort), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        box.WriteIni(TestIni(c.device, c.extraEcr));
        RunResult run = box.Run({"/K1", "80"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(Has(run.output, c.console)) << run.output;
        std::string debug = box.ReadFile("dbgerror.log");
        if (!c.debug.empty()) {
            EXPECT_TRUE(Has(debug, c.debug)) << debug;
        } else {  // refused before connecting, let alone dialling
            EXPECT_FALSE(Has(run.output, "Connecting...")) << run.output;
            EXPECT_FALSE(Has(debug, "serial device server ::1")) << debug;
        }
    }
    EXPECT_TRUE(std::regex_search(box.ReadFile("KVT5100.log"),
                                  std::regex("Unable to open serial port \\(system error code : [1-9][0-9]*\\)")));
}

TEST(PyserialPortManagerE2E, ModemDialogueOverRfc2217) {
    const std::string modem =
        "ModemDialNumber = 5551234\r\nModemConnectMaxTime = 3000\r\nModemFastReplyWaitTime = 20\r\n"
        "ModemReplyMaxByteInterval = 20\r\nModemDisconnectTime = 20\r\n";
    {  // Carrier rises with CONNECT: the exchange runs and DTR is dropped at the hang-up.
        DriverSandbox box;
        Simulator ecr(box.Dir(), {"--modem", "connect"});
        ModemPortServer server(box.Dir(), ecr.LinkPath(), false);
        box.WriteIni(TestIni(server.Url(), modem));
        RunResult run = box.Run({"/K1", "80"});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(Has(run.output, "\rConnected: CONNECT 9600\n\n")) << run.output;
        EXPECT_TRUE(Has(ecr.Log(), "IN  41 54 44 54 35 35 35 31 32 33 34 0d")) << ecr.Log();
        EXPECT_TRUE(Has(ecr.Log(), "IN  02 50 41 45 03")) << "the ECR's clear command";
        EXPECT_TRUE(Has(box.ReadFile("KVT5100.log"), "I/O statistics : OUT frames = 4, IN frames = 4"));
        EXPECT_EQ(server.DtrLog(), "DTR on\nDTR off\n");
    }
    {  // Carrier on from the start is lost with NO CARRIER: the driver sees the loss.
        DriverSandbox box;
        Simulator ecr(box.Dir(), {"--modem", "nocarrier"});
        ModemPortServer server(box.Dir(), ecr.LinkPath(), true);
        box.WriteIni(TestIni(server.Url(), modem) + "[ModemDialReplyTranslation]\r\nNO CARRIER = 6\r\n");
        RunResult run = box.Run({"/K1", "80"});
        EXPECT_EQ(run.exitCode, 6) << run.output;
        EXPECT_TRUE(Has(run.output, "Connection failure: NO CARRIER\n")) << run.output;
        EXPECT_EQ(server.DtrLog(), "DTR on\n") << "no hang-up without a connection";
    }
}

TEST(NetworkAddressE2E, ServerRefusingTheComPortOptionFailsTheOpen) {
    // Says nothing until the driver's WILL COM-PORT-OPTION has come, then refuses it.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    listen(listener, 1);
    std::string received;
    std::thread server([&] {
        int peer = accept(listener, nullptr, nullptr);
        if (peer < 0) return;
        const std::string will("\xFF\xFB\x2C");
        char chunk[256];
        long n = 0;
        while (received.find(will) == std::string::npos && (n = recv(peer, chunk, sizeof chunk, 0)) > 0)
            received.append(chunk, static_cast<size_t>(n));
        send(peer, "\xFF\xFE\x2C", 3, MSG_NOSIGNAL);  // DONT COM-PORT-OPTION
        while ((n = recv(peer, chunk, sizeof chunk, 0)) > 0) received.append(chunk, static_cast<size_t>(n));
        close(peer);
    });
    DriverSandbox box;
    box.WriteIni(TestIni("rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port))));
    RunResult run = box.Run({"/K1", "80"});
    server.join();
    close(listener);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Has(run.output, "System error: SetCommState failed\n")) << run.output;
    EXPECT_FALSE(Has(received, "\x02\x83")) << "no frame reached the server";
    EXPECT_TRUE(Has(box.ReadFile("dbgerror.log"), "refuses the COM-PORT-OPTION")) << box.ReadFile("dbgerror.log");
}
