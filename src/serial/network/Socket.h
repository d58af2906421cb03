#pragma once
// One TCP connection, non-blocking, with the few calls the network serial
// device needs. PosixSocket.cpp and Win32Socket.cpp implement it; failures
// leave the system's error code where SystemErrorException reads it.
#include <cstddef>
#include <cstdint>
#include <string>

namespace serial {

class Socket {
public:
    Socket() = default;
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Resolves `host` and connects to the first of its addresses that
    // accepts within `timeoutMs` in all. On failure `reason` says why.
    bool Connect(const std::string& host, const std::string& port, int64_t timeoutMs, std::string& reason);
    // Bytes received (> 0), 0 when nothing is there yet, -1 on failure or
    // when the other side has closed the connection (`closed` then true).
    long Receive(uint8_t* buffer, size_t size, bool& closed);
    // Bytes sent (0 when the connection cannot take more now), -1 on failure.
    long Send(const uint8_t* buffer, size_t size);
    // Waits up to `timeoutMs` (-1: no limit) until the connection can be
    // read (or has ended) or, with `forWriting`, written. 1 ready, 0 timed
    // out, -1 failed.
    int Wait(bool forWriting, int64_t timeoutMs);
    void Close();
    bool IsOpen() const { return handle != InvalidHandle; }

private:
    static constexpr intptr_t InvalidHandle = -1;
    intptr_t handle = InvalidHandle;
};

// Sets the system's error code: what a failure of the device reports.
void SetSystemError(int code);
int LastSocketError();
// The code of a connection that the other side ended.
int ConnectionResetError();

}  // namespace serial
