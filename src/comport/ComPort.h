#pragma once
// The serial line to the ECR (directly or through a modem): settings strings,
// time-outs derived from the line speed, bounded reads and writes, the drain
// of stray input before every write, modem lines and the byte trace.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/SerialDevice.h"

// Names the far end in the trace: "ECR", or "MDM" while the modem dials.
inline std::string TracePeerName = "ECR";

class ComPort {
public:
    // Set by the link before Open.
    std::string DefaultSettings;
    uint32_t ReadTotalConstant = 0;
    uint32_t WriteTotalConstant = 0;
    int32_t ByteTimeMultiplier = 0;
    // Read by Open from the INI.
    int32_t PortNumber = 0;
    int32_t GarbageByteInterval = 0;
    std::string TraceNote;

    void Open();
    void Close();
    bool IsOpen() const;
    size_t Read(uint8_t* buffer, size_t size);
    // `maxMs` (when not negative) ends the collecting once that long has
    // passed, so input that keeps coming cannot hold it without end;
    // `stillComing` then tells whether the last read still brought bytes.
    size_t ReadPending(uint8_t* buffer, size_t size, int byteInterval, int64_t maxMs = -1, bool* stillComing = nullptr);
    size_t Write(const uint8_t* buffer, size_t count);
    void SetReadTimeout(uint32_t ms);
    void RestoreReadTimeout();
    int SetEofChar(char ch);
    int ClearEofChar();
    bool IsCarrierOn();
    void DropDtr();
    void TraceTransfer(const char* directionFormat, const uint8_t* buffer, size_t count, int64_t start, int64_t end);

    // The device path Open uses: INI ComDevice when set, else /dev/ttyS<ComNumber-1>.
    std::string DevicePath() const;
    const serial::SerialSettings& Settings() const { return settings; }
    const serial::SerialTimeouts& Timeouts() const { return timeouts; }

    // Seam for tests: the device Open will use instead of the system's.
    void UseDevice(std::unique_ptr<serial::SerialDevice> device);

private:
    std::unique_ptr<serial::SerialDevice> device;
    serial::SerialSettings settings;
    serial::SerialTimeouts timeouts;
};

ComPort& TheComPort();

// Applies one settings string to `settings` (serial::ParseSerialSettings);
// SystemErrorException, and `settings` unchanged, when it cannot be decoded.
void ApplySettingsString(const std::string& text, serial::SerialSettings& settings);
