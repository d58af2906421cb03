#pragma once
// The program's run: logs, command line, help or command, failure reporting,
// completion and exit code.
#include <string>

struct CommandLine {
    bool help = false;
    int helpKind = 0;
    bool version = false;  // /V or --version: name, version and build stamp only
    int ecrNumber = 0;
    bool checkOnly = false;  // /C: check the file of a send, send nothing
    int commandNumber = 0;
    bool hasFileName = false;
    std::string fileName;
};

// Parses the arguments after the program name; CommandLineErrorException on bad input.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// Runs one command and exits the process; never returns.
[[noreturn]] void RunDriver(int argc, char** argv);
[[noreturn]] void FinishRun(int exitCode, bool toConsole);
