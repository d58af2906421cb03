#pragma once
// The program's run: logs, command line, help or command, failure reporting,
// completion and exit code.
#include <string>

inline constexpr char ProgramName[] = "KVT5100";
inline constexpr char ProgramVersion[] = "1.8.0";
inline constexpr char ProgramVersionSuffix[] = "";
const char* BuildDate();  // "Mmm dd yyyy" of this build
const char* BuildTime();  // "hh:mm:ss" of this build
// main() hands over the __DATE__ and __TIME__ of its own compilation, so the
// stamp belongs to the build of the executable, not of the library.
void SetBuildStamp(const char* date, const char* time);

struct CommandLine {
    bool help = false;
    int helpKind = 0;
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
