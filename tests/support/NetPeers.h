#pragma once
// Serial device servers for the end-to-end tests, all on loopback: ser2net
// in front of the simulator's pty, and pyserial's RFC 2217 port manager in
// front of a pty whose carrier follows the modem's words and whose DTR is
// recorded. Each is stopped by its destructor (and with the test process).
#include <sys/types.h>

#include <string>

#include "support/peers/ChildProcess.h"
#include "support/peers/Ser2net.h"

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
    pid_t pid = -1;
};
