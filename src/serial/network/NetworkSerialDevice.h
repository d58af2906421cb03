#pragma once
// The serial line of a serial device server, reached over TCP: with
// "rfc2217://host:port" the telnet COM-PORT-OPTION carries the line
// settings and modem lines as well; with "socket://host:port" the
// connection carries the bytes alone. Reads and writes keep the serial
// time-out rule, counted on the serial bytes.
#include <memory>
#include <string>
#include <vector>

#include "serial/SerialDevice.h"
#include "serial/network/Socket.h"
#include "serial/network/TelnetCodec.h"

namespace serial {

struct NetworkAddress {
    bool rfc2217 = false;
    std::string host;  // without the brackets of an IPv6 address
    std::string port;
};

// True for "rfc2217://..." and "socket://..." (scheme in any case).
bool IsNetworkDevice(const std::string& path);
// Splits such an address; false when it has no host or no port number
// (1 to 65535), or carries anything after the port.
bool ParseNetworkAddress(const std::string& path, NetworkAddress& address);

class NetworkSerialDevice : public SerialDevice {
public:
    // The longest the connection to a server may take, over all of its
    // addresses, and then the wait for its answer to the COM-PORT-OPTION.
    static constexpr int64_t ConnectTimeoutMs = 5000;
    static constexpr int64_t NegotiationTimeoutMs = 2000;

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
    bool IsOpen() const override { return socket.IsOpen(); }

private:
    bool Fail(int error);
    // Takes in what the server has sent so far, without waiting.
    bool Pump();
    // Waits up to `timeoutMs` for more from the server, then takes it in.
    bool PumpWaiting(int64_t timeoutMs);
    void Handle(const telnet::Event& event);
    void Negotiate(uint8_t verb, uint8_t option);
    void SendCommand(uint8_t command, const std::vector<uint8_t>& value);
    // Sends queued control bytes and then `data`, until `deadlineMs` (-1:
    // no limit); returns how many bytes of `data` went out.
    bool SendAll(const std::vector<uint8_t>& data, int64_t deadlineMs, size_t& sent);
    void Note(const std::string& text);

    Socket socket;
    NetworkAddress address;
    telnet::Decoder decoder;
    std::vector<uint8_t> input;  // serial bytes received and not yet read
    size_t inputStart = 0;
    std::vector<uint8_t> control;  // telnet commands waiting to be sent
    bool peerClosed = false;
    int peerError = 0;
    bool comPortAnswered = false;
    bool comPortRefused = false;
    uint8_t sentWill[32] = {};  // bit sets over the 256 options
    uint8_t sentDo[32] = {};
    uint32_t modemState = 0;
    std::vector<telnet::ComPortSetting> applied;
    SerialTimeouts current;
    int64_t characterTimeUs = 0;          // one character on the server's line
    int64_t incomingCharacterTimeUs = 0;  // the shortest character the far end may send
    int64_t outputDoneMs = 0;             // when the server's line has sent what we wrote
    int notesLeft = 0;
};

}  // namespace serial
