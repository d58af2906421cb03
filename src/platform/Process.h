#pragma once
// The running program: its file path, its command line, files on disk.
#include <string>

namespace platform {

// Full path of the program file; false (system error code set) when it
// cannot be found.
bool GetProgramPath(std::string& path);

// Remembered at the start of the run: the program path and the arguments
// joined by blanks.
void SetCommandLine(int argc, char** argv);
const std::string& GetCommandLine();

// Makes sure the standard input, output and error are open (to the null
// device when they were closed), so that no file the driver opens later
// takes their place and receives the console text.
void EnsureStandardStreams();

// Console output to a reader that has gone away fails quietly instead of
// ending the process in the middle of a transfer.
void IgnoreBrokenPipe();

bool PathExists(const std::string& path);  // a file or a directory
bool RemoveFile(const std::string& path);

// Ends the directory part of a path the system gives for the program.
extern const char PathSeparator;

}  // namespace platform
