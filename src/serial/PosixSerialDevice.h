#pragma once
// The serial device over POSIX termios. The port is held exclusively
// (TIOCEXCL and an advisory lock), runs in raw mode and is read and written
// without blocking, waiting with poll() under the serial time-out rule.
#include "serial/SerialDevice.h"

namespace serial {

class PosixSerialDevice : public SerialDevice {
public:
    PosixSerialDevice() = default;
    ~PosixSerialDevice() override;
    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

    bool Open(const std::string& path) override;
    bool Apply(const SerialSettings& settings) override;
    bool SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) override;
    bool SetTimeouts(const SerialTimeouts& timeouts) override;
    bool GetTimeouts(SerialTimeouts& timeouts) override;
    bool Read(uint8_t* buffer, size_t size, size_t& received) override;
    bool Write(const uint8_t* buffer, size_t count, size_t& written) override;
    bool GetModemStatus(uint32_t& status) override;
    bool ClearDtr() override;
    bool Flush() override;
    void Close() override;
    bool IsOpen() const override { return fd >= 0; }

private:
    bool WaitForOutput(int64_t deadline, size_t& unsent);
    // Sleeps while `missing` more bytes of a read are on their way.
    void PauseForBytes(size_t missing, int64_t remainingMs) const;
    bool MidFrame() const;

    int fd = -1;
    SerialTimeouts current;
    int64_t characterTimeUs = 0;          // one character on the line at the applied settings
    int64_t incomingCharacterTimeUs = 0;  // the shortest character the far end may send
    int64_t lastByteUs = -1;              // when a read last took bytes; -1 after a write
    bool replyAwaited = false;            // nothing read since the last write
};

}  // namespace serial
