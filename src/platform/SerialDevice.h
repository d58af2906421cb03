#pragma once
// The one seam between the serial port logic and the operating system. The
// termios and Win32 classes and the network device implement it; tests put scripted
// devices in its place.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/SerialSettings.h"

namespace platform {

// Read and write time-outs in milliseconds, with the serial-counter meaning:
// a read of n bytes ends when n bytes have arrived, when the gap after a
// received byte exceeds readIntervalTimeout, or when
// n * readTotalTimeoutMultiplier + readTotalTimeoutConstant ms have passed;
// a write ends when all bytes are out or n * multiplier + constant ms passed.
// readIntervalTimeout 0xFFFFFFFF with both other read values 0 makes a read
// return at once with what has already arrived. A value of 0 disables that
// limit (both total values 0 and no interval: wait for all bytes).
struct SerialTimeouts {
    uint32_t readIntervalTimeout = 0;
    uint32_t readTotalTimeoutMultiplier = 0;
    uint32_t readTotalTimeoutConstant = 0;
    uint32_t writeTotalTimeoutMultiplier = 0;
    uint32_t writeTotalTimeoutConstant = 0;
};

inline constexpr uint32_t TimeoutImmediate = 0xFFFFFFFFu;

// Modem status bits as the port reports them.
inline constexpr uint32_t ModemStatusCts = 0x10;
inline constexpr uint32_t ModemStatusDsr = 0x20;
inline constexpr uint32_t ModemStatusRing = 0x40;
inline constexpr uint32_t ModemStatusCarrier = 0x80;

class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    // Every call returns false on failure with the system error code set
    // (platform/SystemError.h). A read or write
    // that times out is not a failure: it returns true with fewer bytes.
    virtual bool Open(const std::string& path) = 0;
    virtual bool Apply(const SerialSettings& settings) = 0;
    virtual bool SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) = 0;
    virtual bool SetTimeouts(const SerialTimeouts& timeouts) = 0;
    virtual bool GetTimeouts(SerialTimeouts& timeouts) = 0;
    virtual bool Read(uint8_t* buffer, size_t size, size_t& received) = 0;
    virtual bool Write(const uint8_t* buffer, size_t count, size_t& written) = 0;
    virtual bool GetModemStatus(uint32_t& status) = 0;
    virtual bool ClearDtr() = 0;
    virtual bool Flush() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
};

// The device for whatever path Open is given: a serial device server for
// "rfc2217://host:port" and "socket://host:port", else the operating
// system's serial device (termios or Win32).
std::unique_ptr<SerialDevice> CreateSystemSerialDevice();
// The operating system's serial device (termios on POSIX).
std::unique_ptr<SerialDevice> CreateLocalSerialDevice();
// False for a line that has no modem lines at all (a raw TCP connection):
// no carrier to check, no DTR to drop.
bool DeviceHasModemLines(const std::string& path);

// Where devices write their own short notes (connections, telnet
// negotiation): the driver points it at its debug log. Unset: nowhere.
void SetDeviceLog(void (*sink)(const std::string& text));
void DeviceLog(const std::string& text);

// The system's device name of serial port `number` (1 is the first port).
std::string SerialPortName(int64_t number);

// Deadlines of one read under the time-out rule above, from monotonic
// milliseconds. Used by every device implementation.
class ReadDeadline {
public:
    ReadDeadline(const SerialTimeouts& timeouts, size_t requested, int64_t startMs);
    // Milliseconds left to wait for the next byte (0: stop now, -1: no limit).
    int64_t RemainingMs(int64_t nowMs) const;
    void ByteReceived(int64_t nowMs);
    bool ReturnsImmediately() const { return immediate; }

private:
    bool immediate = false;
    int64_t totalDeadline = -1;   // -1: none
    uint32_t interval = 0;        // 0: none
    int64_t lastByteMs = -1;
};

// Deadline of one write: count * multiplier + constant ms (-1: none).
int64_t WriteDeadlineMs(const SerialTimeouts& timeouts, size_t count, int64_t startMs);

}  // namespace platform
