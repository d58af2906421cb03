// The real driver dialling the simulated modem over a pseudo-terminal. A pty
// has no modem lines, so these runs end at the dial dialogue.
#include <gtest/gtest.h>

#include <string>

#include "support/Harness.h"

namespace {

TEST(ModemDial, SilentModemGetsTheDialStringAndTimesOut) {
    DriverSandbox sandbox;
    Simulator ecr(sandbox.Dir(), {"--modem", "silent"});
    sandbox.WriteIni(TestIni(ecr.LinkPath(),
                             "ModemDialNumber = 5551234\r\nModemConnectMaxTime = 300\r\n"
                             "ModemFastReplyWaitTime = 20\r\nModemReplyMaxByteInterval = 20\r\n"));

    RunResult run = sandbox.Run({"/K1", "201", "plu.txt"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.output.find("Connecting...\rConnection failure: CONNECTION TIMEOUT\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Completed with errors"), std::string::npos);

    ecr.Stop();
    // "ATDT5551234" and CR as the modem received them.
    EXPECT_NE(ecr.Log().find("IN  41 54 44 54 35 35 35 31 32 33 34 0d"), std::string::npos) << ecr.Log();
    const std::string standardLog = sandbox.ReadFile("KVT5100.log");
    EXPECT_NE(standardLog.find("Connection failure: CONNECTION TIMEOUT"), std::string::npos);
    const std::string debugLog = sandbox.ReadFile("dbgerror.log");
    EXPECT_NE(debugLog.find("Modem dial string: ATDT5551234"), std::string::npos);
    EXPECT_NE(debugLog.find("PC->MDM"), std::string::npos);
}

TEST(ModemDial, PreferencesChooseThePulseDialString) {
    DriverSandbox sandbox;
    Simulator ecr(sandbox.Dir(), {"--modem", "silent,echo=off"});
    sandbox.WriteIni(TestIni(ecr.LinkPath(),
                             "ModemDialNumber = 5551234\r\nModemConnectMaxTime = 300\r\n"
                             "ModemFastReplyWaitTime = 20\r\nModemPreferences = X\r\n") +
                     "[ModemPreferences_X]\r\nDialString = ATDP\r\n");

    RunResult run = sandbox.Run({"/K1", "201", "plu.txt"});
    EXPECT_EQ(run.exitCode, 3);
    ecr.Stop();
    // "ATDP5551234" and CR.
    EXPECT_NE(ecr.Log().find("IN  41 54 44 50 35 35 35 31 32 33 34 0d"), std::string::npos) << ecr.Log();
}

}  // namespace
