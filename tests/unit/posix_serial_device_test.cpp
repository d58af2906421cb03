// The termios device on a pseudo-terminal: opening, raw settings, bounded
// reads, writes and hang-ups.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "comport/ComPort.h"
#include "ecrcomm/EcrComm.h"
#include "platform/SystemError.h"
#include "serial/PosixSerialDevice.h"
#include "serial/network/NetworkSerialDevice.h"

using namespace serial;

namespace {

class PtyDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[128];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
        ApplySettingsString(DirectSettingsString, settings);
    }
    void TearDown() override {
        device.Close();
        if (master >= 0) close(master);
        close(slave);
    }
    std::string ReadMaster(size_t count) {
        std::string text(count, '\0');
        size_t got = 0;
        while (got < count) {
            ssize_t n = read(master, text.data() + got, count - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        return text.substr(0, got);
    }

    int master = -1, slave = -1;
    std::string path;
    SerialSettings settings;
    PosixSerialDevice device;
};

TEST_F(PtyDeviceTest, OpensOnlyTerminalsAndOnlyOnce) {
    char file[] = "/tmp/serial-not-a-tty-XXXXXX";
    int fd = mkstemp(file);
    struct Case {
        std::string path;
        int error;
    };
    for (const Case& c : {Case{"/dev/null", ENOTTY}, Case{file, ENOTTY}, Case{"/nonexistent/tty", ENOENT}}) {
        errno = 0;
        EXPECT_FALSE(device.Open(c.path)) << c.path;
        EXPECT_EQ(errno, c.error) << c.path;
        EXPECT_FALSE(device.IsOpen());
    }
    close(fd);
    unlink(file);

    ASSERT_TRUE(device.Open(path));
    PosixSerialDevice second;
    EXPECT_FALSE(second.Open(path));
    EXPECT_EQ(errno, EBUSY);
    device.Close();
    EXPECT_TRUE(second.Open(path));
}

TEST_F(PtyDeviceTest, AppliesRawSettingsAndIgnoresMissingModemLines) {
    ASSERT_TRUE(device.Open(path));
    ASSERT_TRUE(device.Apply(settings));
    termios tio{};
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS | CLOCAL | CREAD),
              CS8 | CSTOPB | CRTSCTS | CLOCAL | CREAD);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));

    ApplySettingsString("parity=m data=7 stop=1 octs=off", settings);  // rts=hs stays
    ASSERT_TRUE(device.Apply(settings));
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    // A pty keeps 8 bits without parity enable, but shows the parity kind.
    EXPECT_EQ(tio.c_cflag & (CSTOPB | PARODD | CMSPAR | CRTSCTS), static_cast<tcflag_t>(PARODD | CMSPAR));

    settings.baudRate = 12345;
    EXPECT_FALSE(device.Apply(settings));
    EXPECT_EQ(errno, EINVAL);
    uint32_t status;
    EXPECT_FALSE(device.GetModemStatus(status));
    EXPECT_FALSE(device.ClearDtr());
}

TEST_F(PtyDeviceTest, MovesBytesUnchangedWithinTimeoutsAndReportsHangUp) {
    ASSERT_TRUE(device.Open(path));
    ASSERT_TRUE(device.Apply(settings));
    ASSERT_TRUE(device.SetTimeouts({20, 0, 5000, 0, 1000}));
    size_t count = 0;
    const uint8_t out[] = {'a', '\r', '\n', 0x11, 0x03};
    ASSERT_TRUE(device.Write(out, sizeof out, count));
    EXPECT_EQ(count, sizeof out);
    EXPECT_EQ(ReadMaster(5), std::string("a\r\n\x11\x03"));

    // The gap after the last byte ends the read long before the total limit.
    ASSERT_EQ(write(master, "x\ry", 3), 3);
    uint8_t in[16];
    ASSERT_TRUE(device.Read(in, sizeof in, count));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in), count), "x\ry");

    ASSERT_TRUE(device.SetTimeouts({TimeoutImmediate, 0, 0, 0, 0}));
    EXPECT_TRUE(device.Read(in, sizeof in, count));
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(device.SetTimeouts({0, 0, 30, 0, 0}));
    EXPECT_TRUE(device.Read(in, sizeof in, count));
    EXPECT_EQ(count, 0u);

    close(master);
    master = -1;
    EXPECT_FALSE(device.Read(in, sizeof in, count));
    EXPECT_EQ(errno, EIO);
    errno = 0;
    EXPECT_FALSE(device.Write(out, sizeof out, count));
    EXPECT_EQ(errno, EIO);
}

TEST_F(PtyDeviceTest, ReadKeepsTheGapRuleForSlowSendersAndEndsAtTheTotalLimit) {
    ASSERT_TRUE(device.Open(path));
    ApplySettingsString("baud=300", settings);  // 37 ms a byte: the read sleeps long between looks
    ASSERT_TRUE(device.Apply(settings));
    auto sendLater = [this](const char* bytes, int count, int gapMs) {
        return std::thread([=, this] {
            for (int i = 0; i < count; ++i) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
                ASSERT_EQ(write(master, bytes + i, 1), 1);
            }
        });
    };
    uint8_t in[40];
    size_t count = 0;

    // A sender slower than the line: each gap is well inside the 600 ms
    // interval, also when a byte lands late in a pause of the read.
    ASSERT_TRUE(device.SetTimeouts({600, 0, 20000, 0, 1000}));
    std::thread slow([this] {
        ASSERT_EQ(write(master, "a", 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_EQ(write(master, "b", 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        ASSERT_EQ(write(master, "c", 1), 1);
    });
    bool ok = device.Read(in, sizeof in, count);
    slow.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in), count), "abc");

    // Bytes every 50 ms for a second against a 300 ms total: the total ends the read.
    ASSERT_TRUE(device.SetTimeouts({1000, 0, 300, 0, 1000}));
    std::thread steady = sendLater("01234567890123456789", 20, 50);
    ok = device.Read(in, sizeof in, count);
    steady.join();
    EXPECT_TRUE(ok);
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, 20u);
}

}  // namespace

// A device that is not open refuses every call the same way, whichever it is.
TEST(SerialDevicesNotOpen, EveryDeviceFailsWithTheOneNotOpenCode) {
    PosixSerialDevice local;
    NetworkSerialDevice network;
    for (SerialDevice* device : {static_cast<SerialDevice*>(&local), static_cast<SerialDevice*>(&network)}) {
        SerialSettings settings;
        SerialTimeouts timeouts;
        uint8_t byte = 0;
        size_t count = 0;
        uint32_t status = 0;
        const std::function<bool()> calls[] = {[&] { return device->Apply(settings); },
                                               [&] { return device->SetQueueSizes(1, 1); },
                                               [&] { return device->SetTimeouts(timeouts); },
                                               [&] { return device->GetTimeouts(timeouts); },
                                               [&] { return device->Read(&byte, 1, count); },
                                               [&] { return device->Write(&byte, 1, count); },
                                               [&] { return device->GetModemStatus(status); },
                                               [&] { return device->ClearDtr(); },
                                               [&] { return device->Flush(); }};
        for (const auto& call : calls) {
            platform::SetLastSystemError(0);
            EXPECT_FALSE(call());
            EXPECT_EQ(platform::LastSystemError(), platform::ErrorNotOpen);
        }
    }
}
