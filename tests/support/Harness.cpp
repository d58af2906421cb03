#include "support/Harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/peers/ChildProcess.h"

namespace fs = std::filesystem;

namespace {

// In a child just forked from `parent`: the child gets `signalNumber` when the test
// process ends, so that no driver or simulator outlives a crashed or killed
// test. False when the parent is already gone.
bool EndWithParent(pid_t parent, int signalNumber) {
    return prctl(PR_SET_PDEATHSIG, signalNumber) == 0 && getppid() == parent;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string DriverProgram() {
    std::string program = Environment("KVT_TEST_DRIVER");
    return program.empty() ? KVT5100_PATH : program;
}

std::string DriverFileName() { return fs::path(DriverProgram()).filename().string(); }

// A Windows console program writes each line end as CR LF: back to LF, so
// that tests compare one text. A bare LF means the program did not write
// the console in text mode.
std::string FromWindowsConsole(const std::string& text) {
    std::string lines;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            throw std::runtime_error("console line end without CR: " + text);
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lines += text[i];
    }
    return lines;
}

// The COM number this test process uses, taken from the pool of links in
// KVT_TEST_COM_PORTS: a lock on <link>.lock, held until the process ends,
// keeps tests that run in parallel on distinct ports. 0 without a pool.
int ComNumber() {
    static int number = -1;
    if (number >= 0) return number;
    number = 0;
    std::string pool = Environment("KVT_TEST_COM_PORTS");
    if (pool.empty()) return number;
    std::vector<int> numbers;
    for (const auto& entry : fs::directory_iterator(pool)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 3 && name.compare(0, 3, "COM") == 0 && name.find('.') == std::string::npos)
            numbers.push_back(std::stoi(name.substr(3)));
    }
    std::sort(numbers.begin(), numbers.end());
    for (int candidate : numbers) {
        std::string lock = pool + "/COM" + std::to_string(candidate) + ".lock";
        int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
            number = candidate;  // the descriptor stays open: the lock lasts
            return number;
        }
        if (fd >= 0) close(fd);
    }
    throw std::runtime_error("no free COM port link in " + pool);
}

// Points this process's COM link at `device`; replacing the link in one
// step, so the driver never finds it missing.
void PointComLink(const std::string& device) {
    std::string link = Environment("KVT_TEST_COM_PORTS") + "/COM" + std::to_string(ComNumber());
    std::string fresh = link + ".new";
    std::error_code ignored;
    fs::remove(fresh, ignored);
    fs::create_symlink(device, fresh);
    fs::rename(fresh, link);
}

}  // namespace

bool DriverIsWindowsProgram() {
    std::string name = DriverFileName();
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0;
}

DriverSandbox::DriverSandbox(const std::string& prefix) : dir(prefix) {
    fs::copy_file(DriverProgram(), PathOf(DriverFileName()));
    fs::permissions(PathOf(DriverFileName()), fs::perms::owner_all);
}

DriverSandbox::~DriverSandbox() = default;

void DriverSandbox::WriteFile(const std::string& name, const std::string& content) const { dir.Write(name, content); }

std::string DriverSandbox::ReadFile(const std::string& name) const { return dir.Read(name); }

bool DriverSandbox::Exists(const std::string& name) const { return fs::exists(PathOf(name)); }

pid_t StartProgram(const std::string& workDir, const std::string& program, const std::vector<std::string>& args,
                   int out) {
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child != 0) return child;
    if (!EndWithParent(parent, SIGKILL)) _exit(127);
    if (chdir(workDir.c_str()) != 0) _exit(127);
    int null = open("/dev/null", O_RDONLY);
    if (null < 0) _exit(127);
    if (out < 0) close(STDOUT_FILENO);
    else if (dup2(out, STDOUT_FILENO) < 0) _exit(127);
    dup2(null, STDIN_FILENO);
    // The launcher's own messages go to its log, not into the test's output.
    std::string launcherLog = Environment("KVT_TEST_LAUNCHER_LOG");
    int log = launcherLog.empty() ? -1 : open(launcherLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log >= 0) dup2(log, STDERR_FILENO);
    std::vector<std::string> argvStrings;
    std::string launcher = Environment("KVT_TEST_LAUNCHER");
    if (!launcher.empty()) argvStrings.push_back(launcher);
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argvStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

pid_t DriverSandbox::Start(const std::vector<std::string>& args, int out) const {
    return StartProgram(dir.Path(), PathOf(DriverFileName()), args, out);
}

RunResult DriverSandbox::Run(const std::vector<std::string>& args, int timeoutSeconds) const {
    const std::string logBefore = ReadFile("KVT5100.log");
    RunResult result = RunOnce(args, timeoutSeconds);
    // The driver writes a console line and adds to its log on every path it
    // controls, to the log before it touches the port. A launched run that
    // did neither never reached the program (Wine's loader fails now and
    // then): it is launched once more, and said so on the test's error stream.
    bool launched = !Environment("KVT_TEST_LAUNCHER").empty();
    if (launched && result.exitCode != -1 && result.output.empty() && ReadFile("KVT5100.log") == logBefore) {
        std::fprintf(stderr, "launcher ran nothing (exit code %d, no output, no log): launched again\n",
                     result.exitCode);
        result = RunOnce(args, timeoutSeconds);
    }
    return result;
}

RunResult DriverSandbox::RunOnce(const std::vector<std::string>& args, int timeoutSeconds) const {
    std::string outputPath = PathOf(".driver-stdout");
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) throw std::runtime_error("cannot create " + outputPath);
    pid_t child = Start(args, out);
    close(out);
    RunResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (true) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    result.output = ReadWholeFile(outputPath);
    if (DriverIsWindowsProgram()) result.output = FromWindowsConsole(result.output);
    std::remove(outputPath.c_str());
    return result;
}

namespace {
// A serial device server's address reaches every build as it is.
bool IsNetworkAddress(const std::string& device) { return device.find("://") != std::string::npos; }
}  // namespace

std::string TestIni(const std::string& device, const std::string& extraEcr, const std::string& extraCommon) {
    std::string port = "ComNumber = 1\r\nComDevice = " + device;
    if (ComNumber() != 0 && !IsNetworkAddress(device)) {
        PointComLink(device);
        port = "ComNumber = " + std::to_string(ComNumber());
    }
    std::string ini = "[Common]\r\nDbgErrorLog = 3\r\n" + extraCommon + "\r\n[ECR_1]\r\n" + port +
                      "\r\nComNakSleepTime = 5\r\nComGarbageSleepTime = 5\r\n"
                      "SleepBetweenCommands = 5\r\nEcrRecoveryTime = 20\r\n"
                      "GarbageMaxByteInterval = 5\r\nEcrOperationMaxTime = 300\r\n" +
                      extraEcr + "\r\n";
    return ini;
}

std::string DriverPortName(const std::string& device) {
    if (ComNumber() == 0 || IsNetworkAddress(device)) return device;
    std::string name = "COM" + std::to_string(ComNumber());
    return ComNumber() > 9 ? "\\\\.\\" + name : name;
}

Simulator::Simulator(const std::string& dirPath, const std::vector<std::string>& options)
    : dir(dirPath),
      linkPath(dirPath + "/ecr.tty"),
      logPath(dirPath + "/ecrsim.log"),
      outputPath(dirPath + "/ecrsim.out") {
    std::error_code ignored;
    fs::remove(linkPath, ignored);
    std::vector<std::string> args{ECRSIM_PATH, "--link", linkPath, "--log", logPath};
    args.insert(args.end(), options.begin(), options.end());
    pid = SpawnChild(args, outputPath, true);
    WaitForChild(pid, "ecrsim", outputPath, [&] { return fs::exists(linkPath); });
}

Simulator::~Simulator() { Stop(); }

void Simulator::Stop() { StopChild(pid); }

std::string Simulator::Log() const { return ReadWholeFile(logPath); }

std::string Simulator::Output() const { return ReadWholeFile(outputPath); }

std::vector<std::vector<uint8_t>> Simulator::Received() const {
    std::vector<std::vector<uint8_t>> sequences;
    std::istringstream lines(Log());
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("IN ", 0) != 0) continue;
        std::istringstream hex(line.substr(3));
        std::vector<uint8_t> bytes;
        std::string byte;
        while (hex >> byte) bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
        sequences.push_back(bytes);
    }
    return sequences;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        if (i > 0) text += ' ';
        text += digits;
    }
    return text;
}

std::vector<std::string> SentDataFrames(const std::vector<std::vector<uint8_t>>& received) {
    std::vector<std::string> frames;
    for (const auto& sequence : received) {
        if (sequence.size() >= 3 && sequence.back() == 0x0D) frames.emplace_back(sequence.begin(), sequence.end() - 3);
    }
    return frames;
}
