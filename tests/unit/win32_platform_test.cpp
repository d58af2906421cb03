// The Win32 layer: serial device names, the system error codes it reports,
// the share mode that keeps a second run off the logs, and file names with
// any letters.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/FileIdentity.h"
#include "platform/FileOpen.h"
#include "platform/Files.h"
#include "platform/LockedFile.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "platform/Win32Path.h"
#include "serial/SerialDevices.h"
#include "serial/SerialSettings.h"
#include "serial/Win32SerialDevice.h"
#include "support/TempDir.h"

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
    const std::function<bool()> calls[] = {[&] { return device.SetTimeouts(timeouts); },
                                           [&] { return device.GetTimeouts(timeouts); },
                                           [&] { return device.Read(&byte, 1, count); },
                                           [&] { return device.Write(&byte, 1, count); },
                                           [&] { return device.GetModemStatus(status); },
                                           [&] { return device.ClearDtr(); },
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

// Every file call of the layer takes a UTF-8 name to the same file, including
// letters that no ANSI code page holds together; the wide calls of the test
// look at what the file system really holds.
TEST(Win32Paths, NamesWithAnyLettersReachTheFileSystemUnchanged) {
    TempDir dir;
    const std::string name =
        "\xC5\xA0\xC4\xB7\xC5\xAB"
        "nis \xD0\x96.csv";  // "Šķūnis Ж.csv"
    const std::wstring wideName = L"\u0160\u0137\u016Bnis \u0416.csv";
    const std::string path = dir.PathOf(name);
    const std::wstring widePath = WidePath(path);
    ASSERT_GE(widePath.size(), wideName.size());
    EXPECT_EQ(widePath.substr(widePath.size() - wideName.size()), wideName);
    EXPECT_EQ(Utf8FromWide(widePath.c_str()), path);

    std::FILE* file = OpenFile(path, "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("1,150,\"Maize\",1,5,2\r\n", file);
    std::fclose(file);
    EXPECT_NE(GetFileAttributesW(widePath.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(PathExists(path));
    EXPECT_TRUE(IsSameFile(path, path));

    LockedFile log;
    ASSERT_TRUE(log.Open(path));
    EXPECT_EQ(log.Length(), 21u);
    log.Close();

    EXPECT_TRUE(RemoveFile(path));
    EXPECT_EQ(GetFileAttributesW(widePath.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(PathExists(path));
}

// The arguments come from the wide command line, whatever main() was given.
TEST(Win32Paths, ProgramArgumentsAreUtf8) {
    std::vector<std::string> arguments = ProgramArguments(0, nullptr);
    ASSERT_FALSE(arguments.empty());
    std::string program;
    ASSERT_TRUE(GetProgramPath(program));
    EXPECT_NE(program.find("unit_tests"), std::string::npos) << program;
    EXPECT_NE(arguments[0].find("unit_tests"), std::string::npos) << arguments[0];
}
