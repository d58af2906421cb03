#pragma once
// The serial line settings record and the parser for settings strings such as
// "baud=19200 parity=n data=8 stop=2 octs=on".
#include <cstdint>
#include <string>

namespace serial {

enum class Parity { None, Even, Odd, Mark, Space };
enum class StopBits { One, OneAndHalf, Two };
enum class LineControl { Off, On, Handshake };

struct SerialSettings {
    uint32_t baudRate = 0;
    int dataBits = 0;  // 0 until a settings string names it
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool binaryMode = false;
    bool parityCheck = false;
    bool ctsOutputFlow = false;      // octs
    bool dsrOutputFlow = false;      // odsr
    bool dsrSensitivity = false;     // idsr
    bool xonXoff = false;            // xon
    bool timeoutProcessing = false;  // to
    LineControl dtrControl = LineControl::Off;
    LineControl rtsControl = LineControl::Off;
    char eofChar = 0;
};

// Updates `settings` from the keys the string names (blank-separated
// key=value pairs, keys and values in any case): baud, parity (n e o m s),
// data (5-8), stop (1, 1.5, 2), octs, odsr, idsr, xon, to (on/off),
// dtr and rts (on, off, hs). False, and `settings` unchanged, when any part
// of the string cannot be read: a parse error, which leaves the system error
// code alone (the caller decides how to report it).
bool ParseSerialSettings(const std::string& text, SerialSettings& settings);

// Bits on the wire for one character: start + data + parity + stop bits,
// where one and a half stop bits count as one (data bits 0 count as 8).
int BitsPerCharacter(const SerialSettings& settings);

}  // namespace serial
