#pragma once
// Telnet framing of a serial line carried over TCP (the COM-PORT-OPTION of
// RFC 2217): the decoder that splits what a server sends into serial bytes
// and telnet commands, and the encoder of what a client sends. Pure code
// without I/O, so that a hostile server's bytes can be fuzzed in isolation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/SerialSettings.h"

namespace serial::telnet {

constexpr uint8_t Iac = 255;
constexpr uint8_t Dont = 254;
constexpr uint8_t Do = 253;
constexpr uint8_t Wont = 252;
constexpr uint8_t Will = 251;
constexpr uint8_t Sb = 250;
constexpr uint8_t Se = 240;

constexpr uint8_t OptionBinary = 0;
constexpr uint8_t OptionSuppressGoAhead = 3;
constexpr uint8_t OptionComPort = 44;

// COM-PORT-OPTION commands of the client; the server answers with the same
// command plus ServerReplyOffset.
constexpr uint8_t SetBaudRate = 1;
constexpr uint8_t SetDataSize = 2;
constexpr uint8_t SetParity = 3;
constexpr uint8_t SetStopSize = 4;
constexpr uint8_t SetControl = 5;
constexpr uint8_t NotifyModemState = 7;
constexpr uint8_t SetModemStateMask = 11;
constexpr uint8_t PurgeData = 12;
constexpr uint8_t ServerReplyOffset = 100;

// SET-CONTROL values used here.
constexpr uint8_t ControlNoFlow = 1;
constexpr uint8_t ControlXonXoff = 2;
constexpr uint8_t ControlHardwareFlow = 3;
constexpr uint8_t ControlDtrOn = 8;
constexpr uint8_t ControlDtrOff = 9;
constexpr uint8_t ControlRtsOn = 11;
constexpr uint8_t ControlRtsOff = 12;

// PURGE-DATA value: both the server's receive and transmit buffers.
constexpr uint8_t PurgeBoth = 3;

// One telnet command taken out of the stream.
struct Event {
    enum class Kind { Negotiation, Subnegotiation };
    Kind kind = Kind::Negotiation;
    uint8_t verb = 0;  // Will, Wont, Do, Dont (negotiations only)
    uint8_t option = 0;
    std::vector<uint8_t> value;  // a subnegotiation's bytes after the option
    bool truncated = false;      // the subnegotiation was longer than the decoder keeps
};

class Decoder {
public:
    // The longest subnegotiation kept; the rest of a longer one is dropped.
    static constexpr size_t MaxSubnegotiation = 32;

    // Decodes `size` bytes: serial bytes are appended to `data`, commands to
    // `events`. Each input byte adds at most one byte to `data` and every
    // event takes at least three input bytes, so the output is bounded by
    // the input. State carries over to the next call.
    void Decode(const uint8_t* input, size_t size, std::vector<uint8_t>& data, std::vector<Event>& events);

private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    void Command(uint8_t byte);  // the byte after an IAC, other than IAC

    State state = State::Data;
    uint8_t verb = 0;
    std::vector<uint8_t> sub;
    bool subTruncated = false;
};

// Appends `data` with every IAC byte doubled.
void AppendEscaped(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
// IAC verb option.
void AppendNegotiation(uint8_t verb, uint8_t option, std::vector<uint8_t>& out);
// IAC SB COM-PORT-OPTION command value IAC SE, IAC bytes of the value doubled.
void AppendComPortCommand(uint8_t command, const std::vector<uint8_t>& value, std::vector<uint8_t>& out);

// One COM-PORT-OPTION setting a client sends for a line setting.
struct ComPortSetting {
    uint8_t command = 0;
    std::vector<uint8_t> value;
    bool operator==(const ComPortSetting&) const = default;
};

// The settings that put a server's port in the state `settings` describe:
// baud rate, data size, parity, stop size, flow control, DTR and RTS.
std::vector<ComPortSetting> ComPortSettings(const SerialSettings& settings);

// A short text for the debug log: "SET-BAUDRATE 19200", "NOTIFY-MODEMSTATE 80",
// "WILL COM-PORT-OPTION".
std::string Describe(const Event& event);
std::string Describe(const ComPortSetting& setting);

}  // namespace serial::telnet
