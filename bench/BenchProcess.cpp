#include "BenchProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

namespace {

// In a forked child: standard output and error to `outputPath`, standard
// input from /dev/null, then exec. Never returns.
[[noreturn]] void ExecChild(const std::string& outputPath, std::vector<std::string> argvStrings) {
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDONLY);
    if (out < 0 || null < 0) _exit(127);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    dup2(null, STDIN_FILENO);
    std::vector<char*> argv;
    for (auto& arg : argvStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

double Seconds(const timeval& value) { return static_cast<double>(value.tv_sec) + value.tv_usec / 1e6; }

}  // namespace

ChildCost ReapChild(pid_t child, int64_t startNs, int timeoutSeconds) {
    ChildCost cost;
    const int64_t deadlineNs = startNs + static_cast<int64_t>(timeoutSeconds) * 1000000000LL;
    int status = 0;
    rusage usage{};
    while (true) {
        pid_t done = wait4(child, &status, WNOHANG, &usage);
        if (done == child) break;
        if (done < 0) throw std::runtime_error("wait4 failed");
        if (MonotonicNs() > deadlineNs) {
            kill(child, SIGKILL);
            wait4(child, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    cost.wallSeconds = static_cast<double>(MonotonicNs() - startNs) / 1e9;
    cost.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    cost.maxRssKiB = usage.ru_maxrss;
    if (WIFEXITED(status)) cost.exitCode = WEXITSTATUS(status);
    return cost;
}

Scratch::Scratch(const DriverCommand& driver) : launcher(driver.launcher) {
    std::string pattern = (fs::temp_directory_path() / "kvtbench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    driverCopy = PathOf(fs::path(driver.program).filename().string());
    fs::copy_file(driver.program, driverCopy);
    fs::permissions(driverCopy, fs::perms::owner_all);
}

Scratch::~Scratch() {
    if (keep) return;
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

ChildCost Scratch::RunDriver(const std::vector<std::string>& args, int timeoutSeconds) const {
    std::vector<std::string> argv{driverCopy};
    if (!launcher.empty()) argv.insert(argv.begin(), launcher);
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string outputPath = PathOf("driver.out");
    int64_t start = MonotonicNs();
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        ExecChild(outputPath, argv);
    }
    return ReapChild(child, start, timeoutSeconds);
}

SimulatorProcess::SimulatorProcess(const std::string& dir, int baud)
    : linkPath(dir + "/ecr.tty"), logPath(dir + "/ecrsim.log") {
    const std::string outputPath = dir + "/ecrsim.out";
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0)
        ExecChild(outputPath, {ECRSIM_PATH, "--link", linkPath, "--log", logPath, "--baud", std::to_string(baud)});
    // The simulator needs a moment to create its pty; give it ten seconds.
    for (int i = 0; i < 1000 && !fs::exists(linkPath); ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            throw std::runtime_error("ecrsim exited at start: " + ReadWholeFile(outputPath));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!fs::exists(linkPath)) {
        // The destructor does not run for a constructor that throws.
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
        throw std::runtime_error("ecrsim did not create " + linkPath);
    }
}

namespace {

constexpr char Ser2netPath[] = "/usr/sbin/ser2net";
// As the README's configuration: the connection sends small segments at
// once (no Nagle delay) and serial bytes are forwarded as they come.
constexpr char Ser2netAccepter[] = "telnet(rfc2217),tcp(nodelay),127.0.0.1,";
constexpr char Ser2netLineOptions[] = "  options:\n    chardelay: false\n";

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

bool Accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

void StopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
}

}  // namespace

bool Ser2netProcess::Available() { return access(Ser2netPath, X_OK) == 0; }

Ser2netProcess::Ser2netProcess(const std::string& dir, const std::string& device) : port(FreeLoopbackPort()) {
    const std::string config = dir + "/ser2net.yaml";
    WriteWholeFile(config, "connection: &ecr\n  accepter: " + std::string(Ser2netAccepter) + std::to_string(port) +
                               "\n  connector: serialdev," + device + ",19200n82,local\n" +
                               Ser2netLineOptions);
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) ExecChild(dir + "/ser2net.out", {Ser2netPath, "-n", "-u", "-c", config, "-P", dir + "/ser2net.pid"});
    // A probe connection opens and closes the line once, before any run.
    for (int i = 0; i < 1000 && !Accepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!Accepts(port)) {
        StopChild(pid);
        pid = -1;
        throw std::runtime_error("ser2net did not start: " + ReadWholeFile(dir + "/ser2net.out"));
    }
}

Ser2netProcess::~Ser2netProcess() { StopChild(pid); }

SimulatorProcess::~SimulatorProcess() { StopChild(pid); }
