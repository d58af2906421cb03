#include "serial/SerialSettings.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace serial {

namespace {

std::string Lower(std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

bool ParseOnOff(const std::string& value, bool& result) {
    if (value == "on") {
        result = true;
        return true;
    }
    if (value == "off") {
        result = false;
        return true;
    }
    return false;
}

bool ParseLineControl(const std::string& value, LineControl& result) {
    if (value == "on") result = LineControl::On;
    else if (value == "off") result = LineControl::Off;
    else if (value == "hs") result = LineControl::Handshake;
    else return false;
    return true;
}

bool ParseBaud(const std::string& value, uint32_t& result) {
    if (value.empty() || value.size() > 9) return false;
    for (char ch : value)
        if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
    unsigned long number = std::strtoul(value.c_str(), nullptr, 10);
    // The two-digit abbreviations of the classic mode command.
    switch (number) {
        case 11: number = 110; break;
        case 15: number = 150; break;
        case 30: number = 300; break;
        case 60: number = 600; break;
        case 12: number = 1200; break;
        case 24: number = 2400; break;
        case 48: number = 4800; break;
        case 96: number = 9600; break;
        case 19: number = 19200; break;
        default: break;
    }
    if (number == 0) return false;
    result = static_cast<uint32_t>(number);
    return true;
}

}  // namespace

bool ParseSerialSettings(const std::string& text, SerialSettings& settings) {
    // Work on a copy so that a string with any unreadable part changes nothing.
    SerialSettings updated = settings;
    std::istringstream tokens(Lower(text));
    std::string token;
    while (tokens >> token) {
        size_t equals = token.find('=');
        if (equals == std::string::npos || equals == 0) return false;
        std::string key = token.substr(0, equals);
        std::string value = token.substr(equals + 1);
        bool ok = true;
        if (key == "baud") {
            ok = ParseBaud(value, updated.baudRate);
        } else if (key == "parity") {
            if (value == "n") updated.parity = Parity::None;
            else if (value == "e") updated.parity = Parity::Even;
            else if (value == "o") updated.parity = Parity::Odd;
            else if (value == "m") updated.parity = Parity::Mark;
            else if (value == "s") updated.parity = Parity::Space;
            else ok = false;
        } else if (key == "data") {
            if (value.size() == 1 && value[0] >= '5' && value[0] <= '8') updated.dataBits = value[0] - '0';
            else ok = false;
        } else if (key == "stop") {
            if (value == "1") updated.stopBits = StopBits::One;
            else if (value == "1.5") updated.stopBits = StopBits::OneAndHalf;
            else if (value == "2") updated.stopBits = StopBits::Two;
            else ok = false;
        } else if (key == "octs") {
            ok = ParseOnOff(value, updated.ctsOutputFlow);
        } else if (key == "odsr") {
            ok = ParseOnOff(value, updated.dsrOutputFlow);
        } else if (key == "idsr") {
            ok = ParseOnOff(value, updated.dsrSensitivity);
        } else if (key == "xon") {
            ok = ParseOnOff(value, updated.xonXoff);
        } else if (key == "to") {
            ok = ParseOnOff(value, updated.timeoutProcessing);
        } else if (key == "dtr") {
            ok = ParseLineControl(value, updated.dtrControl);
        } else if (key == "rts") {
            ok = ParseLineControl(value, updated.rtsControl);
        } else {
            ok = false;
        }
        if (!ok) return false;
    }
    settings = updated;
    return true;
}

int BitsPerCharacter(const SerialSettings& settings) {
    // A record no string gave a data size runs with 8 bits, as the device applies it.
    int dataBits = settings.dataBits == 0 ? 8 : settings.dataBits;
    int bits = 1 + dataBits + 1;
    if (settings.parity != Parity::None) ++bits;
    if (settings.stopBits == StopBits::Two) ++bits;
    return bits;
}

}  // namespace serial
