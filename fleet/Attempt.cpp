#include "fleet/Attempt.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Console lines: the progress counters overwrite themselves with CR.
std::vector<std::string> ConsoleLines(const std::string& console) {
    std::vector<std::string> lines;
    std::string line;
    for (char ch : console) {
        if (ch == '\r' || ch == '\n') {
            lines.push_back(Trim(line));
            line.clear();
        } else {
            line += ch;
        }
    }
    lines.push_back(Trim(line));
    return lines;
}

long long CountAfter(const std::string& line, const std::string& prefix) {
    if (line.rfind(prefix, 0) != 0) return -1;
    try {
        return std::stoll(line.substr(prefix.size()));
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

AttemptReport AnalyseConsole(const std::string& console, const std::string& log) {
    AttemptReport report;
    std::string beforeLast;
    for (const std::string& line : ConsoleLines(console)) {
        if (line.empty()) continue;
        beforeLast = report.lastLine;
        report.lastLine = line;
        if (line == ClearingDataLine) report.reachedClear = true;
        for (const char* prefix : {"Records read:", "Records sent:"}) {
            long long count = CountAfter(line, prefix);
            if (count >= 0) report.records = count;
        }
    }
    // A failed run ends with "Completed with errors": the line before it says why.
    if (report.lastLine == "Completed with errors" && !beforeLast.empty()) report.lastLine = beforeLast;
    report.statusUnanswered = log.find("ECR didn't respond to status request.") != std::string::npos;
    return report;
}

AttemptReport ReadAttempt(const std::string& attemptDir) {
    return AnalyseConsole(ReadTextFile((fs::path(attemptDir) / ConsoleFileName).string()),
                          ReadTextFile((fs::path(attemptDir) / "KVT5100.log").string()));
}

std::vector<int> RefusedLines(const std::string& console) {
    std::vector<int> lines;
    for (const std::string& line : ConsoleLines(console)) {
        if (line.rfind("Line ", 0) != 0 || line.find("- empty or bad format") == std::string::npos) continue;
        try {
            lines.push_back(std::stoi(line.substr(5)));
        } catch (const std::exception&) {}
    }
    return lines;
}
