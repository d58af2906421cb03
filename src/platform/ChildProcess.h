#pragma once
// Other programs run as child processes, and the stop requests of the
// program that runs them: started with arguments, a working directory and a
// file for their console output; waited for without polling; stopped the way
// the system asks a console program to stop (SIGTERM to its process group,
// CTRL_BREAK to its console process group), killed when it does not.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// "" on POSIX, ".exe" on Windows: the file name ending of a program.
extern const char ExecutableSuffix[];

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();  // a child still running is killed

    // Starts `program` with `args` in `workDir`; its standard output and
    // error go to `outputPath` (created or emptied), its input is empty.
    // False (system error code set) when it cannot be started.
    bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
               const std::string& outputPath);
    bool Running() const { return running; }
    // True once the child has ended (its exit code, or -1 when a signal
    // ended it); never blocks.
    bool Finished(int& exitCode);
    // Asks the child to stop as on Ctrl+C from its own console.
    void RequestStop();
    // Ends it at once.
    void Kill();

private:
    bool running = false;
    int64_t pid = -1;
    [[maybe_unused]] intptr_t handle = -1;  // the Windows process handle (unused on POSIX)
};

// Catches the requests to stop this program (Ctrl+C, SIGTERM, SIGHUP, the
// console window closed) so that it can stop its children first. Call once,
// before the first child starts.
void InstallStopHandler();
bool StopRequested();

// Sleeps until a child may have ended, a stop was requested, or `timeoutMs`
// passed (-1: no limit).
void WaitForChildEvent(int64_t timeoutMs);

// The name of this computer ("" when the system does not say).
std::string HostName();

// True when standard output is a terminal that takes cursor movements.
bool StdoutIsTerminal();

// Standard output goes nowhere while one of these lives (library code that
// prints progress for a console of its own).
class MutedStdout {
public:
    MutedStdout();
    ~MutedStdout();
    MutedStdout(const MutedStdout&) = delete;
    MutedStdout& operator=(const MutedStdout&) = delete;

private:
    int saved = -1;
};

}  // namespace platform
