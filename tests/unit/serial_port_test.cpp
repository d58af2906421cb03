// The serial port above a scripted device: collecting pending input, the
// read time-out constant, caller errors and failed device calls.
#include <gtest/gtest.h>

#include <fstream>

#include "comport/ComPort.h"
#include "config/Config.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "support/ScriptedSerialDevice.h"
#include "support/TempDir.h"
#include "tools/Stopwatch.h"

namespace {

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir.PathOf("KVT5100.ini"), std::ios::binary)
            << "[ECR_1]\r\nComDevice = /dev/ttyUSB3\r\nGarbageMaxByteInterval = 0\r\n";
        TheConfig().SetFile(dir.PathOf("KVT5100.ini"), true);
        TheConfig().SetSection("ECR_1", true);
        DebugLogFile().Open(dir.PathOf("dbgerror.log"));
        Stopwatch::SetFrequencyForTesting(0);
        port.UseDevice(std::make_unique<ScriptedSerialDevice>(script));
        port.DefaultSettings = DirectSettingsString;
        port.ReadTotalConstant = 1500;
        port.WriteTotalConstant = 1000;
        port.ByteTimeMultiplier = 100;
    }
    void TearDown() override {
        port.Close();
        DebugLogFile().Close(true);
    }
    std::string Log() const {
        DebugLogFile().Flush();  // trace lines reach the file in batches
        return dir.Read("dbgerror.log");
    }
    template <typename Call>
    std::string SystemErrorOf(Call call) {
        try {
            call();
        } catch (const SystemErrorException& e) {
            return e.GetLogText();
        }
        return "no exception";
    }

    TempDir dir{"serial-port-test"};
    std::shared_ptr<SerialScript> script = std::make_shared<SerialScript>();
    ComPort port;
};

TEST_F(SerialPortTest, ReadPendingCollectsChunksUntilFullAndRestoresTheTimeouts) {
    port.Open();
    const serial::SerialTimeouts opened = script->timeouts;
    uint8_t buffer[8] = {};

    // Nothing waiting: one immediate read, no trace line.
    EXPECT_EQ(port.ReadPending(buffer, 5, 0), 0u);
    EXPECT_EQ(script->timeoutsSet.back().readTotalTimeoutConstant, opened.readTotalTimeoutConstant);
    const auto& immediate = script->timeoutsSet[script->timeoutsSet.size() - 2];
    EXPECT_EQ(immediate.readIntervalTimeout, serial::TimeoutImmediate);
    EXPECT_EQ(immediate.readTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(immediate.readTotalTimeoutConstant, 0u);
    EXPECT_EQ(Log().find("PC<-ECR"), std::string::npos);

    // Chunks are gathered until the buffer is full; the rest stays queued.
    script->Stray(ChunkOf("ab"));
    script->Stray(ChunkOf("cd"));
    script->Stray(ChunkOf("ef"));
    EXPECT_EQ(port.ReadPending(buffer, 5, 0), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "abcde");
    EXPECT_EQ(script->input.front(), ChunkOf("f"));
    EXPECT_NE(Log().find("\r\nPC<-ECR   5 bytes              : 61 62 63 64 65"), std::string::npos) << Log();
    EXPECT_EQ(script->timeouts.readIntervalTimeout, opened.readIntervalTimeout);

    // The read time-out constant changes alone and comes back to ReadTotalConstant.
    port.SetReadTimeout(777);
    EXPECT_EQ(script->timeouts.readTotalTimeoutConstant, 777u);
    EXPECT_EQ(script->timeouts.readIntervalTimeout, 57u);
    EXPECT_EQ(script->timeouts.readTotalTimeoutMultiplier, 57u);
    EXPECT_EQ(script->timeouts.writeTotalTimeoutMultiplier, 57u);
    EXPECT_EQ(script->timeouts.writeTotalTimeoutConstant, 1000u);
    port.RestoreReadTimeout();
    EXPECT_EQ(script->timeouts.readTotalTimeoutConstant, 1500u);
}

TEST_F(SerialPortTest, WriteDrainsAtMostOneQueueOfStrayInputFirst) {
    port.Open();
    script->Stray(Chunk(300, 0x15));
    const uint8_t frame[] = {0x06};
    EXPECT_EQ(port.Write(frame, 1), 1u);
    EXPECT_EQ(script->input.front().size(), 44u);  // beyond 256 bytes stays queued
    const std::string log = Log();
    const size_t drained = log.find("PC<-ECR 256 bytes              : (ignored) 15 15");
    const size_t written = log.find("PC->ECR   1 bytes              : 06");
    ASSERT_NE(drained, std::string::npos) << log;
    EXPECT_GT(written, drained);
    EXPECT_EQ(port.TraceNote, "");
}

TEST_F(SerialPortTest, NoiseThatKeepsComingIsDrainedForThePhasesReadTimeOutOnly) {
    port.Open();
    port.SetReadTimeout(20);
    // One stray byte per read, as noise that never stops, each read taking a while.
    for (int i = 0; i < 300; ++i) script->Stray(Chunk{0x55});
    script->readDelayMs = 2;
    const uint8_t frame[] = {0x06};
    EXPECT_EQ(port.Write(frame, 1), 1u);
    EXPECT_GT(script->input.size(), 44u) << "fewer than 256 bytes thrown away";
    const std::string log = Log();
    EXPECT_NE(log.find("thrown away and still coming; the write goes ahead"), std::string::npos) << log;
    EXPECT_NE(log.find("PC->ECR   1 bytes              : 06"), std::string::npos);
}

TEST_F(SerialPortTest, CallerErrorsAndFailedDeviceCalls) {
    uint8_t byte = 0;
    // Closed port: close does nothing, even after a failed open.
    port.Close();
    script->openError = EACCES;
    EXPECT_EQ(SystemErrorOf([&] { port.Open(); }), "Unable to open serial port (system error code : 13)");
    port.Close();
    EXPECT_EQ(Log().find("Closing serial port"), std::string::npos);
    EXPECT_NE(Log().find("Opening serial port /dev/ttyUSB3"), std::string::npos);
    script->openError = 0;

    port.Open();
    EXPECT_THROW(port.Read(nullptr, 1), InternalErrorException);
    EXPECT_THROW(port.Read(&byte, 0), InternalErrorException);
    EXPECT_THROW(port.Write(nullptr, 1), InternalErrorException);
    EXPECT_THROW(port.Write(&byte, 0), InternalErrorException);

    script->readError = EIO;
    EXPECT_EQ(SystemErrorOf([&] { port.Read(&byte, 1); }), "Serial port read error (system error code : 5)");
    EXPECT_EQ(SystemErrorOf([&] { port.ReadPending(&byte, 1, 0); }), "Serial port read error (system error code : 5)");
    EXPECT_EQ(script->timeouts.readTotalTimeoutConstant, 1500u);  // restored after the failure
    script->readError = 0;
    script->writeError = EIO;
    EXPECT_EQ(SystemErrorOf([&] { port.Write(&byte, 1); }), "Serial port write error (system error code : 5)");

    // A device without modem lines (a pty) fails the line calls, not the open.
    script->hasModemLines = false;
    EXPECT_EQ(SystemErrorOf([&] { port.IsCarrierOn(); }), "GetCommModemStatus failed (system error code : 25)");
    EXPECT_EQ(SystemErrorOf([&] { port.DropDtr(); }), "EscapeCommFunction failed (system error code : 25)");
    script->hasModemLines = true;
    script->modemStatus = serial::ModemStatusCarrier;
    EXPECT_TRUE(port.IsCarrierOn());
    script->modemStatus = serial::ModemStatusCts | serial::ModemStatusDsr;
    EXPECT_FALSE(port.IsCarrierOn());
    EXPECT_TRUE(script->dtrOn);
    port.DropDtr();
    EXPECT_FALSE(script->dtrOn);
}

}  // namespace
