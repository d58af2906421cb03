#include "serial/DeviceLog.h"

namespace serial {

namespace {

void (*deviceLogSink)(const std::string&) = nullptr;

}  // namespace

void SetDeviceLog(void (*sink)(const std::string& text)) { deviceLogSink = sink; }

void DeviceLog(const std::string& text) {
    if (deviceLogSink != nullptr) deviceLogSink(text);
}

}  // namespace serial
