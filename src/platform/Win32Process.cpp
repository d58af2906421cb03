#include "platform/Process.h"

#include <windows.h>
// The driver's own GetCommandLine, not the Win32 macro of that name.
#undef GetCommandLine

#include <vector>

namespace platform {

const char PathSeparator = '\\';

namespace {
std::string commandLine;
}

bool GetProgramPath(std::string& path) {
    std::vector<char> buffer(MAX_PATH);
    while (true) {
        DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return false;
        // A path that filled the buffer may have been cut short.
        if (length < buffer.size()) {
            path.assign(buffer.data(), length);
            return true;
        }
        if (buffer.size() >= 65536) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

void SetCommandLine(int, char**) { commandLine = GetCommandLineA(); }

const std::string& GetCommandLine() { return commandLine; }

// A write to a closed pipe fails with an error code on Windows; there is no
// signal to ignore.
void IgnoreBrokenPipe() {}

bool PathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

}  // namespace platform
