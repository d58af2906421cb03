#include "serial/network/NetworkSerialDevice.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Clock.h"
#include "serial/BytePacing.h"
#include "serial/DeviceErrors.h"
#include "serial/DeviceLog.h"
#include "serial/ReadDeadline.h"

namespace serial {

namespace {

constexpr char Rfc2217Scheme[] = "rfc2217://";
constexpr char SocketScheme[] = "socket://";
// Serial bytes held for the reader at most; beyond that the server's bytes
// wait in the connection, so a flood cannot grow memory.
constexpr size_t InputLimit = 4096;
// Bytes taken from the connection in one go at most: a server that sends
// telnet commands without a pause (no serial byte for the reader) must not
// keep a read from looking at its time-out.
constexpr size_t PumpLimit = 16 * 1024;
// Notes about one connection in the debug log at most: a server that
// negotiates without end must not fill the log.
constexpr int MaxNotes = 100;
// How long closing, a settings change or a DTR drop may wait for the
// connection when no write time-out is set.
constexpr int64_t DefaultControlWaitMs = 1000;
// CD and its change bit: a server then reports a carrier loss as well as
// a rise (with CD alone some report only the rise).
constexpr uint8_t ModemStateMask = 0x88;
constexpr uint8_t PurgeTransmit = 2;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t length = std::strlen(prefix);
    if (text.size() < length) return false;
    for (size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

bool IsWanted(uint8_t option) {
    return option == telnet::OptionBinary || option == telnet::OptionSuppressGoAhead || option == telnet::OptionComPort;
}

bool TestBit(const uint8_t* bits, uint8_t option) { return (bits[option / 8] >> (option % 8)) & 1; }
void SetBit(uint8_t* bits, uint8_t option) {
    bits[option / 8] = static_cast<uint8_t>(bits[option / 8] | 1 << (option % 8));
}

// A millisecond clock reading that is never early: deadlines counted from
// it never end a wait before its time.
int64_t NowCeilMs() { return platform::MonotonicMilliseconds() + 1; }

int64_t ControlDeadline(const SerialTimeouts& timeouts) {
    int64_t now = platform::MonotonicMilliseconds();
    int64_t deadline = WriteDeadlineMs(timeouts, 0, now);
    return deadline < 0 ? now + DefaultControlWaitMs : deadline;
}

}  // namespace

bool IsNetworkDevice(const std::string& path) {
    return StartsWithNoCase(path, Rfc2217Scheme) || StartsWithNoCase(path, SocketScheme);
}

bool ParseNetworkAddress(const std::string& path, NetworkAddress& address) {
    NetworkAddress parsed;
    std::string rest;
    if (StartsWithNoCase(path, Rfc2217Scheme)) {
        parsed.rfc2217 = true;
        rest = path.substr(std::strlen(Rfc2217Scheme));
    } else if (StartsWithNoCase(path, SocketScheme)) {
        rest = path.substr(std::strlen(SocketScheme));
    } else {
        return false;
    }
    size_t portAt;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        parsed.host = rest.substr(1, close - 1);
        portAt = close + 2;
    } else {
        size_t colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        parsed.host = rest.substr(0, colon);
        // An IPv6 address needs its brackets: the port would be ambiguous.
        if (parsed.host.find(':') != std::string::npos) return false;
        portAt = colon + 1;
    }
    parsed.port = rest.substr(portAt);
    if (parsed.host.empty() || parsed.port.empty() || parsed.port.size() > 5) return false;
    for (char ch : parsed.port)
        if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
    long number = std::stol(parsed.port);
    if (number < 1 || number > 65535) return false;
    parsed.port = std::to_string(number);
    for (char ch : parsed.host)
        if (std::isspace(static_cast<unsigned char>(ch)) || ch == '/' || ch == '[' || ch == ']') return false;
    address = parsed;
    return true;
}

bool NetworkSerialDevice::Fail(int error) {
    SetSystemError(error);
    return false;
}

void NetworkSerialDevice::Note(const std::string& text) {
    if (notesLeft <= 0) return;
    --notesLeft;
    DeviceLog(notesLeft == 0 ? "Serial device server: further notes of this connection are left out" : text);
}

bool NetworkSerialDevice::Open(const std::string& path) {
    Close();
    notesLeft = MaxNotes;
    if (!ParseNetworkAddress(path, address)) {
        Note("Serial device server address not understood (rfc2217://host:port or socket://host:port): " + path);
        return Fail(InvalidArgumentError());
    }
    std::string reason;
    if (!socket.Connect(address.host, address.port, ConnectTimeoutMs, reason)) {
        int error = LastSocketError();
        Note("Cannot connect to serial device server " + address.host + " port " + address.port + ": " + reason);
        return Fail(error);
    }
    decoder = telnet::Decoder();
    input.clear();
    inputStart = 0;
    control.clear();
    peerClosed = false;
    peerError = 0;
    comPortAnswered = comPortRefused = false;
    std::memset(sentWill, 0, sizeof sentWill);
    std::memset(sentDo, 0, sizeof sentDo);
    modemState = 0;
    applied.clear();
    current = SerialTimeouts{};
    characterTimeUs = 0;
    incomingCharacterTimeUs = 0;
    outputDoneMs = 0;
    Note("Connected to serial device server " + address.host + " port " + address.port +
         (address.rfc2217 ? " (RFC 2217)" : " (raw TCP)"));
    if (!address.rfc2217) return true;

    // The COM-PORT-OPTION goes first: some servers wait for it.
    Negotiate(telnet::Will, telnet::OptionComPort);
    Negotiate(telnet::Will, telnet::OptionBinary);
    Negotiate(telnet::Do, telnet::OptionBinary);
    Negotiate(telnet::Will, telnet::OptionSuppressGoAhead);
    Negotiate(telnet::Do, telnet::OptionSuppressGoAhead);
    int64_t deadline = platform::MonotonicMilliseconds() + NegotiationTimeoutMs;
    // Sent now, not after the wait: a server may say nothing until the client has spoken.
    size_t ignored = 0;
    if (!SendAll({}, deadline, ignored) || !control.empty()) {
        int error = control.empty() ? LastSocketError() : TimedOutError();
        Note("Cannot send the telnet requests to serial device server " + address.host + " port " + address.port);
        Close();
        return Fail(error);
    }
    while (!comPortAnswered && !peerClosed) {
        int64_t left = deadline - platform::MonotonicMilliseconds();
        if (left <= 0) break;
        if (!PumpWaiting(left)) break;
    }
    if (peerClosed) {
        int error = peerError;
        Close();
        return Fail(error);
    }
    if (!comPortAnswered) Note("Serial device server did not answer WILL COM-PORT-OPTION; going on");
    if (!comPortRefused) SendCommand(telnet::SetModemStateMask, {ModemStateMask});
    return true;
}

void NetworkSerialDevice::Negotiate(uint8_t verb, uint8_t option) {
    if (verb == telnet::Will || verb == telnet::Wont) SetBit(sentWill, option);
    else SetBit(sentDo, option);
    telnet::AppendNegotiation(verb, option, control);
    Note("Telnet to server: " +
         telnet::Describe(telnet::Event{telnet::Event::Kind::Negotiation, verb, option, {}, false}));
}

void NetworkSerialDevice::SendCommand(uint8_t command, const std::vector<uint8_t>& value) {
    telnet::AppendComPortCommand(command, value, control);
    Note("RFC 2217 to server: " + telnet::Describe(telnet::ComPortSetting{command, value}));
}

void NetworkSerialDevice::Handle(const telnet::Event& event) {
    Note("Telnet from server: " + telnet::Describe(event));
    if (event.kind == telnet::Event::Kind::Subnegotiation) {
        const auto& value = event.value;
        if (event.option == telnet::OptionComPort && value.size() >= 2 &&
            value[0] == telnet::NotifyModemState + telnet::ServerReplyOffset)
            modemState = value[1] & 0xF0u;
        // Acknowledgements of settings are only logged: see Apply.
        return;
    }
    // Each option is answered once at most, so that no exchange of
    // negotiations can go on for ever.
    const uint8_t option = event.option;
    if (event.verb == telnet::Will && !TestBit(sentDo, option)) {
        Negotiate(IsWanted(option) ? telnet::Do : telnet::Dont, option);
    } else if (event.verb == telnet::Do && !TestBit(sentWill, option)) {
        Negotiate(IsWanted(option) ? telnet::Will : telnet::Wont, option);
    }
    if (option == telnet::OptionComPort && (event.verb == telnet::Do || event.verb == telnet::Dont)) {
        comPortAnswered = true;
        comPortRefused = event.verb == telnet::Dont;
    }
}

bool NetworkSerialDevice::Pump() {
    if (!IsOpen()) return false;
    size_t ignored = 0;
    if (!control.empty()) SendAll({}, platform::MonotonicMilliseconds(), ignored);
    std::vector<telnet::Event> events;
    size_t taken = 0;
    while (!peerClosed && taken < PumpLimit) {
        size_t pending = input.size() - inputStart;
        if (pending >= InputLimit) break;
        if (inputStart > 0) {
            input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(inputStart));
            inputStart = 0;
        }
        uint8_t chunk[1024];
        bool closed = false;
        long n = socket.Receive(chunk, std::min(sizeof chunk, InputLimit - pending), closed);
        if (n == 0) break;
        if (n > 0) taken += static_cast<size_t>(n);
        if (n < 0) {
            peerClosed = true;
            peerError = LastSocketError();
            Note(closed ? "Serial device server closed the connection" : "Connection to serial device server failed");
            break;
        }
        if (!address.rfc2217) {
            input.insert(input.end(), chunk, chunk + n);
            continue;
        }
        events.clear();
        decoder.Decode(chunk, static_cast<size_t>(n), input, events);
        for (const auto& event : events) Handle(event);
    }
    if (!control.empty()) SendAll({}, platform::MonotonicMilliseconds(), ignored);
    return true;
}

bool NetworkSerialDevice::PumpWaiting(int64_t timeoutMs) {
    if (!IsOpen()) return false;
    if (socket.Wait(false, timeoutMs) < 0) return false;
    return Pump();
}

bool NetworkSerialDevice::SendAll(const std::vector<uint8_t>& data, int64_t deadlineMs, size_t& sent) {
    sent = 0;
    std::vector<uint8_t> out;
    out.swap(control);
    const size_t controlSize = out.size();
    out.insert(out.end(), data.begin(), data.end());
    size_t done = 0;
    bool ok = true;
    while (done < out.size()) {
        long n = socket.Send(out.data() + done, out.size() - done);
        if (n < 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
        if (done == out.size()) break;
        int64_t left = -1;
        if (deadlineMs >= 0) {
            left = deadlineMs - platform::MonotonicMilliseconds();
            if (left <= 0) break;
        }
        if (socket.Wait(true, left) < 0) {
            ok = false;
            break;
        }
    }
    // Control bytes that did not go out wait for the next chance.
    if (done < controlSize)
        control.assign(out.begin() + static_cast<std::ptrdiff_t>(done),
                       out.begin() + static_cast<std::ptrdiff_t>(controlSize));
    sent = done > controlSize ? done - controlSize : 0;
    return ok;
}

bool NetworkSerialDevice::Apply(const SerialSettings& settings) {
    if (!IsOpen()) return FailNotOpen();
    characterTimeUs = CharacterTimeUs(settings);
    incomingCharacterTimeUs = IncomingCharacterTimeUs(settings);
    if (!address.rfc2217) return true;
    if (comPortRefused) {
        Note("Serial device server refuses the COM-PORT-OPTION: the line settings cannot be applied");
        return Fail(NotSupportedError());
    }
    // Settings are sent and not waited for: the server applies them before
    // any serial byte sent after them, as the connection keeps the order,
    // and servers differ in which settings they acknowledge at all.
    std::vector<telnet::ComPortSetting> wanted = telnet::ComPortSettings(settings);
    for (size_t i = 0; i < wanted.size(); ++i)
        if (i >= applied.size() || !(applied[i] == wanted[i])) SendCommand(wanted[i].command, wanted[i].value);
    applied = wanted;
    size_t ignored = 0;
    if (!SendAll({}, ControlDeadline(current), ignored)) return Fail(LastSocketError());
    if (!control.empty()) return Fail(TimedOutError());
    return true;
}

bool NetworkSerialDevice::SetQueueSizes(uint32_t, uint32_t) { return IsOpen() ? true : FailNotOpen(); }

bool NetworkSerialDevice::SetTimeouts(const SerialTimeouts& timeouts) {
    if (!IsOpen()) return FailNotOpen();
    current = timeouts;
    return true;
}

bool NetworkSerialDevice::GetTimeouts(SerialTimeouts& timeouts) {
    if (!IsOpen()) return FailNotOpen();
    timeouts = current;
    return true;
}

bool NetworkSerialDevice::Read(uint8_t* buffer, size_t size, size_t& received) {
    received = 0;
    if (!IsOpen()) return FailNotOpen();
    ReadDeadline deadline(current, size, NowCeilMs());
    while (true) {
        Pump();
        size_t count = std::min(size - received, input.size() - inputStart);
        if (count > 0) {
            std::memcpy(buffer + received, input.data() + inputStart, count);
            inputStart += count;
            received += count;
            deadline.ByteReceived(NowCeilMs());
        }
        if (received == size) return true;
        // Bytes that came before the end are handed out; then the end is a failure.
        if (peerClosed) return Fail(peerError);
        int64_t remaining = deadline.RemainingMs(platform::MonotonicMilliseconds());
        if (remaining == 0) return true;
        // A server may pass the line's bytes on one by one: sleep while the
        // rest comes at line speed rather than wake for each, all but the
        // last byte, which the wait below takes the moment it comes.
        if (count > 0)
            platform::SleepMicroseconds(
                PauseForBytesUs(size - received - 1, incomingCharacterTimeUs, current, remaining));
        if (socket.Wait(false, remaining) < 0) return Fail(LastSocketError());
    }
}

bool NetworkSerialDevice::Write(const uint8_t* buffer, size_t count, size_t& written) {
    written = 0;
    if (!IsOpen()) return FailNotOpen();
    Pump();
    if (peerClosed) return Fail(peerError);
    const int64_t start = platform::MonotonicMilliseconds();
    std::vector<uint8_t> wire;
    if (address.rfc2217) telnet::AppendEscaped(buffer, count, wire);
    else wire.assign(buffer, buffer + count);
    size_t sent = 0;
    bool ok = SendAll(wire, WriteDeadlineMs(current, count, start), sent);
    if (!address.rfc2217) {
        written = sent;
    } else {
        size_t at = 0;
        for (size_t i = 0; i < count; ++i) {
            size_t length = buffer[i] == telnet::Iac ? 2 : 1;
            if (at + length > sent) {
                // Half of a doubled IAC went out: its other half must follow.
                if (at < sent) control.push_back(telnet::Iac);
                break;
            }
            at += length;
            ++written;
        }
    }
    if (!ok) return Fail(LastSocketError());
    if (written < count && address.rfc2217) {
        // Timed out: what the server still holds is dropped, as a local port does.
        SendCommand(telnet::PurgeData, {PurgeTransmit});
        Pump();
    }
    if (characterTimeUs > 0)
        outputDoneMs = std::max(outputDoneMs, start) + (static_cast<int64_t>(written) * characterTimeUs + 999) / 1000;
    return true;
}

bool NetworkSerialDevice::GetModemStatus(uint32_t& status) {
    status = 0;
    if (!IsOpen()) return FailNotOpen();
    if (!address.rfc2217) return Fail(NoModemLinesError());
    // Notifications that came in the meantime are taken in first.
    Pump();
    if (peerClosed) return Fail(peerError);
    status = modemState;
    return true;
}

bool NetworkSerialDevice::ClearDtr() {
    if (!IsOpen()) return FailNotOpen();
    if (!address.rfc2217) return Fail(NoModemLinesError());
    if (peerClosed) return Fail(peerError);
    SendCommand(telnet::SetControl, {telnet::ControlDtrOff});
    size_t ignored = 0;
    if (!SendAll({}, ControlDeadline(current), ignored)) return Fail(LastSocketError());
    if (!control.empty()) return Fail(TimedOutError());
    return true;
}

bool NetworkSerialDevice::Flush() {
    if (!IsOpen()) return FailNotOpen();
    // The server's port sends what was written at the line speed: wait for
    // that within the write time-out, then drop what is left.
    int64_t deadline = ControlDeadline(current);
    size_t ignored = 0;
    if (!control.empty()) SendAll({}, deadline, ignored);
    int64_t wait = std::min(outputDoneMs, deadline) - platform::MonotonicMilliseconds();
    if (wait > 0) platform::SleepMilliseconds(wait);
    if (address.rfc2217 && outputDoneMs > deadline) {
        SendCommand(telnet::PurgeData, {PurgeTransmit});
        SendAll({}, platform::MonotonicMilliseconds(), ignored);
    }
    return true;
}

void NetworkSerialDevice::Close() {
    if (!IsOpen()) return;
    size_t ignored = 0;
    if (!control.empty()) SendAll({}, platform::MonotonicMilliseconds(), ignored);
    socket.Close();
    input.clear();
    inputStart = 0;
    control.clear();
    Note("Disconnected from serial device server " + address.host + " port " + address.port);
}

}  // namespace serial
