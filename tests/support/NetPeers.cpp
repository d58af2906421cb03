#include "support/NetPeers.h"

ModemPortServer::ModemPortServer(const std::string& dirPath, const std::string& device, bool carrierAtStart)
    : dir(dirPath) {
    const std::string portFile = dir + "/modem_port";
    const std::string output = dir + "/modem_port.out";
    pid = SpawnChild({"/usr/bin/python3", TEST_SUPPORT_DIR "/modem_port_server.py", device, portFile, dir + "/dtr.log",
                      carrierAtStart ? "on" : "off"},
                     output);
    WaitForChild(pid, "modem_port_server.py", output, [&] {
        std::string text = ReadWholeFile(portFile);
        if (text.empty() || text.back() != '\n') return false;
        port = std::stoi(text);
        return true;
    });
}

ModemPortServer::~ModemPortServer() { StopChild(pid); }

std::string ModemPortServer::DtrLog() const { return ReadWholeFile(dir + "/dtr.log"); }
