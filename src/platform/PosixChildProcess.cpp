#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

const char ExecutableSuffix[] = "";

namespace {

volatile sig_atomic_t stopRequested = 0;
sigset_t waitedSignals;
sigset_t originalMask;
bool handlerInstalled = false;

// In the child just forked: its own process group, the signal mask the
// program started with, the output file, then the program. Never returns.
[[noreturn]] void RunChild(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
                           const std::string& outputPath) {
    setpgid(0, 0);
    if (handlerInstalled) sigprocmask(SIG_SETMASK, &originalMask, nullptr);
    signal(SIGPIPE, SIG_DFL);
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDONLY);
    if (out < 0 || null < 0 || chdir(workDir.c_str()) != 0) _exit(127);
    dup2(null, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argvStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (!running) return;
    Kill();
    int exitCode = 0;
    while (running && !Finished(exitCode)) waitpid(static_cast<pid_t>(pid), nullptr, 0);
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
                         const std::string& outputPath) {
    if (running) return false;
    // The program must be there: a failed exec in the child would look like
    // a run that ended with 127.
    if (access(program.c_str(), X_OK) != 0) return false;
    fflush(stdout);
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) RunChild(program, args, workDir, outputPath);
    setpgid(child, child);  // also here, so that a stop right away reaches the group
    pid = child;
    running = true;
    return true;
}

bool ChildProcess::Finished(int& exitCode) {
    if (!running) return false;
    int status = 0;
    pid_t done = waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
    if (done != static_cast<pid_t>(pid)) return false;
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    running = false;
    return true;
}

void ChildProcess::RequestStop() {
    if (running) kill(-static_cast<pid_t>(pid), SIGTERM);
}

void ChildProcess::Kill() {
    if (running) kill(-static_cast<pid_t>(pid), SIGKILL);
}

// The stop signals and SIGCHLD are blocked and taken by sigtimedwait in
// WaitForChildEvent: the program sleeps until one of them comes.
void InstallStopHandler() {
    if (handlerInstalled) return;
    sigemptyset(&waitedSignals);
    for (int number : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&waitedSignals, number);
    sigprocmask(SIG_BLOCK, &waitedSignals, &originalMask);
    handlerInstalled = true;
}

bool StopRequested() {
    // A stop signal that came while the program was busy is still pending;
    // it is looked at, not taken, so that no child's end goes unseen.
    sigset_t pending;
    if (handlerInstalled && !stopRequested && sigpending(&pending) == 0 &&
        (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 ||
         sigismember(&pending, SIGHUP) == 1))
        stopRequested = 1;
    return stopRequested != 0;
}

void WaitForChildEvent(int64_t timeoutMs) {
    if (!handlerInstalled) return;
    timespec timeout{};
    timespec* limit = nullptr;
    if (timeoutMs >= 0) {
        timeout.tv_sec = static_cast<time_t>(timeoutMs / 1000);
        timeout.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
        limit = &timeout;
    }
    for (;;) {
        siginfo_t info{};
        int number = limit ? sigtimedwait(&waitedSignals, &info, limit) : sigwaitinfo(&waitedSignals, &info);
        if (number < 0 && errno == EINTR) continue;
        if (number == SIGINT || number == SIGTERM || number == SIGHUP) stopRequested = 1;
        // Further stop signals or child ends waiting right now are taken too.
        if (number > 0 && limit != nullptr && timeoutMs > 0) {
            timeout = timespec{};
            continue;
        }
        return;
    }
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

MutedStdout::MutedStdout() {
    fflush(stdout);
    saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

MutedStdout::~MutedStdout() {
    fflush(stdout);
    if (saved < 0) return;
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

}  // namespace platform
