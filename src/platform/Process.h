#pragma once
// The running program: its file path, its command line, its console.
#include <string>
#include <vector>

namespace platform {

// Full path of the program file; false (system error code set) when it
// cannot be found.
bool GetProgramPath(std::string& path);

// The arguments main() got, program name first, as UTF-8 text. On Windows
// they come from the wide command line: main()'s own are in the ANSI code
// page, which turns letters it lacks into others.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Remembered at the start of the run, as UTF-8 text: the program path and
// the arguments joined by blanks (on Windows the command line as given).
void SetCommandLine(int argc, char** argv);
const std::string& GetCommandLine();

// Makes sure the standard input, output and error are open (to the null
// device when they were closed), so that no file the driver opens later
// takes their place and receives the console text.
void EnsureStandardStreams();

// Console output to a reader that has gone away fails quietly instead of
// ending the process in the middle of a transfer.
void IgnoreBrokenPipe();

// The console shows the program's UTF-8 text (a file name in a message) as
// such. A Windows console is switched to UTF-8 for the run and back at exit;
// redirected output, and every POSIX terminal, gets the bytes unchanged.
void UseUtf8Console();

// Ends the directory part of a path the system gives for the program.
extern const char PathSeparator;

}  // namespace platform
