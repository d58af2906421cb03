// The modem dialogue through the real link and serial port, with a scripted
// modem in place of the serial device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comport/ComPort.h"
#include "config/Config.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "modem/Modem.h"
#include "serial/SerialDevice.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// What the scripted modem does once the dial command (ending in CR) arrives.
struct ModemScript {
    bool echo = true;
    int answerDelayMs = 0;
    std::string answer;  // bytes sent after the delay ("" sends nothing)
    bool carrierWithAnswer = false;
    bool flood = false;  // endless garbage after the dial command
};

struct ModemState {
    ModemScript script;
    std::string written;
    std::deque<std::pair<int64_t, std::string>> scheduled;  // due time, bytes
    std::string pending;
    int64_t carrierAt = -1;
    bool flooding = false;
    int dtrDrops = 0;
};

// A Hayes-style modem on the far side of the serial device, reading under the
// serial time-out rules.
class ScriptedModem : public serial::SerialDevice {
public:
    explicit ScriptedModem(std::shared_ptr<ModemState> state) : state(std::move(state)) {}

    bool Open(const std::string&) override { return open = true; }
    bool Apply(const serial::SerialSettings&) override { return true; }
    bool SetQueueSizes(uint32_t, uint32_t) override { return true; }
    bool SetTimeouts(const serial::SerialTimeouts& value) override {
        timeouts = value;
        return true;
    }
    bool GetTimeouts(serial::SerialTimeouts& value) override {
        value = timeouts;
        return true;
    }
    bool Write(const uint8_t* buffer, size_t count, size_t& written) override {
        std::string bytes(reinterpret_cast<const char*>(buffer), count);
        state->written += bytes;
        if (bytes.find('\r') != std::string::npos) Answer();
        written = count;
        return true;
    }
    bool Read(uint8_t* buffer, size_t size, size_t& received) override {
        received = 0;
        const bool immediate = timeouts.readIntervalTimeout == serial::TimeoutImmediate &&
                               timeouts.readTotalTimeoutMultiplier == 0 && timeouts.readTotalTimeoutConstant == 0;
        const int64_t start = NowMs();
        const uint64_t total = size * uint64_t(timeouts.readTotalTimeoutMultiplier) + timeouts.readTotalTimeoutConstant;
        int64_t lastByte = -1;
        while (true) {
            Deliver();
            while (received < size && !state->pending.empty()) {
                buffer[received++] = static_cast<uint8_t>(state->pending.front());
                state->pending.erase(0, 1);
                lastByte = NowMs();
            }
            if (received == size || immediate) return true;
            const int64_t now = NowMs();
            if (total != 0 && now - start >= int64_t(total)) return true;
            if (lastByte >= 0 && timeouts.readIntervalTimeout != 0 &&
                now - lastByte > int64_t(timeouts.readIntervalTimeout))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    bool GetModemStatus(uint32_t& status) override {
        status = (state->carrierAt >= 0 && NowMs() >= state->carrierAt) ? serial::ModemStatusCarrier : 0;
        return true;
    }
    bool ClearDtr() override {
        ++state->dtrDrops;
        return true;
    }
    bool Flush() override { return true; }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }

private:
    void Answer() {
        const ModemScript& script = state->script;
        const int64_t now = NowMs();
        if (script.echo) state->scheduled.emplace_back(now, state->written.substr(0, state->written.find('\r') + 1));
        if (!script.answer.empty()) state->scheduled.emplace_back(now + script.answerDelayMs, script.answer);
        if (script.carrierWithAnswer) state->carrierAt = now + script.answerDelayMs;
        state->flooding = script.flood;
    }
    void Deliver() {
        while (!state->scheduled.empty() && state->scheduled.front().first <= NowMs()) {
            state->pending += state->scheduled.front().second;
            state->scheduled.pop_front();
        }
        // Line noise: NULs, INI syntax and 8-bit bytes, more than any reply buffer holds.
        static const std::string noise("\0=[x];\xff\r\nZ", 10);
        if (state->flooding)
            while (state->pending.size() < 1024) state->pending += noise;
    }

    std::shared_ptr<ModemState> state;
    serial::SerialTimeouts timeouts;
    bool open = false;
};

struct Outcome {
    bool connected = false;
    std::string message;  // of the ModemException
    int exitCode = 0;
    std::string console;
};

class ModemConnect : public ::testing::Test {
protected:
    void SetUp() override {
        StandardLogFile().Open(dir.PathOf("KVT5100.log"));
        DebugLogFile().Open(dir.PathOf("dbgerror.log"));
        TheModem() = Modem();
        TracePeerName = "ECR";
        state = std::make_shared<ModemState>();
    }
    void TearDown() override {
        TheComPort().Close();
        StandardLogFile().Close(true);
        DebugLogFile().Close(true);
        TheModem() = Modem();
        TracePeerName = "ECR";
    }

    // The ECR section with a modem and small timings; `extraEcr` lines override them.
    void UseIni(const std::string& extraEcr, const std::string& extraSections = "") {
        const std::string path = dir.PathOf("KVT5100.ini");
        std::ofstream(path, std::ios::binary)
            << "[Common]\r\nDbgErrorLog = 3\r\n\r\n[ECR_1]\r\n"
            << extraEcr  // first, so that it wins over the lines below
            << "\r\nComNumber = 1\r\nComDevice = /dev/null\r\n"
               "ModemDialNumber = 5551234\r\nModemConnectMaxTime = 5000\r\nModemDisconnectTime = 10\r\n"
               "ModemFastReplyWaitTime = 30\r\nModemReplyMaxByteInterval = 20\r\n"
               "GarbageMaxByteInterval = 5\r\nSleepBetweenCommands = 5\r\n\r\n"
            << extraSections;
        TheConfig().SetFile(path, true);
        TheConfig().SetSection("ECR_1", true);
    }

    // Opens the link (which dials) over the scripted modem.
    Outcome Dial(const ModemScript& script) {
        state->script = script;
        TheComPort().UseDevice(std::make_unique<ScriptedModem>(state));
        Outcome outcome;
        testing::internal::CaptureStdout();
        try {
            TheEcrComm().Open();
            outcome.connected = true;
        } catch (const ModemException& error) {
            outcome.message = error.GetMessage();
            outcome.exitCode = error.GetExitCode();
        }
        outcome.console = testing::internal::GetCapturedStdout();
        return outcome;
    }

    TempDir dir{"kvt-modem"};
    std::shared_ptr<ModemState> state;
};

TEST_F(ModemConnect, DialCommandFollowsThePreferencesSection) {
    UseIni("");
    ModemScript busy{true, 0, "\r\nBUSY\r\n", false, false};
    Outcome plain = Dial(busy);
    EXPECT_EQ(state->written, "ATDT5551234\r");
    EXPECT_EQ(plain.exitCode, 3);
    TheComPort().Close();

    state = std::make_shared<ModemState>();
    UseIni("ModemPreferences = X",
           "[ModemPreferences_X]\r\nDialString = ATDP\r\nDialReplyTranslation = Y\r\n"
           "[ModemDialReplyTranslation]\r\nBUSY = 7\r\n"
           "[ModemDialReplyTranslation_Y]\r\nBUSY = 9\r\n");
    Outcome chosen = Dial(busy);
    EXPECT_EQ(state->written, "ATDP5551234\r");
    EXPECT_EQ(TheModem().PreferencesSection, "ModemPreferences_X");
    EXPECT_EQ(TheModem().ReplyTranslationSection, "ModemDialReplyTranslation_Y");
    EXPECT_EQ(chosen.message, "Connection failure: BUSY");
    EXPECT_EQ(chosen.exitCode, 9);
    // The ECR section is current again for the rest of the run.
    EXPECT_EQ(TheConfig().GetSection(), "ECR_1");
}

TEST_F(ModemConnect, ConnectsAfterEchoAndLateAnswerThenHangsUpOnce) {
    UseIni("");
    Outcome outcome = Dial({true, 300, "\r\nCONNECT 9600\r\n", true, false});
    ASSERT_TRUE(outcome.connected) << outcome.message;
    EXPECT_EQ(outcome.console, "Connecting...\rConnected: CONNECT 9600\n\n");
    EXPECT_TRUE(TheModem().Connected);
    EXPECT_EQ(TracePeerName, "ECR");
    EXPECT_NE(dir.Read("KVT5100.log").find("Connected: CONNECT 9600"), std::string::npos);
    const std::string debug = dir.Read("dbgerror.log");
    EXPECT_NE(debug.find("Modem dial string: ATDT5551234"), std::string::npos);
    EXPECT_NE(debug.find("PC->MDM"), std::string::npos);
    EXPECT_NE(debug.find("Modem reply: CONNECT 9600"), std::string::npos);
    EXPECT_NE(debug.find("Modem is connected"), std::string::npos);

    TheEcrComm().Close();
    EXPECT_EQ(state->dtrDrops, 1);
    EXPECT_FALSE(TheModem().Connected);
    TheModem().Disconnect();
    EXPECT_EQ(state->dtrDrops, 1);
    const std::string afterClose = dir.Read("dbgerror.log");
    const size_t first = afterClose.find("Disconnecting modem");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(afterClose.find("Disconnecting modem", first + 1), std::string::npos);
}

TEST_F(ModemConnect, DisconnectWithoutConnectionLeavesDtrAlone) {
    UseIni("");
    Outcome outcome = Dial({true, 0, "\r\nNO CARRIER\r\n", false, false});
    EXPECT_FALSE(outcome.connected);
    TheModem().Disconnect();
    EXPECT_EQ(state->dtrDrops, 0);
    EXPECT_EQ(dir.Read("dbgerror.log").find("Disconnecting modem"), std::string::npos);
}

TEST_F(ModemConnect, FailureRepliesAndTheirExitCodes) {
    const std::string translations =
        "[ModemDialReplyTranslation]\r\nBUSY = 7\r\nRING  NO CARRIER = 5\r\nNO CARRIER = 6\r\n"
        "NO DIALTONE = 0\r\nERROR = 300\r\n";
    struct Case {
        std::string answer;
        int delayMs;
        bool withTranslations;
        const char* message;
        int exitCode;
    } cases[] = {
        {"\r\nBUSY\r\n", 0, false, "Connection failure: BUSY", 3},
        {"\r\nBUSY\r\n", 0, true, "Connection failure: BUSY", 7},
        {"\r\nRING\r\nNO CARRIER\r\n", 0, true, "Connection failure: RING  NO CARRIER", 5},
        // An answer without a leading line end, after the wait: nothing of it is lost.
        {"NO CARRIER\r\n", 200, true, "Connection failure: NO CARRIER", 6},
        // Codes that would read as success or wrap around fall back to 3.
        {"\r\nNO DIALTONE\r\n", 0, true, "Connection failure: NO DIALTONE", 3},
        {"\r\nERROR\r\n", 0, true, "Connection failure: ERROR", 3},
        // INI syntax in a reply never matches another key.
        {"\r\nBUSY=7\r\n", 0, true, "Connection failure: BUSY=7", 3},
        {"\r\n[ModemDialReplyTranslation]\r\n", 0, true, "Connection failure: [ModemDialReplyTranslation]", 3},
        {std::string("\r\nBU\0SY\r\n", 9), 0, true, "Connection failure: BU SY", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        state = std::make_shared<ModemState>();
        TheModem() = Modem();
        UseIni("", c.withTranslations ? translations : "");
        Outcome outcome = Dial({true, c.delayMs, c.answer, false, false});
        EXPECT_FALSE(outcome.connected);
        EXPECT_EQ(outcome.message, c.message);
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_EQ(outcome.console, "Connecting...\r");
        EXPECT_FALSE(TheModem().Connected);
        EXPECT_EQ(TracePeerName, "MDM");
        TheComPort().Close();
    }
}

TEST_F(ModemConnect, NoAnswerEndsWithConnectionTimeout) {
    for (bool echo : {true, false}) {
        SCOPED_TRACE(echo ? "echo only" : "silent");
        state = std::make_shared<ModemState>();
        UseIni("ModemConnectMaxTime = 200");
        Outcome outcome = Dial({echo, 0, "", false, false});
        EXPECT_FALSE(outcome.connected);
        EXPECT_EQ(outcome.message, "Connection failure: CONNECTION TIMEOUT");
        EXPECT_EQ(outcome.exitCode, 3);
        EXPECT_EQ(outcome.console, "Connecting...\r");
        TheComPort().Close();
    }
}

TEST_F(ModemConnect, FloodOfGarbageIsCutToOneReplyBuffer) {
    UseIni("");
    Outcome outcome = Dial({false, 0, "", false, true});
    EXPECT_FALSE(outcome.connected);
    const std::string prefix = "Connection failure: ";
    ASSERT_EQ(outcome.message.compare(0, prefix.size(), prefix), 0);
    const std::string reply = outcome.message.substr(prefix.size());
    EXPECT_LE(reply.size(), 255u);
    EXPECT_GT(reply.size(), 200u);
    EXPECT_EQ(reply.find('\0'), std::string::npos);
    EXPECT_EQ(reply.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(outcome.exitCode, 3);
}

TEST_F(ModemConnect, TranslateReplyLooksUpOnlyRealKeys) {
    UseIni("", "[ModemDialReplyTranslation]\r\nBUSY = 7\r\nWORD = abc\r\n;QUIET = 8\r\n");
    TheModem().LoadPreferences();
    struct Case {
        std::string reply;
        int exitCode;
    } cases[] = {
        {"BUSY", 7},
        {"busy", 7},
        {"BUSY=7", 3},
        {"BUSY = 7", 3},
        {"WORD", 3},
        {";QUIET", 3},
        {"[ModemDialReplyTranslation]", 3},
        {std::string("BUSY\0X", 6), 3},
        {"", 3},
        {"UNKNOWN", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        EXPECT_EQ(TheModem().TranslateReply(c.reply), c.exitCode);
        EXPECT_EQ(TheConfig().GetSection(), "ECR_1");
    }
}

}  // namespace
