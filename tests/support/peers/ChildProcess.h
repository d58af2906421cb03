#pragma once
// Child processes and loopback ports for the programs that drive the driver
// from outside, the end-to-end tests and the benchmark: each starts the
// simulator and serial device servers the same way.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The whole file; "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// In a child just forked: standard output (and standard error, unless
// `keepErrors`) to `outputPath`, standard input from /dev/null, then `args`
// run through the PATH. Never returns.
[[noreturn]] void ExecWithOutput(const std::string& outputPath, std::vector<std::string> args, bool keepErrors = false);

// Starts `args` as above; the child gets SIGTERM when this process ends, so
// that no server outlives a crashed or killed test.
pid_t SpawnChild(const std::vector<std::string>& args, const std::string& outputPath, bool keepErrors = false);

// SIGTERM, SIGKILL after five seconds; pid becomes -1. Nothing for pid <= 0.
void StopChild(pid_t& pid);

// Waits (ten seconds at most) until `ready`; when the child ends first or
// never gets ready it is stopped and the error names `what` with its output.
void WaitForChild(pid_t& pid, const std::string& what, const std::string& outputPath,
                  const std::function<bool()>& ready);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeLoopbackPort();

// True when a TCP socket of this host listens on `port` (read from /proc, so
// that no probe connection reaches the server).
bool ListeningOnTcpPort(int port);
