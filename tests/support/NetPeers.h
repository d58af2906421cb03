#pragma once
// Serial device servers for the end-to-end tests, all on loopback: ser2net
// in front of the simulator's pty, and pyserial's RFC 2217 port manager in
// front of a pty whose carrier follows the modem's words and whose DTR is
// recorded. Each is stopped by its destructor (and with the test process).
#include <string>

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeTcpPort();

// ser2net serving `device` at 19200 8N2 on a port of 127.0.0.1, with the
// telnet RFC 2217 accepter or the raw one.
class Ser2net {
public:
    Ser2net(const std::string& dir, const std::string& device, bool rfc2217);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    std::string Url() const { return (rfc2217 ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") + std::to_string(port); }
    void Stop();

private:
    bool rfc2217;
    int port = 0;
    int pid = -1;
};

// tests/support/modem_port_server.py: pyserial's PortManager over `device`.
// Carrier is `carrierAtStart` until the modem's "CONNECT" raises it or its
// "NO CARRIER" (or a dropped DTR) drops it; DTR changes go to <dir>/dtr.log.
class ModemPortServer {
public:
    ModemPortServer(const std::string& dir, const std::string& device, bool carrierAtStart);
    ~ModemPortServer();
    ModemPortServer(const ModemPortServer&) = delete;
    ModemPortServer& operator=(const ModemPortServer&) = delete;

    std::string Url() const { return "rfc2217://[::1]:" + std::to_string(port); }
    std::string DtrLog() const;

private:
    std::string dir;
    int port = 0;
    int pid = -1;
};
