#include "platform/Process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

namespace platform {

const char PathSeparator = '/';

namespace {
std::string commandLine;
}

bool GetProgramPath(std::string& path) {
    std::vector<char> buffer(256);
    while (true) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return false;
        if (static_cast<size_t>(length) < buffer.size()) {
            path.assign(buffer.data(), static_cast<size_t>(length));
            return true;
        }
        if (buffer.size() >= 65536) {
            errno = ENAMETOOLONG;
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv && argv[i]; ++i) arguments.emplace_back(argv[i]);
    return arguments;
}

void SetCommandLine(int argc, char** argv) {
    commandLine.clear();
    for (int i = 0; i < argc && argv && argv[i]; ++i) {
        if (i > 0) commandLine += ' ';
        commandLine += argv[i];
    }
}

const std::string& GetCommandLine() { return commandLine; }

void EnsureStandardStreams() {
    // open() takes the lowest free descriptor: while one of 0 to 2 is
    // closed, the null device fills it; the first descriptor above 2 ends it.
    while (true) {
        int fd = ::open("/dev/null", O_RDWR);
        if (fd < 0) return;
        if (fd > STDERR_FILENO) {
            ::close(fd);
            return;
        }
    }
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

void UseUtf8Console() {}

}  // namespace platform
