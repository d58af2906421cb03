#include "platform/Process.h"

#include <windows.h>
// The driver's own GetCommandLine, not the Win32 macro of that name.
#undef GetCommandLine

#include <shellapi.h>

#include <cstdlib>
#include <vector>

#include "platform/Win32Path.h"

namespace platform {

const char PathSeparator = '\\';

namespace {
std::string commandLine;
}

bool GetProgramPath(std::string& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    while (true) {
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return false;
        // A path that filled the buffer may have been cut short.
        if (length < buffer.size()) {
            path = Utf8FromWide(buffer.data(), length);
            return true;
        }
        if (buffer.size() >= 65536) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        // Without the wide arguments, the ANSI ones are still better than none.
        for (int i = 0; i < argc && argv && argv[i]; ++i) arguments.emplace_back(argv[i]);
        return arguments;
    }
    for (int i = 0; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
    LocalFree(wide);
    return arguments;
}

void SetCommandLine(int, char**) { commandLine = Utf8FromWide(GetCommandLineW()); }

const std::string& GetCommandLine() { return commandLine; }

// The C runtime marks descriptors 0 to 2 as open at start-up even when the
// process has no standard handles (writes to them then fail quietly), so a
// file opened later never takes one of them; the logs use handles of their own.
void EnsureStandardStreams() {}

// A write to a closed pipe fails with an error code on Windows; there is no
// signal to ignore.
void IgnoreBrokenPipe() {}

namespace {
UINT consoleCodePage = 0;
void RestoreConsoleCodePage() { SetConsoleOutputCP(consoleCodePage); }
}  // namespace

void UseUtf8Console() {
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return;  // redirected: bytes as they are
    consoleCodePage = GetConsoleOutputCP();
    if (consoleCodePage == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
    std::atexit(RestoreConsoleCodePage);
}

}  // namespace platform
