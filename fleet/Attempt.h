#pragma once
// What one driver run (an attempt) left in its folder, read back the way a
// person would read it: the console text and the exit code.
#include <string>
#include <vector>

struct AttemptReport {
    // The last non-empty console line; of a run that ended "Completed with
    // errors", the line before it, which names the error.
    std::string lastLine;
    long long records = -1;         // the last "Records read: N" or "Records sent: N"; -1: none
    bool reachedClear = false;      // "Clearing data" was printed: the clear may have gone out
    bool statusUnanswered = false;  // the log says the register did not answer the status request
};

inline constexpr char ConsoleFileName[] = "console.txt";
inline constexpr char ExitCodeFileName[] = "exit_code";
inline constexpr char ClearingDataLine[] = "Clearing data";

AttemptReport ReadAttempt(const std::string& attemptDir);
// The same from the texts themselves.
AttemptReport AnalyseConsole(const std::string& console, const std::string& log);
// The line numbers the driver refused as "Line <n> - empty or bad format".
std::vector<int> RefusedLines(const std::string& console);

std::string ReadTextFile(const std::string& path);  // "" when missing
