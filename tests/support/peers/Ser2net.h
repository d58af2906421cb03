#pragma once
// ser2net in front of a serial device (the simulator's pty), on loopback,
// configured as the README gives it for an ECR line. Stopped by its
// destructor, and with the process that started it.
#include <sys/types.h>

#include <string>

class Ser2net {
public:
    // Serves `device` at 19200 8N2 on a free port of 127.0.0.1 with the
    // telnet RFC 2217 accepter or the raw one; files go to `dir`.
    Ser2net(const std::string& dir, const std::string& device, bool rfc2217);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    static bool Available();  // false when ser2net is not installed
    std::string Url() const {
        return (rfc2217 ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") + std::to_string(port);
    }
    void Stop();

private:
    bool rfc2217;
    int port = 0;
    pid_t pid = -1;
};
