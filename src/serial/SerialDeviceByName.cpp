// Chooses the device implementation by the path Open is given, so that the
// port above never needs to know what kind of line it has.
#include "serial/SerialDevice.h"
#include "serial/SerialDevices.h"
#include "serial/network/NetworkSerialDevice.h"

namespace serial {

namespace {

class SerialDeviceByName : public SerialDevice {
public:
    bool Open(const std::string& path) override {
        if (device) device->Close();
        if (IsNetworkDevice(path)) device = std::make_unique<NetworkSerialDevice>();
        else device = CreateLocalSerialDevice();
        return device->Open(path);
    }
    bool Apply(const SerialSettings& settings) override { return device && device->Apply(settings); }
    bool SetQueueSizes(uint32_t in, uint32_t out) override { return device && device->SetQueueSizes(in, out); }
    bool SetTimeouts(const SerialTimeouts& timeouts) override { return device && device->SetTimeouts(timeouts); }
    bool GetTimeouts(SerialTimeouts& timeouts) override { return device && device->GetTimeouts(timeouts); }
    bool Read(uint8_t* buffer, size_t size, size_t& received) override {
        received = 0;
        return device && device->Read(buffer, size, received);
    }
    bool Write(const uint8_t* buffer, size_t count, size_t& written) override {
        written = 0;
        return device && device->Write(buffer, count, written);
    }
    bool GetModemStatus(uint32_t& status) override {
        status = 0;
        return device && device->GetModemStatus(status);
    }
    bool ClearDtr() override { return device && device->ClearDtr(); }
    bool Flush() override { return device && device->Flush(); }
    void Close() override {
        if (device) device->Close();
    }
    bool IsOpen() const override { return device && device->IsOpen(); }

private:
    std::unique_ptr<SerialDevice> device;
};

}  // namespace

std::unique_ptr<SerialDevice> CreateSystemSerialDevice() { return std::make_unique<SerialDeviceByName>(); }

bool DeviceHasModemLines(const std::string& path) {
    NetworkAddress address;
    return !ParseNetworkAddress(path, address) || address.rfc2217;
}

}  // namespace serial
