// The ECR link and its serial port over a scripted device.
#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "comport/ComPort.h"
#include "config/Config.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "platform/SystemError.h"
#include "serial/SerialDevices.h"
#include "support/ScriptedSerialDevice.h"
#include "support/TempDir.h"
#include "tools/Stopwatch.h"

namespace {

const Chunk Ack{ACK}, Nak{NAK};

// An ECR data frame: data, checksum digits, closing byte.
Chunk EcrFrame(const std::string& data, bool lowercase = false) {
    unsigned sum = 0;
    for (unsigned char ch : data) sum += ch;
    char digits[3];
    std::snprintf(digits, sizeof digits, lowercase ? "%02x" : "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return ChunkOf(data + digits + "\r");
}

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class EcrLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteIni("");
        DebugLogFile().Open(dir.PathOf("dbgerror.log"));
        Stopwatch::SetFrequencyForTesting(0);
        TheEcrComm() = EcrComm{};
        TheComPort().UseDevice(std::make_unique<ScriptedSerialDevice>(script));
    }
    void TearDown() override {
        TheEcrComm().Close();
        DebugLogFile().Close(true);
    }
    void WriteIni(const std::string& extra) {
        std::ofstream(dir.PathOf("KVT5100.ini"), std::ios::binary)
            << "[ECR_1]\r\nComNumber = 3\r\nGarbageMaxByteInterval = 0\r\n"
               "ComNakSleepTime = 0\r\nComGarbageSleepTime = 0\r\n"
               "SleepBetweenCommands = 0\r\n"
            << extra;
        TheConfig().SetFile(dir.PathOf("KVT5100.ini"), true);
        TheConfig().SetSection("ECR_1", true);
    }
    EcrComm& OpenLink() {
        TheEcrComm().Open();
        TheEcrComm().ReadSettings();
        return TheEcrComm();
    }
    std::string Log() const {
        DebugLogFile().Flush();  // trace lines reach the file in batches
        return dir.Read("dbgerror.log");
    }

    TempDir dir{"ecrcomm-test"};
    std::shared_ptr<SerialScript> script = std::make_shared<SerialScript>();
};

TEST(EcrChecksum, ComputesAndVerifiesUppercaseDigits) {
    EXPECT_EQ(ComputeChecksum(reinterpret_cast<const uint8_t*>("abc"), 3), 0xDA);
    const uint8_t status[] = {STX, 0x83};
    EXPECT_EQ(ComputeChecksum(status, 2), 0x7B);
    EXPECT_TRUE(VerifyChecksum(EcrFrame("abc").data(), 6));
    EXPECT_FALSE(VerifyChecksum(EcrFrame("abc", true).data(), 6));
    EXPECT_THROW(ComputeChecksum(nullptr, 0), InternalErrorException);
    EXPECT_THROW(VerifyChecksum(EcrFrame("").data(), 3), InternalErrorException);
}

TEST_F(EcrLinkTest, OpenConfiguresThePortAndCloseReleasesIt) {
    WriteIni("ComSettings = BAUD=9600\r\n");
    OpenLink();
    EXPECT_EQ(script->openedPath, serial::SerialPortName(3));
    EXPECT_EQ(script->applied.front().baudRate, 9600u);
    EXPECT_EQ(script->applied.front().stopBits, serial::StopBits::Two);
    EXPECT_EQ(script->applied.back().eofChar, '\r');
    const serial::SerialTimeouts& t = script->timeouts;
    EXPECT_EQ(t.readIntervalTimeout, 114u);
    EXPECT_EQ(t.readTotalTimeoutMultiplier, 114u);
    EXPECT_EQ(t.readTotalTimeoutConstant, 1500u);
    EXPECT_EQ(t.writeTotalTimeoutConstant, 1000u);
    TheEcrComm().Close();
    EXPECT_EQ(script->applied.back().eofChar, 0);
    EXPECT_FALSE(script->open);
    EXPECT_EQ(Occurrences(Log(), "Closing serial port"), 1);
    TheEcrComm().Close();  // a second close does nothing
    EXPECT_EQ(Occurrences(Log(), "Closing serial port"), 1);

    // Negative times count as 0 rather than wrapping round to huge time-outs.
    WriteIni("LocalEcrCommMaxTime = -100\r\nComWTTC = -5\r\n");
    OpenLink();
    EXPECT_EQ(script->timeouts.readTotalTimeoutConstant, 1400u);
    EXPECT_EQ(script->timeouts.writeTotalTimeoutConstant, 0u);
    TheEcrComm().Close();

    struct Case {
        std::string ini;
        int openError, applyError;
        std::string log;
    };
    const std::string invalid = std::to_string(platform::ErrorInvalidParameter);
    for (const Case& c :
         {Case{"", ENOENT, 0, "Unable to open serial port (system error code : 2)"},
          Case{"", 0, EINVAL, "SetCommState failed (system error code : 22)"},
          Case{"ComSettings = baud=fast\r\n", 0, 0,
               "Unable to decode serial port configuration string (system error code : " + invalid + ")"}}) {
        WriteIni("ComDevice = /dev/ttyUSB7\r\n" + c.ini);
        script->openError = c.openError;
        script->applyError = c.applyError;
        try {
            TheEcrComm().Open();
            ADD_FAILURE() << c.log;
        } catch (const SystemErrorException& e) {
            EXPECT_EQ(e.GetLogText(), c.log);
        }
        EXPECT_EQ(script->openedPath, "/dev/ttyUSB7");
        EXPECT_FALSE(script->open) << "left open after: " << c.log;
    }
}

TEST_F(EcrLinkTest, SendsCommandDataAndEndFrames) {
    EcrComm& link = OpenLink();
    for (int i = 0; i < 7; ++i) script->Reply(Ack);
    link.SendCommand(0x83);
    link.SendCommand(0x51);
    link.SendDataFrame("abc", 3);
    link.SendDataFrame("abc", 3);
    link.SendDataFrame("", 0);
    link.SendEndFrame();
    std::string data122(122, 'x');
    link.SendDataFrame(data122.data(), 122);
    const std::vector<Chunk> expected{{0x02, 0x83, 0x37, 0x42, 0x03},
                                      {0x02, 0x51, 0x41, 0x44, 0x03},
                                      ChunkOf("abcDA\r"),
                                      ChunkOf("abcDA\r"),
                                      ChunkOf("00\r"),
                                      ChunkOf("B4\x1a"),
                                      EcrFrame(data122)};
    EXPECT_EQ(script->writes, expected);
    EXPECT_THROW(link.SendDataFrame(std::string(123, 'x').data(), 123), InternalErrorException);
    EXPECT_EQ(link.stats.outFrames, 7);
    EXPECT_EQ(link.stats.inFrames, 7);
}

TEST_F(EcrLinkTest, SendRetriesNakAndGarbageButNotAMissingReply) {
    EcrComm& link = OpenLink();
    for (int i = 0; i < 6; ++i) script->Reply(Nak);
    EXPECT_THROW(link.SendCommand(0x80), CommunicationException);
    EXPECT_EQ(script->writes.size(), 6u);
    EXPECT_EQ(link.stats.nakCount, 6);
    EXPECT_EQ(Occurrences(Log(), "NAK received"), 6);

    script->Reply(Chunk{'?'});
    script->Reply(Ack);
    link.SendCommand(0x80);
    EXPECT_EQ(link.stats.garbageCount, 1);

    // No reply, a zero reply or a short write: one lost line each, no retry.
    script->writes.clear();
    script->Silence();
    script->Reply(Chunk{0x00});
    for (int i = 0; i < 3; ++i) {
        if (i == 2) script->writeLimit = 2;
        try {
            link.SendCommand(0x80);
            ADD_FAILURE();
        } catch (const CommunicationException& e) {
            EXPECT_EQ(e.GetLogText(), "Data frame send error");
        }
    }
    EXPECT_EQ(script->writes.size(), 3u);
    EXPECT_EQ(Occurrences(Log(), "ECR response lost"), 3);
    EXPECT_EQ(link.stats.lostCount, 2);  // the zero reply arrived, so it is not counted lost
    link.LogStatistics(LogDebug);
    EXPECT_NE(Log().find("I/O statistics : OUT frames = 10, IN frames = 9, NAK = 6, LOST = 2, GARB = 1"),
              std::string::npos);
}

TEST_F(EcrLinkTest, ReadsFramesAndDropsGarbage) {
    EcrComm& link = OpenLink();
    char data[130];
    // A bad fixed frame then its good repetition; only the good one counts in.
    script->Stray(ChunkOf("abcd00\r"));
    script->Stray(EcrFrame("abcd"));
    EXPECT_TRUE(link.ReadFrame(data, 10, 7));
    EXPECT_STREQ(data, "abcd");
    EXPECT_EQ(link.stats.garbageCount, 1);
    EXPECT_EQ(link.stats.inFrames, 1);
    EXPECT_EQ(script->writes.back(), Ack);

    script->Stray(EcrFrame("abc", true));
    script->Stray(EcrFrame("abc"));
    EXPECT_TRUE(link.ReadFrame(data, 10, VariableFrameLength));
    EXPECT_STREQ(data, "abc");
    EXPECT_EQ(link.stats.garbageCount, 2);

    script->Stray(ChunkOf("q!\x1a"));  // end of data with any digits
    EXPECT_FALSE(link.ReadFrame(data, 10, VariableFrameLength));
    EXPECT_STREQ(data, "");

    // An endless stream never overruns the frame buffer and ends in a read error.
    script->Stray(Chunk(5000, 'A'));
    EXPECT_THROW(link.ReadFrame(data, 125, VariableFrameLength), CommunicationException);
    EXPECT_EQ(link.stats.garbageCount, 8);
    script->input.clear();

    EXPECT_THROW(link.ReadFrame(data, 10, VariableFrameLength), CommunicationException);  // nothing came
    EXPECT_EQ(Occurrences(Log(), "ECR response lost"), 1);

    script->Stray(EcrFrame("toolong"));
    EXPECT_THROW(link.ReadFrame(data, 4, VariableFrameLength), InternalErrorException);
    size_t writes = script->writes.size();
    script->Stray(EcrFrame("ok"));
    EXPECT_THROW(link.ReadFrame(data, 125, 257), InternalErrorException);  // does not fit the buffer
    EXPECT_EQ(script->input.size(), 1u);
    EXPECT_EQ(script->writes.size(), writes);
}

TEST_F(EcrLinkTest, ShortFixedFramesAreLostAndCallerErrorsAreInternal) {
    EcrComm& link = OpenLink();
    char data[16];
    // The first three bytes come, the rest stops short: lost, no retry, no ACK.
    script->Stray(ChunkOf("abcd"));
    try {
        link.ReadFrame(data, 10, 9);
        ADD_FAILURE();
    } catch (const CommunicationException& e) {
        EXPECT_EQ(e.GetLogText(), "Data frame read error");
    }
    EXPECT_EQ(link.stats.inFrames, 0);
    EXPECT_EQ(link.stats.lostCount, 1);
    EXPECT_TRUE(script->writes.empty());
    EXPECT_EQ(Occurrences(Log(), "ECR response lost"), 1);

    EXPECT_THROW(link.ReadFrame(nullptr, 10, VariableFrameLength), InternalErrorException);
    EXPECT_THROW(link.ReadFrame(data, 2, VariableFrameLength), InternalErrorException);
    EXPECT_THROW(link.ReadFrame(data, 10, 2), InternalErrorException);
    EXPECT_THROW(link.SendDataFrame(nullptr, 0), InternalErrorException);
    EXPECT_THROW(link.WriteBytes(nullptr, 1), InternalErrorException);
    EXPECT_THROW(link.ReadBytes(nullptr, 1), InternalErrorException);
    // A data frame where only an end-of-data frame fits makes the port read nothing.
    script->Stray(EcrFrame("x"));
    EXPECT_THROW(link.ReadFrame(data, 10, 3), InternalErrorException);
    EXPECT_TRUE(script->writes.empty());
}

TEST_F(EcrLinkTest, StatusReplySetsLevelAndNameLength) {
    struct Case {
        const char* text;
        int level, nameLength;
    };
    for (const Case& c : {Case{"0314", 3, 20}, Case{"03", 3, 20}, Case{"1", 0, 20}, Case{"011A", 1, 33}}) {
        EcrComm& link = OpenLink();
        script->writes.clear();
        script->Reply({Ack, EcrFrame(c.text)});
        script->Reply(ChunkOf("00\x1a"));
        link.ReadStatus();
        EXPECT_EQ(link.ecrLevel, c.level) << c.text;
        EXPECT_EQ(link.ecrNameLength, c.nameLength) << c.text;
        EXPECT_EQ(link.ecrLanguage, -1);
        EXPECT_EQ(script->writes.front(), Chunk({0x02, 0x83, 0x37, 0x42, 0x03}));
        EXPECT_TRUE(std::any_of(script->timeoutsSet.begin(), script->timeoutsSet.end(),
                                [](const auto& t) { return t.readTotalTimeoutConstant == 100; }));
        EXPECT_EQ(script->timeouts.readTotalTimeoutConstant, 1500u);
        link.Close();
    }
    EcrComm& link = OpenLink();
    link.stats = {};
    link.ReadStatus();  // no answer
    EXPECT_EQ(link.ecrLevel, 0);
    EXPECT_EQ(link.ecrNameLength, 20);
    EXPECT_EQ(Occurrences(Log(), "ECR didn't respond to status request."), 1);
    link.LogStatistics(LogDebug);
    EXPECT_NE(Log().find("I/O statistics : OUT frames = 1, IN frames = 0, LOST = 1"), std::string::npos);
}

TEST_F(EcrLinkTest, EmptyDataFrameEndsAfterItsThreeBytes) {
    EcrComm& link = OpenLink();
    char data[130];
    // "00" and the closing byte, then silence until the frame is acknowledged.
    script->Stray(ChunkOf("00\r"));
    EXPECT_TRUE(link.ReadFrame(data, 125, VariableFrameLength));
    EXPECT_STREQ(data, "");
    EXPECT_EQ(link.lastDataLength, 0u);
    EXPECT_EQ(script->writes.back(), Ack);
    script->Stray(ChunkOf("00\x1a"));
    EXPECT_FALSE(link.ReadFrame(data, 125, VariableFrameLength));
    EXPECT_TRUE(link.readBlockMatched) << "the empty frame adds nothing to the block checksum";
    // Data that starts with "00" is read whole; a NUL byte counts as data.
    script->Stray(EcrFrame("0012"));
    EXPECT_TRUE(link.ReadFrame(data, 125, VariableFrameLength));
    EXPECT_STREQ(data, "0012");
    script->Stray(EcrFrame(std::string("a\0b", 3)));
    EXPECT_TRUE(link.ReadFrame(data, 125, VariableFrameLength));
    EXPECT_EQ(link.lastDataLength, 3u);
    EXPECT_EQ(link.stats.inFrames, 4);
    EXPECT_EQ(link.stats.garbageCount + link.stats.lostCount, 0);
    EXPECT_EQ(script->timeouts.readTotalTimeoutConstant, 1500u) << "the phase's time-out is back";
}

TEST_F(EcrLinkTest, LongStatusTextIsUsedAndARequiredStatusMustCome) {
    EcrComm& link = OpenLink();
    script->Reply({Ack, EcrFrame("0212" + std::string(30, 'X'))});
    script->Reply(ChunkOf("00\x1a"));
    link.ReadStatus();
    EXPECT_EQ(link.ecrLevel, 2);
    EXPECT_EQ(link.ecrNameLength, 18);
    EXPECT_NE(Log().find("ECR status text has 34 characters, only the first four are used: 0212XXX"),
              std::string::npos);
    link.Close();

    WriteIni("StatusRequired = 1\r\n");
    OpenLink();
    script->writes.clear();
    try {
        link.ReadStatus();  // no answer
        ADD_FAILURE();
    } catch (const CommunicationException& e) {
        EXPECT_EQ(e.GetLogText(), "ECR status required (StatusRequired = 1), no answer: nothing was sent");
    }
    EXPECT_EQ(script->writes.size(), 1u);
    EXPECT_EQ(Occurrences(Log(), "ECR didn't respond to status request."), 1);
}

TEST_F(EcrLinkTest, TraceLinesShowDirectionCountTimeAndDrainedInput) {
    EcrComm& link = OpenLink();
    script->Stray({NAK, NAK});
    script->Reply(Ack);
    link.SendCommand(0x83);
    uint8_t none[4];
    EXPECT_EQ(TheComPort().Read(none, 4), 0u);
    std::string log = Log();
    EXPECT_NE(log.find("\r\nPC<-ECR   2 bytes              : (ignored) 15 15"), std::string::npos) << log;
    EXPECT_NE(log.find("\r\nPC->ECR   5 bytes              : 02 83 37 42 03"), std::string::npos);
    EXPECT_NE(log.find("\r\nPC<-ECR   1 bytes              : 06"), std::string::npos);
    EXPECT_NE(log.find("\r\nPC<-ECR   0 bytes              :"), std::string::npos);

    Stopwatch::SetFrequencyForTesting(10000);
    TheComPort().TraceTransfer("PC->%s", Ack.data(), 1, 10000, 10015);
    TheComPort().TraceTransfer("PC<-%s", Ack.data(), 1, 10000, 10000 + 123456);
    Stopwatch::SetFrequencyForTesting(0);
    EXPECT_NE(Log().find("PC->ECR   1 bytes in    1.5 ms : 06"), std::string::npos);
    EXPECT_NE(Log().find("PC<-ECR   1 bytes in  12346 ms : 06"), std::string::npos);
}

TEST_F(EcrLinkTest, TraceTimesReadAsTheMillisecondsPrintedAsADouble) {
    OpenLink();
    // Counter rates of POSIX, of Windows and odd ones; times around ties of
    // the tenth, around the 10 s switch to whole milliseconds, and below 0.
    for (int64_t frequency : {int64_t{1000000000}, int64_t{10000000}, int64_t{3579545}, int64_t{10000}}) {
        for (int64_t ticks : {int64_t{0}, int64_t{1}, frequency / 20000, frequency / 20000 + 1, frequency / 2000 * 3,
                              frequency / 7, frequency - 1, frequency * 10 - 1, frequency * 10, frequency * 10 + 1,
                              frequency * 10 + frequency / 20000, int64_t{-5}}) {
            Stopwatch::SetFrequencyForTesting(frequency);
            TheComPort().TraceTransfer("PC->%s", Ack.data(), 1, 1000, 1000 + ticks);
            Stopwatch::SetFrequencyForTesting(0);
            double ms = static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
            char expected[64];
            std::snprintf(
                expected, sizeof expected,
                ms <= 10000.0 ? "PC->ECR   1 bytes in %6.1f ms : 06\r\n" : "PC->ECR   1 bytes in %6.0f ms : 06\r\n",
                ms);
            TheComPort().TraceTransfer("PC->%s", nullptr, 0, 0, 0);  // ends the line above
            EXPECT_NE(Log().find(expected), std::string::npos) << frequency << " Hz, " << ticks << " ticks";
        }
    }
}

}  // namespace
