#pragma once
// The one seam between the serial port logic and the operating system. The
// termios and Win32 classes and the network device implement it; tests put scripted
// devices in its place.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/SerialSettings.h"

namespace serial {

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

}  // namespace serial
