#include "fleet/Results.h"

#include <cstdio>
#include <filesystem>

#include "fleet/Attempt.h"

namespace fs = std::filesystem;

void WriteConsolidatedFiles(const std::string& runDir, const Job& job, const std::vector<StepRecord>& records,
                            const std::string& delimiter) {
    for (const JobStep& step : job.steps) {
        if (step.command.kind != StepKind::Read && step.command.kind != StepKind::ReadClear) continue;
        if (step.command.fileKind == FileKindBinary) continue;
        std::string content;
        for (int number : job.registers) {
            for (const StepRecord& r : records) {
                if (r.registerNumber != number || r.step != step.number || r.dataFile.empty()) continue;
                if (r.status != StepStatus::Completed && r.status != StepStatus::DataErrors) continue;
                std::string data = ReadTextFile((fs::path(runDir) / r.dataFile).string());
                size_t at = 0;
                while (at < data.size()) {
                    size_t end = data.find('\n', at);
                    end = end == std::string::npos ? data.size() : end + 1;
                    content += std::to_string(number) + delimiter + data.substr(at, end - at);
                    at = end;
                }
                // The next register's records start on a line of their own.
                if (!data.empty() && data.back() != '\n') content += "\r\n";
            }
        }
        fs::path name = fs::path(step.file).filename();
        ReplaceFile((fs::path(runDir) / (step.Label() + "-" + name.string())).string(), content);
    }
}

void PrintFinalTable(const std::vector<StepRecord>& records) {
    std::printf("\n%-8s %-5s %-7s %-14s %-8s %-8s %s\n", "register", "step", "command", "outcome", "attempts",
                "records", "last line");
    for (const StepRecord& r : records) {
        std::string count = r.records >= 0 ? std::to_string(r.records) : "";
        std::printf("%-8d %-5d %-7d %-14s %-8d %-8s %.60s\n", r.registerNumber, r.step, r.command,
                    OutcomeName(r.status), r.attempts, count.c_str(), r.lastLine.c_str());
    }
    int counts[5] = {};
    for (const StepRecord& r : records) ++counts[static_cast<int>(r.status)];
    std::printf("\n%d completed, %d with data errors, %d failed, %d clear unknown, %d not run\n",
                counts[static_cast<int>(StepStatus::Completed)], counts[static_cast<int>(StepStatus::DataErrors)],
                counts[static_cast<int>(StepStatus::Failed)], counts[static_cast<int>(StepStatus::ClearUnknown)],
                counts[static_cast<int>(StepStatus::Pending)]);
}

void WriteResults(const std::string& runDir, const Job& job, const std::vector<StepRecord>& records,
                  const std::string& delimiter) {
    SaveState(runDir, records);
    WriteSummaries(runDir, records);
    WriteConsolidatedFiles(runDir, job, records, delimiter);
    PrintFinalTable(records);
}
