#include "support/peers/ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void ExecWithOutput(const std::string& outputPath, std::vector<std::string> args, bool keepErrors) {
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDONLY);
    if (out < 0 || null < 0) _exit(127);
    dup2(out, STDOUT_FILENO);
    if (!keepErrors) dup2(out, STDERR_FILENO);
    dup2(null, STDIN_FILENO);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

pid_t SpawnChild(const std::vector<std::string>& args, const std::string& outputPath, bool keepErrors) {
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) _exit(127);
        ExecWithOutput(outputPath, args, keepErrors);
    }
    return child;
}

void StopChild(pid_t& pid) {
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

void WaitForChild(pid_t& pid, const std::string& what, const std::string& outputPath,
                  const std::function<bool()>& ready) {
    for (int i = 0; i < 1000; ++i) {
        if (ready()) return;
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            throw std::runtime_error(what + " exited at start: " + ReadWholeFile(outputPath));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    StopChild(pid);
    throw std::runtime_error(what + " did not start: " + ReadWholeFile(outputPath));
}

int FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) close(fd);
    if (!ok) throw std::runtime_error("no free TCP port");
    return ntohs(address.sin_port);
}

bool ListeningOnTcpPort(int port) {
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X ", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(ReadWholeFile(table));
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
