#include "driver/RunFlow.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <typeinfo>
#include <vector>

#include "config/Config.h"
#include "driver/Dispatch.h"
#include "driver/Version.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "tools/FieldTools.h"
#include "tools/RunState.h"
#include "tools/Stopwatch.h"

namespace {

constexpr int DefaultEcrRecoveryTime = 2000;

// Top-level report of a failure: the detailed text to the logs, the short one
// to the console; the exception's exit code becomes the run's.
int ReportFailure(const Exception& error) {
    LogWrite(LogBoth, error.GetLogText(), true);
    const std::string detail = error.GetDebugDetail();
    if (!detail.empty()) LogWrite(LogDebug, detail, true);
    std::fputs(error.GetMessage().c_str(), stdout);
    std::fputs("\n", stdout);
    return error.GetExitCode();
}

// Option values are read like the command number: leading digits, 0 when none.
int OptionValue(const char* arg) { return ParseLeadingInt(arg + 2); }

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    static const char* const helpOnly[] = {"/H"};
    CommandLine result;
    const char* const* args = argv + 1;
    int count = argc - 1;
    if (count <= 0) {
        args = helpOnly;
        count = 1;
    }
    for (int i = 0;; ++i) {
        if (i >= count) throw CommandLineErrorException("Command number is missing");
        const char* arg = args[i];
        if (std::strcmp(arg, "--version") == 0) {
            result.version = true;
            return result;
        }
        if (arg[0] == '-' || arg[0] == '/') {
            char letter = arg[1];
            if (letter == 'V' || letter == 'v') {
                result.version = true;
                return result;
            }
            if (letter == '?' || letter == 'H' || letter == 'h') {
                result.help = true;
                result.helpKind = OptionValue(arg);
                return result;
            }
            if (letter == 'K' || letter == 'k') {
                result.ecrNumber = OptionValue(arg);
                continue;
            }
            if ((letter == 'C' || letter == 'c') && arg[2] == '\0') {
                result.checkOnly = true;
                continue;
            }
            throw CommandLineErrorException(std::string("Bad command line switch ") + arg);
        }
        result.commandNumber = ParseLeadingInt(arg);
        if (result.commandNumber <= 0) throw CommandLineErrorException("Incorrect or missing command number");
        if (i + 1 < count) {
            result.hasFileName = true;
            result.fileName = args[i + 1];
        }
        return result;
    }
}

void FinishRun(int exitCode, bool toConsole) {
    std::string completion = std::string("Completed ") + (exitCode == 0 ? "OK" : "with errors");
    LogWrite(LogBoth, completion, true);
    CloseLogs(exitCode, TheEcrComm().ErrorCount());
    if (toConsole) {
        std::fputs(completion.c_str(), stdout);
        std::fputs("\n", stdout);
    }
    std::exit(exitCode);
}

void RunDriver(int argc, char** argv) {
    platform::EnsureStandardStreams();
    Stopwatch::Initialise();
    platform::IgnoreBrokenPipe();
    platform::UseUtf8Console();
    platform::SetCommandLine(argc, argv);
    int exitCode = 0;
    try {
        OpenLogs();
        LogWrite(LogBoth, "\n", false);
        LogWrite(LogBoth,
                 std::string(ProgramName) + " driver version " + ProgramVersion + ProgramVersionSuffix +
                     " started. Command line: " + platform::GetCommandLine(),
                 true);

        // The arguments as UTF-8, so that a file name may hold any letters.
        const std::vector<std::string> arguments = platform::ProgramArguments(argc, argv);
        std::vector<const char*> argumentTexts;
        for (const std::string& argument : arguments) argumentTexts.push_back(argument.c_str());
        CommandLine command = ParseCommandLine(static_cast<int>(argumentTexts.size()), argumentTexts.data());
        if (command.help || command.version) {
            // A help or version run leaves nothing in either log.
            LogSettings.standardLog = 0;
            LogSettings.dbgErrorLog = 0;
            if (command.help) ShowHelp(command.helpKind);
            else std::printf("%s\n", VersionBanner().c_str());
            FinishRun(0, false);
        }

        // Writing the data to a log would mix it with the log's lines, and the
        // log retention could delete it again: refused before the ECR is asked.
        if (command.hasFileName && IsOpenLogFile(command.fileName))
            throw FileIoException("Unable to open file '" + command.fileName + "'");

        EnsureIniFile();
        LoadConfig(command.ecrNumber);
        if (LogSettings.dbgErrorLog == 0) DebugLogFile().StopRecording();
        EcrComm& link = TheEcrComm();
        link.Open();
        try {
            link.Init();
            Dispatch(command.commandNumber, command.hasFileName ? command.fileName.c_str() : nullptr,
                     command.checkOnly);
            exitCode = 0;
        } catch (const Exception& error) {
            // Give the ECR time to recover before the link is closed.
            if (dynamic_cast<const CommunicationException*>(&error) != nullptr)
                platform::SleepMilliseconds(TheConfig().GetInt("EcrRecoveryTime", DefaultEcrRecoveryTime));
            exitCode = ReportFailure(error);
        }
        link.Close();
        link.LogStatistics(LogBoth);
    } catch (const Exception& error) {
        exitCode = ReportFailure(error);
    }
    if (DataErrorFlag) exitCode = 2;
    FinishRun(exitCode, true);
}
