#include "support/NetPeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts `args` with output to `outputPath`; the child ends with the test process.
int Spawn(const std::vector<std::string>& args, const std::string& outputPath) {
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) _exit(127);
        int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_RDONLY);
        if (out < 0 || null < 0) _exit(127);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        dup2(null, STDIN_FILENO);
        std::vector<std::string> copies = args;
        std::vector<char*> argv;
        for (auto& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

void StopProcess(int& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

// True when a TCP port of this host listens on `port` (read from /proc, so
// that no probe connection reaches the server).
bool Listening(int port) {
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X ", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(ReadText(table));
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && (local + " ").find(wanted) != std::string::npos) return true;
        }
    }
    return false;
}

void WaitUntil(int& pid, const std::string& what, const std::string& outputPath, auto ready) {
    for (int i = 0; i < 1000; ++i) {
        if (ready()) return;
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            throw std::runtime_error(what + " exited at start: " + ReadText(outputPath));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    StopProcess(pid);
    throw std::runtime_error(what + " did not start: " + ReadText(outputPath));
}

}  // namespace

int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free TCP port");
    close(fd);
    return ntohs(address.sin_port);
}

Ser2net::Ser2net(const std::string& dir, const std::string& device, bool rfc2217) : rfc2217(rfc2217) {
    port = FreeTcpPort();
    const std::string config = dir + "/ser2net.yaml";
    // The configuration the README gives for an ECR line.
    std::ofstream(config) << "connection: &ecr\n  accepter: " << (rfc2217 ? "telnet(rfc2217),tcp(nodelay)" : "tcp(nodelay)")
                          << ",127.0.0.1," << port << "\n  connector: serialdev," << device
                          << ",19200n82,local\n  options:\n    chardelay: false\n";
    const std::string output = dir + "/ser2net.out";
    pid = Spawn({"ser2net", "-n", "-u", "-c", config, "-P", dir + "/ser2net.pid"}, output);
    WaitUntil(pid, "ser2net", output, [&] { return Listening(port); });
}

Ser2net::~Ser2net() { Stop(); }

void Ser2net::Stop() { StopProcess(pid); }

ModemPortServer::ModemPortServer(const std::string& dirPath, const std::string& device, bool carrierAtStart)
    : dir(dirPath) {
    const std::string portFile = dir + "/modem_port";
    const std::string output = dir + "/modem_port.out";
    pid = Spawn({"/usr/bin/python3", TEST_SUPPORT_DIR "/modem_port_server.py", device, portFile, dir + "/dtr.log",
                 carrierAtStart ? "on" : "off"},
                output);
    WaitUntil(pid, "modem_port_server.py", output, [&] {
        std::string text = ReadText(portFile);
        if (text.empty() || text.back() != '\n') return false;
        port = std::stoi(text);
        return true;
    });
}

ModemPortServer::~ModemPortServer() { StopProcess(pid); }

std::string ModemPortServer::DtrLog() const { return ReadText(dir + "/dtr.log"); }
