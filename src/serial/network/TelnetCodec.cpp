#include "serial/network/TelnetCodec.h"

#include <cstdio>

namespace serial::telnet {

void Decoder::Decode(const uint8_t* input, size_t size, std::vector<uint8_t>& data, std::vector<Event>& events) {
    for (size_t i = 0; i < size; ++i) {
        const uint8_t byte = input[i];
        switch (state) {
            case State::Data:
                if (byte == Iac) state = State::Iac;
                else data.push_back(byte);
                break;
            case State::Iac:
                if (byte == Iac) {
                    data.push_back(Iac);  // a doubled IAC is the data byte 0xFF
                    state = State::Data;
                } else {
                    Command(byte);
                }
                break;
            case State::Verb:
                events.push_back(Event{Event::Kind::Negotiation, verb, byte, {}, false});
                state = State::Data;
                break;
            case State::Sub:
                if (byte == Iac) state = State::SubIac;
                else if (sub.size() < MaxSubnegotiation) sub.push_back(byte);
                else subTruncated = true;
                break;
            case State::SubIac:
                if (byte == Iac) {
                    if (sub.size() < MaxSubnegotiation) sub.push_back(byte);
                    else subTruncated = true;
                    state = State::Sub;
                } else if (byte == Se) {
                    if (!sub.empty()) {
                        Event event{Event::Kind::Subnegotiation, 0, sub[0], {}, subTruncated};
                        event.value.assign(sub.begin() + 1, sub.end());
                        events.push_back(std::move(event));
                    }
                    sub.clear();
                    state = State::Data;
                } else {
                    // A broken subnegotiation: it is dropped, and the byte
                    // is taken as the command it names.
                    sub.clear();
                    Command(byte);
                }
                break;
        }
    }
}

void Decoder::Command(uint8_t byte) {
    state = State::Data;
    if (byte == Will || byte == Wont || byte == Do || byte == Dont) {
        verb = byte;
        state = State::Verb;
    } else if (byte == Sb) {
        sub.clear();
        subTruncated = false;
        state = State::Sub;
    }
    // Every other command (NOP, GA, a stray SE, ...) carries nothing for a serial line.
}

void AppendEscaped(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    for (size_t i = 0; i < size; ++i) {
        out.push_back(data[i]);
        if (data[i] == Iac) out.push_back(Iac);
    }
}

void AppendNegotiation(uint8_t verb, uint8_t option, std::vector<uint8_t>& out) {
    out.insert(out.end(), {Iac, verb, option});
}

void AppendComPortCommand(uint8_t command, const std::vector<uint8_t>& value, std::vector<uint8_t>& out) {
    out.insert(out.end(), {Iac, Sb, OptionComPort, command});
    AppendEscaped(value.data(), value.size(), out);
    out.insert(out.end(), {Iac, Se});
}

std::vector<ComPortSetting> ComPortSettings(const SerialSettings& settings) {
    const uint32_t baud = settings.baudRate;
    const uint8_t dataSize = static_cast<uint8_t>(settings.dataBits == 0 ? 8 : settings.dataBits);
    uint8_t parity = 1;
    switch (settings.parity) {
        case Parity::None: parity = 1; break;
        case Parity::Odd: parity = 2; break;
        case Parity::Even: parity = 3; break;
        case Parity::Mark: parity = 4; break;
        case Parity::Space: parity = 5; break;
    }
    uint8_t stopSize = 1;
    switch (settings.stopBits) {
        case StopBits::One: stopSize = 1; break;
        case StopBits::Two: stopSize = 2; break;
        case StopBits::OneAndHalf: stopSize = 3; break;
    }
    // As on a local port: CTS output flow means RTS/CTS handshake; DTR and
    // RTS are raised unless switched off (a handshake value raises them).
    uint8_t flow = settings.ctsOutputFlow ? ControlHardwareFlow : settings.xonXoff ? ControlXonXoff : ControlNoFlow;
    return {
        {SetBaudRate,
         {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16), static_cast<uint8_t>(baud >> 8),
          static_cast<uint8_t>(baud)}},
        {SetDataSize, {dataSize}},
        {SetParity, {parity}},
        {SetStopSize, {stopSize}},
        {SetControl, {flow}},
        {SetControl, {settings.dtrControl != LineControl::Off ? ControlDtrOn : ControlDtrOff}},
        {SetControl, {settings.rtsControl != LineControl::Off ? ControlRtsOn : ControlRtsOff}},
    };
}

namespace {

std::string OptionName(uint8_t option) {
    switch (option) {
        case OptionBinary: return "BINARY";
        case OptionSuppressGoAhead: return "SUPPRESS-GO-AHEAD";
        case OptionComPort: return "COM-PORT-OPTION";
        default: return std::string("option ").append(std::to_string(option));
    }
}

std::string CommandName(uint8_t command) {
    static const char* const names[] = {
        "SIGNATURE",          "SET-BAUDRATE",        "SET-DATASIZE",      "SET-PARITY",          "SET-STOPSIZE",
        "SET-CONTROL",        "NOTIFY-LINESTATE",    "NOTIFY-MODEMSTATE", "FLOWCONTROL-SUSPEND", "FLOWCONTROL-RESUME",
        "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK", "PURGE-DATA"};
    uint8_t base = command >= ServerReplyOffset ? static_cast<uint8_t>(command - ServerReplyOffset) : command;
    if (base < sizeof names / sizeof names[0]) return names[base];
    return std::string("command ").append(std::to_string(command));
}

std::string ValueText(uint8_t command, const std::vector<uint8_t>& value) {
    uint8_t base = command >= ServerReplyOffset ? static_cast<uint8_t>(command - ServerReplyOffset) : command;
    if (base == SetBaudRate && value.size() == 4) {
        uint32_t baud = static_cast<uint32_t>(value[0]) << 24 | static_cast<uint32_t>(value[1]) << 16 |
                        static_cast<uint32_t>(value[2]) << 8 | value[3];
        return std::string(" ").append(std::to_string(baud));
    }
    std::string text;
    char digits[4];
    for (uint8_t byte : value) {
        std::snprintf(digits, sizeof digits, " %02x", byte);
        text += digits;
    }
    return text;
}

}  // namespace

std::string Describe(const Event& event) {
    if (event.kind == Event::Kind::Negotiation) {
        const char* verb = event.verb == Will ? "WILL" : event.verb == Wont ? "WONT" : event.verb == Do ? "DO" : "DONT";
        return std::string(verb) + " " + OptionName(event.option);
    }
    if (event.option != OptionComPort) return "subnegotiation of " + OptionName(event.option);
    if (event.value.empty()) return "empty COM-PORT-OPTION subnegotiation";
    std::vector<uint8_t> rest(event.value.begin() + 1, event.value.end());
    return CommandName(event.value[0]) + ValueText(event.value[0], rest) + (event.truncated ? " (cut short)" : "");
}

std::string Describe(const ComPortSetting& setting) {
    return CommandName(setting.command) + ValueText(setting.command, setting.value);
}

}  // namespace serial::telnet
