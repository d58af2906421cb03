// The network serial device against a misbehaving server on loopback: a
// flood of telnet commands without serial bytes, data, then the end.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "serial/network/NetworkSerialDevice.h"

namespace {

// A one-connection server on 127.0.0.1 that runs `serve` on the accepted socket.
class LoopbackServer {
public:
    template <typename Serve>
    explicit LoopbackServer(Serve serve) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        listen(listener, 1);
        port = ntohs(address.sin_port);
        thread = std::thread([this, serve] {
            int peer = accept(listener, nullptr, nullptr);
            if (peer >= 0) serve(peer);
            if (peer >= 0) close(peer);
        });
    }
    ~LoopbackServer() {
        thread.join();
        close(listener);
    }
    std::string Url(const char* scheme) const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port); }

private:
    int listener = -1;
    int port = 0;
    std::thread thread;
};

bool SendBytes(int peer, const std::vector<uint8_t>& bytes) {
    return send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0;
}

}  // namespace

TEST(NetworkSerialDevice, EndlessTelnetCommandsNeitherFillTheReadNorHoldItPastItsTimeOut) {
    std::atomic<bool> readDone{false};
    LoopbackServer server([&](int peer) {
        SendBytes(peer, {0xFF, 253, 44});  // DO COM-PORT-OPTION
        // A subnegotiation that never ends, and DO for every option, until the read gave up.
        SendBytes(peer, {0xFF, 250, 44});
        std::vector<uint8_t> junk(4096, 0x55);
        // (A client that gave up ends the flood too, so a failure cannot hang the test.)
        while (!readDone && SendBytes(peer, junk)) {}
        SendBytes(peer, {0xFF, 240});
        for (int option = 0; option < 256; ++option) SendBytes(peer, {0xFF, 253, static_cast<uint8_t>(option)});
        SendBytes(peer, {0x41, 0xFF, 0xFF, 0x42});
        // Then the server ends the connection (and takes in the client's
        // answers, so that the end is a clean one).
        shutdown(peer, SHUT_WR);
        char sink[256];
        while (recv(peer, sink, sizeof sink, 0) > 0) {}
    });
    serial::NetworkSerialDevice device;
    ASSERT_TRUE(device.Open(server.Url("rfc2217")));
    serial::SerialTimeouts timeouts;
    timeouts.readTotalTimeoutConstant = 100;
    ASSERT_TRUE(device.SetTimeouts(timeouts));
    uint8_t buffer[8] = {};
    size_t received = 99;
    EXPECT_TRUE(device.Read(buffer, sizeof buffer, received));
    EXPECT_EQ(received, 0u) << "telnet commands are no serial bytes";
    readDone = true;

    // The three serial bytes come, then the end of the connection is a failure, not a time-out.
    timeouts.readTotalTimeoutConstant = 20000;
    ASSERT_TRUE(device.SetTimeouts(timeouts));
    EXPECT_FALSE(device.Read(buffer, sizeof buffer, received));
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_EQ(std::string(buffer, buffer + received),
              "A\xFF"
              "B");
    uint32_t status = 0;
    EXPECT_FALSE(device.GetModemStatus(status));
    device.Close();
}

TEST(NetworkSerialDevice, RawTcpHasNoModemLines) {
    LoopbackServer server([](int peer) {
        char byte;
        recv(peer, &byte, 1, 0);  // until the client closes
    });
    serial::NetworkSerialDevice device;
    ASSERT_TRUE(device.Open(server.Url("socket")));
    uint32_t status = 0;
    EXPECT_FALSE(device.GetModemStatus(status));
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_FALSE(device.ClearDtr());
    EXPECT_EQ(errno, ENOTTY);
    device.Close();
}

TEST(NetworkSerialDevice, ServerThatWaitsForTheClientAndRefusesTheComPortOptionFailsTheSettings) {
    // Says nothing until the client's WILL COM-PORT-OPTION has come, then refuses it.
    LoopbackServer server([](int peer) {
        std::vector<uint8_t> seen;
        uint8_t chunk[64];
        const std::vector<uint8_t> will{0xFF, 251, 44};
        while (std::search(seen.begin(), seen.end(), will.begin(), will.end()) == seen.end()) {
            long n = recv(peer, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            seen.insert(seen.end(), chunk, chunk + n);
        }
        SendBytes(peer, {0xFF, 254, 44});  // DONT COM-PORT-OPTION
        while (recv(peer, chunk, sizeof chunk, 0) > 0) {}
    });
    serial::NetworkSerialDevice device;
    ASSERT_TRUE(device.Open(server.Url("rfc2217")));
    serial::SerialSettings settings;
    settings.baudRate = 19200;
    EXPECT_FALSE(device.Apply(settings)) << "the line settings cannot reach the port";
    device.Close();
}
