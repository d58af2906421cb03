// The Win32 layer: serial device names, the system error codes it reports,
// and the share mode that keeps a second run off the logs.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/LockedFile.h"
#include "platform/Process.h"
#include "serial/SerialSettings.h"
#include "platform/SystemError.h"
#include "serial/Win32SerialDevice.h"
#include "support/TempDir.h"
#include "serial/SerialDevices.h"

using namespace platform;
using namespace serial;

TEST(Win32Serial, PortNamesAboveNineUseTheDeviceNamespace) {
    EXPECT_EQ(SerialPortName(1), "COM1");
    EXPECT_EQ(SerialPortName(9), "COM9");
    EXPECT_EQ(SerialPortName(10), "\\\\.\\COM10");
    EXPECT_EQ(SerialPortName(112), "\\\\.\\COM112");
}

TEST(Win32Serial, FailuresCarryTheWindowsErrorCode) {
    Win32SerialDevice device;
    SetLastSystemError(0);
    EXPECT_FALSE(device.Open(SerialPortName(231)));
    EXPECT_EQ(LastSystemError(), static_cast<unsigned>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(device.IsOpen());

    // Calls on a port that is not open fail as on an invalid handle.
    SerialTimeouts timeouts;
    uint8_t byte = 0;
    size_t count = 0;
    uint32_t status = 0;
    const std::function<bool()> calls[] = {
        [&] { return device.SetTimeouts(timeouts); },   [&] { return device.GetTimeouts(timeouts); },
        [&] { return device.Read(&byte, 1, count); },  [&] { return device.Write(&byte, 1, count); },
        [&] { return device.GetModemStatus(status); }, [&] { return device.ClearDtr(); },
        [&] { return device.Flush(); }};
    for (const auto& call : calls) {
        SetLastSystemError(0);
        EXPECT_FALSE(call());
        EXPECT_EQ(LastSystemError(), static_cast<unsigned>(ERROR_INVALID_HANDLE));
    }

    // The debug log's words for a code are the system's own, on one line.
    const std::string text = SystemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << text;
    EXPECT_EQ(SystemErrorText(0x2FFFFFFFu), "Unknown error " + std::to_string(0x2FFFFFFFu));

    // A settings string that cannot be read is a parse error, not a system error.
    SerialSettings settings;
    SetLastSystemError(0);
    EXPECT_FALSE(ParseSerialSettings("baud=fast", settings));
    EXPECT_EQ(LastSystemError(), 0u);
}

TEST(Win32LockedFile, SecondWriterIsRefusedWhileReadersMayLook) {
    TempDir dir;
    std::string path = dir.PathOf("KVT5100.log");
    LockedFile first;
    ASSERT_TRUE(first.Open(path));
    ASSERT_TRUE(first.Append("held\r\n", 6));

    LockedFile second;
    EXPECT_FALSE(second.Open(path));
    EXPECT_EQ(LastSystemError(), static_cast<unsigned>(ERROR_SHARING_VIOLATION));
    std::ifstream reader(path, std::ios::binary);
    std::ostringstream seen;
    seen << reader.rdbuf();
    EXPECT_EQ(seen.str(), "held\r\n");
    reader.close();

    // The holder itself may remove the file before it lets go of it.
    EXPECT_TRUE(first.Truncate(0));
    EXPECT_TRUE(RemoveFile(path));
    first.Close();
    EXPECT_FALSE(PathExists(path));
    EXPECT_TRUE(second.Open(path));
}
