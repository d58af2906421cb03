#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace platform {

const char ExecutableSuffix[] = ".exe";

namespace {

HANDLE stopEvent = nullptr;
volatile LONG stopRequested = 0;
// Every child belongs to this job: when this program ends, however it ends,
// no driver is left running without it.
HANDLE childJob = nullptr;
// The process handles WaitForChildEvent waits on.
std::vector<HANDLE> runningChildren;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            InterlockedExchange(&stopRequested, 1);
            if (stopEvent != nullptr) SetEvent(stopEvent);
            // After a close the system ends the program when this returns: give
            // the main loop a few seconds to stop the children and write its state.
            if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(4000);
            return TRUE;
        default: return FALSE;
    }
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// One argument as the C runtime of the child splits its command line.
std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t ch : arg) {
        if (ch == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(ch == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += ch;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

void Forget(HANDLE process) {
    runningChildren.erase(std::remove(runningChildren.begin(), runningChildren.end(), process), runningChildren.end());
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (!running) return;
    Kill();
    WaitForSingleObject(reinterpret_cast<HANDLE>(handle), INFINITE);
    int exitCode = 0;
    Finished(exitCode);
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
                         const std::string& outputPath) {
    if (running) return false;
    if (childJob == nullptr) {
        childJob = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (childJob != nullptr)
            SetInformationJobObject(childJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = CreateFileW(Wide(outputPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);

    std::wstring commandLine = Quoted(Wide(program));
    for (const std::string& arg : args) commandLine += L" " + Quoted(Wide(arg));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process{};
    std::wstring directory = Wide(workDir);
    // Its own console process group: a CTRL_BREAK reaches this child alone.
    BOOL started =
        CreateProcessW(Wide(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, directory.c_str(), &startup, &process);
    DWORD error = GetLastError();
    CloseHandle(out);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (!started) {
        SetLastError(error);
        return false;
    }
    if (childJob != nullptr) AssignProcessToJobObject(childJob, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    handle = reinterpret_cast<intptr_t>(process.hProcess);
    pid = static_cast<int64_t>(process.dwProcessId);
    runningChildren.push_back(process.hProcess);
    running = true;
    return true;
}

bool ChildProcess::Finished(int& exitCode) {
    if (!running) return false;
    HANDLE process = reinterpret_cast<HANDLE>(handle);
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    exitCode = static_cast<int>(code);
    Forget(process);
    CloseHandle(process);
    handle = -1;
    running = false;
    return true;
}

void ChildProcess::RequestStop() {
    if (running) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid));
}

void ChildProcess::Kill() {
    if (running) TerminateProcess(reinterpret_cast<HANDLE>(handle), 1);
}

void InstallStopHandler() {
    if (stopEvent != nullptr) return;
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested() { return stopRequested != 0; }

void WaitForChildEvent(int64_t timeoutMs) {
    std::vector<HANDLE> handles;
    // The event stays set once a stop was asked for: from then on only the
    // children's ends and the time-out wake the loop.
    if (stopEvent != nullptr && !stopRequested) handles.push_back(stopEvent);
    for (HANDLE child : runningChildren) {
        if (handles.size() >= MAXIMUM_WAIT_OBJECTS) break;
        handles.push_back(child);
    }
    DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(std::min<int64_t>(timeoutMs, 0x7FFFFFFF));
    if (handles.empty()) {
        Sleep(limit == INFINITE ? 1000 : limit);
        return;
    }
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, limit);
}

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return "";
    return std::string(name, size);
}

bool StdoutIsTerminal() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
    // Cursor movements need the console's terminal sequences (Windows 10 on).
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

MutedStdout::MutedStdout() {
    fflush(stdout);
    saved = _dup(_fileno(stdout));
    int null = _open("NUL", _O_WRONLY);
    if (null >= 0) {
        _dup2(null, _fileno(stdout));
        _close(null);
    }
}

MutedStdout::~MutedStdout() {
    fflush(stdout);
    if (saved < 0) return;
    _dup2(saved, _fileno(stdout));
    _close(saved);
}

}  // namespace platform
