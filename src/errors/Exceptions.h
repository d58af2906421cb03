#pragma once
// The driver's failure reports. Each class fixes how the console text, the log
// text and the exit code are built from what the thrower knows.
#include <string>

class Exception {
public:
    Exception(std::string message, std::string logText, int exitCode);
    virtual ~Exception() = default;

    const std::string& GetMessage() const { return Message; }
    const std::string& GetLogText() const { return LogText; }
    int GetExitCode() const { return ExitCode; }
    // What only the debug log gets besides the log text (empty: nothing).
    virtual std::string GetDebugDetail() const { return {}; }

private:
    std::string Message;
    std::string LogText;
    int ExitCode;
};

class DriverErrorException : public Exception {
public:
    explicit DriverErrorException(const std::string& text);
};

class FileIoException : public Exception {
public:
    explicit FileIoException(const std::string& text);
};

class CommunicationException : public Exception {
public:
    explicit CommunicationException(const std::string& text);
};

class ModemException : public Exception {
public:
    ModemException(const std::string& text, int exitCode);
};

class CommandLineErrorException : public Exception {
public:
    explicit CommandLineErrorException(const std::string& text);
};

// A condition that correct callers never cause. `sourceModule` is a fixed
// text naming the module of the failing check, such as "src/tools".
class InternalErrorException : public Exception {
public:
    InternalErrorException(const char* sourceModule, int line);
};

// A failed system call. The system error code is the platform's last error
// code (errno, GetLastError), read when the
// exception is built, so throw it right after the failing call.
class SystemErrorException : public Exception {
public:
    explicit SystemErrorException(const std::string& text);
    SystemErrorException(const std::string& text, unsigned systemErrorCode);
    unsigned GetSystemErrorCode() const { return SystemErrorCode; }
    // "System error code N: " and the operating system's message for N.
    std::string GetDebugDetail() const override;

private:
    unsigned SystemErrorCode;
};

// Throws the internal error for the calling module at the current line.
#define THROW_INTERNAL_ERROR(module) throw InternalErrorException((module), __LINE__)
