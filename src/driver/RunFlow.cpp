#include "driver/RunFlow.h"

#include <cstdio>
#include <cstdlib>
#include <typeinfo>

#include "config/Config.h"
#include "driver/Dispatch.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "tools/FieldTools.h"
#include "tools/RunState.h"
#include "tools/Stopwatch.h"

namespace {

const char* buildDate = __DATE__;
const char* buildTime = __TIME__;

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

const char* BuildDate() { return buildDate; }
const char* BuildTime() { return buildTime; }

void SetBuildStamp(const char* date, const char* time) {
    if (date != nullptr) buildDate = date;
    if (time != nullptr) buildTime = time;
}

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
        if (arg[0] == '-' || arg[0] == '/') {
            char letter = arg[1];
            if (letter == '?' || letter == 'H' || letter == 'h') {
                result.help = true;
                result.helpKind = OptionValue(arg);
                return result;
            }
            if (letter == 'K' || letter == 'k') {
                result.ecrNumber = OptionValue(arg);
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
    Stopwatch::Initialise();
    platform::IgnoreBrokenPipe();
    platform::SetCommandLine(argc, argv);
    int exitCode = 0;
    try {
        OpenLogs();
        LogWrite(LogBoth, "\n", false);
        LogWrite(LogBoth,
                 std::string(ProgramName) + " driver version " + ProgramVersion + ProgramVersionSuffix +
                     " started. Command line: " + platform::GetCommandLine(),
                 true);

        CommandLine command = ParseCommandLine(argc, argv);
        if (command.help) {
            // A help run leaves nothing in either log.
            LogSettings.standardLog = 0;
            LogSettings.dbgErrorLog = 0;
            ShowHelp(command.helpKind);
            FinishRun(0, false);
        }

        // Writing the data to a log would mix it with the log's lines, and the
        // log retention could delete it again: refused before the ECR is asked.
        if (command.hasFileName && IsOpenLogFile(command.fileName))
            throw FileIoException("Unable to open file '" + command.fileName + "'");

        EnsureIniFile();
        LoadConfig(command.ecrNumber);
        EcrComm& link = TheEcrComm();
        link.Open();
        try {
            link.Init();
            Dispatch(command.commandNumber, command.hasFileName ? command.fileName.c_str() : nullptr);
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
