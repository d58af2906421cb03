#include "fleet/StepRecord.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fleet/FleetError.h"

namespace fs = std::filesystem;

namespace {

constexpr char StateHeader[] = "# kvtfleet state 1";
constexpr char SummaryHeader[] =
    "register,step,command,file,attempts,outcome,exit_code,last_line,records,files,start,duration_s";

const StepStatus AllStatuses[] = {StepStatus::Pending, StepStatus::Completed, StepStatus::DataErrors,
                                  StepStatus::Failed, StepStatus::ClearUnknown};

// Tabs and line ends cannot stand inside a field of the state file.
std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& ch : line)
        if (ch == '\t' || ch == '\r' || ch == '\n') ch = ' ';
    return line;
}

std::string IsoTime(double seconds) {
    if (seconds <= 0) return "";
    std::time_t whole = static_cast<std::time_t>(seconds);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&whole));
    return text;
}

std::string Duration(const StepRecord& record) {
    if (record.start <= 0 || record.end < record.start) return "0";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", record.end - record.start);
    return text;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char ch : text) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return quoted + "\"";
}

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (unsigned char ch : text) {
        switch (ch) {
            case '"': json += "\\\""; break;
            case '\\': json += "\\\\"; break;
            case '\n': json += "\\n"; break;
            case '\r': json += "\\r"; break;
            case '\t': json += "\\t"; break;
            default:
                if (ch < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
                    json += escaped;
                } else {
                    json += static_cast<char>(ch);
                }
        }
    }
    return json + "\"";
}

}  // namespace

const char* OutcomeName(StepStatus status) {
    switch (status) {
        case StepStatus::Completed: return "completed";
        case StepStatus::DataErrors: return "data errors";
        case StepStatus::Failed: return "failed";
        case StepStatus::ClearUnknown: return "clear unknown";
        case StepStatus::Pending: break;
    }
    return "not run";
}

bool ReplaceFile(const std::string& path, const std::string& content) {
    std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        out.flush();
        if (!out) return false;
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    return !error;
}

bool SaveState(const std::string& runDir, const std::vector<StepRecord>& records) {
    std::ostringstream text;
    text << StateHeader << "\n";
    for (const StepRecord& r : records) {
        text << r.registerNumber << '\t' << r.step << '\t' << r.command << '\t' << OneLine(r.file) << '\t'
             << static_cast<int>(r.status) << '\t' << r.attempts << '\t' << r.lastAttempt << '\t' << r.exitCode << '\t'
             << r.records << '\t' << static_cast<long long>(std::llround(r.start * 1000)) << '\t'
             << static_cast<long long>(std::llround(r.end * 1000)) << '\t' << OneLine(r.dataFile) << '\t'
             << OneLine(r.lastLine) << "\n";
    }
    return ReplaceFile((fs::path(runDir) / StateFileName).string(), text.str());
}

std::vector<StepRecord> LoadState(const std::string& runDir) {
    std::string path = (fs::path(runDir) / StateFileName).string();
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FleetError("No state file '" + path + "': not a kvtfleet run folder");
    std::string line;
    if (!std::getline(in, line) || line != StateHeader) throw FleetError("'" + path + "' is not a kvtfleet state file");
    std::vector<StepRecord> records;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t')) fields.push_back(field);
        if (line.back() == '\t') fields.push_back("");
        if (fields.size() != 13) throw FleetError("'" + path + "' is damaged: " + line);
        try {
            StepRecord r;
            r.registerNumber = std::stoi(fields[0]);
            r.step = std::stoi(fields[1]);
            r.command = std::stoi(fields[2]);
            r.file = fields[3];
            int status = std::stoi(fields[4]);
            if (status < 0 || status > static_cast<int>(StepStatus::ClearUnknown)) throw FleetError("status");
            r.status = AllStatuses[status];
            r.attempts = std::stoi(fields[5]);
            r.lastAttempt = std::stoi(fields[6]);
            r.exitCode = std::stoi(fields[7]);
            r.records = std::stoll(fields[8]);
            r.start = static_cast<double>(std::stoll(fields[9])) / 1000;
            r.end = static_cast<double>(std::stoll(fields[10])) / 1000;
            r.dataFile = fields[11];
            r.lastLine = fields[12];
            records.push_back(r);
        } catch (const std::exception&) {
            throw FleetError("'" + path + "' is damaged: " + line);
        }
    }
    return records;
}

void WriteSummaries(const std::string& runDir, const std::vector<StepRecord>& records) {
    std::ostringstream csv;
    std::ostringstream json;
    csv << SummaryHeader << "\r\n";
    json << "[";
    bool first = true;
    for (const StepRecord& r : records) {
        std::string exitCode = r.exitCode >= 0 ? std::to_string(r.exitCode) : "";
        std::string count = r.records >= 0 ? std::to_string(r.records) : "";
        csv << r.registerNumber << ',' << r.step << ',' << r.command << ',' << CsvField(r.file) << ',' << r.attempts
            << ',' << OutcomeName(r.status) << ',' << exitCode << ',' << CsvField(r.lastLine) << ',' << count << ','
            << CsvField(r.dataFile) << ',' << IsoTime(r.start) << ',' << Duration(r) << "\r\n";
        json << (first ? "\n" : ",\n") << "  {\"register\": " << r.registerNumber << ", \"step\": " << r.step
             << ", \"command\": " << r.command << ", \"file\": " << JsonString(r.file)
             << ", \"attempts\": " << r.attempts << ", \"outcome\": " << JsonString(OutcomeName(r.status))
             << ", \"exit_code\": " << (exitCode.empty() ? "null" : exitCode)
             << ", \"last_line\": " << JsonString(r.lastLine) << ", \"records\": " << (count.empty() ? "null" : count)
             << ", \"files\": " << JsonString(r.dataFile) << ", \"start\": " << JsonString(IsoTime(r.start))
             << ", \"duration_s\": " << Duration(r) << "}";
        first = false;
    }
    json << "\n]\n";
    ReplaceFile((fs::path(runDir) / "summary.csv").string(), csv.str());
    ReplaceFile((fs::path(runDir) / "summary.json").string(), json.str());
}

int JobExitCode(const std::vector<StepRecord>& records) {
    int code = 0;
    for (const StepRecord& r : records) {
        if (r.status == StepStatus::DataErrors) code = code == 0 ? 2 : code;
        else if (r.status != StepStatus::Completed) return 1;
    }
    return code;
}
