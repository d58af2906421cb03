#include "support/peers/Ser2net.h"

#include <unistd.h>

#include <fstream>

#include "support/peers/ChildProcess.h"

namespace {
constexpr char Ser2netPath[] = "/usr/sbin/ser2net";
}  // namespace

bool Ser2net::Available() { return access(Ser2netPath, X_OK) == 0; }

Ser2net::Ser2net(const std::string& dir, const std::string& device, bool rfc2217)
    : rfc2217(rfc2217), port(FreeLoopbackPort()) {
    const std::string config = dir + "/ser2net.yaml";
    // No Nagle delay on the connection, and serial bytes forwarded as they
    // come: each frame and its answer cross without waiting.
    std::ofstream(config) << "connection: &ecr\n  accepter: "
                          << (rfc2217 ? "telnet(rfc2217),tcp(nodelay)" : "tcp(nodelay)") << ",127.0.0.1," << port
                          << "\n  connector: serialdev," << device
                          << ",19200n82,local\n  options:\n    chardelay: false\n";
    const std::string output = dir + "/ser2net.out";
    pid = SpawnChild({Ser2netPath, "-n", "-u", "-c", config, "-P", dir + "/ser2net.pid"}, output);
    WaitForChild(pid, "ser2net", output, [&] { return ListeningOnTcpPort(port); });
}

Ser2net::~Ser2net() { Stop(); }

void Ser2net::Stop() { StopChild(pid); }
