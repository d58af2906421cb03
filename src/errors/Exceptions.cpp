#include "errors/Exceptions.h"

#include <utility>

#include "platform/SystemError.h"

Exception::Exception(std::string message, std::string logText, int exitCode)
    : Message(std::move(message)), LogText(std::move(logText)), ExitCode(exitCode) {}

DriverErrorException::DriverErrorException(const std::string& text) : Exception(text, text, 1) {}

FileIoException::FileIoException(const std::string& text) : Exception(text, text, 1) {}

// The leading line end closes whatever progress line the console shows.
CommunicationException::CommunicationException(const std::string& text)
    : Exception("\nCommunication error: " + text, text, 1) {}

ModemException::ModemException(const std::string& text, int exitCode) : Exception(text, text, exitCode) {}

CommandLineErrorException::CommandLineErrorException(const std::string& text)
    : Exception(text + " (use /? for help)", text, 1) {}

InternalErrorException::InternalErrorException(const char* sourceModule, int line)
    : Exception(
          "Driver internal error",
          "Internal error in file '" + std::string(sourceModule ? sourceModule : "") + "' line " + std::to_string(line),
          1) {}

// The system error code is taken before anything else in this constructor can change it.
SystemErrorException::SystemErrorException(const std::string& text)
    : SystemErrorException(text, platform::LastSystemError()) {}

SystemErrorException::SystemErrorException(const std::string& text, unsigned systemErrorCode)
    : Exception("System error: " + text, text + " (system error code : " + std::to_string(systemErrorCode) + ")", 1),
      SystemErrorCode(systemErrorCode) {}

std::string SystemErrorException::GetDebugDetail() const {
    return "System error code " + std::to_string(SystemErrorCode) + ": " + platform::SystemErrorText(SystemErrorCode);
}
