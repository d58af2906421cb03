#pragma once
#include <string>

namespace serial {

// Where devices write their own short notes (connections, telnet
// negotiation): the driver points it at its debug log. Unset: nowhere.
void SetDeviceLog(void (*sink)(const std::string& text));
void DeviceLog(const std::string& text);

}  // namespace serial
