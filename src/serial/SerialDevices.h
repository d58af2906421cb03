#pragma once
// Making a serial device: the factories that pick an implementation, the
// system's port names and what a line offers.
#include <cstdint>
#include <memory>
#include <string>

#include "serial/SerialDevice.h"

namespace serial {

// The device for whatever path Open is given: a serial device server for
// "rfc2217://host:port" and "socket://host:port", else the operating
// system's serial device (termios or Win32).
std::unique_ptr<SerialDevice> CreateSystemSerialDevice();
// The operating system's serial device (termios on POSIX).
std::unique_ptr<SerialDevice> CreateLocalSerialDevice();
// False for a line that has no modem lines at all (a raw TCP connection):
// no carrier to check, no DTR to drop.
bool DeviceHasModemLines(const std::string& path);

// The system's device name of serial port `number` (1 is the first port).
std::string SerialPortName(int64_t number);

}  // namespace serial
