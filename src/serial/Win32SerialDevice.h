#pragma once
// The serial device over the Win32 communications functions. The port is
// opened not shared; Windows itself applies the time-out rule.
#include "serial/SerialDevice.h"

namespace serial {

class Win32SerialDevice : public SerialDevice {
public:
    Win32SerialDevice() = default;
    ~Win32SerialDevice() override;
    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

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
    bool IsOpen() const override { return handle != nullptr; }

private:
    bool CheckOpen() const;

    void* handle = nullptr;  // the port's HANDLE
};

}  // namespace serial
