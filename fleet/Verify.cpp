#include "fleet/Verify.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "config/Config.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "fileIo/InputDataFile.h"
#include "fleet/Attempt.h"
#include "platform/ChildProcess.h"
#include "tools/FieldTools.h"
#include "tools/RunState.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t DifferencesKept = 5;
// Names are padded to the same width on both sides, so any width that holds
// every name compares them as the register stores them.
constexpr int ComparedNameLength = 100;
constexpr int ComparedLevel = 3;

struct LoadedRecord {
    std::string line;   // the record as the file holds it
    std::string frame;  // as the register receives it
};

struct LoadedFile {
    std::map<long long, LoadedRecord> records;  // by record number (or position)
    uint32_t unusedLines = 0;                   // refused or duplicate lines
};

// The driver's globals a check reads, set for one comparison and put back
// after it.
class DriverSettings {
public:
    DriverSettings(const std::string& delimiter, bool ignoreDuplicates, int nameLength)
        : delimiter(FileDelimiter),
          ignore(IgnoreDuplicates),
          level(TheEcrComm().ecrLevel),
          names(TheEcrComm().ecrNameLength),
          dataError(DataErrorFlag) {
        FileDelimiter = delimiter;
        IgnoreDuplicates = ignoreDuplicates ? 1 : 0;
        TheEcrComm().ecrLevel = ComparedLevel;
        TheEcrComm().ecrNameLength = nameLength;
    }
    ~DriverSettings() {
        FileDelimiter = delimiter;
        IgnoreDuplicates = ignore;
        TheEcrComm().ecrLevel = level;
        TheEcrComm().ecrNameLength = names;
        DataErrorFlag = dataError;
    }
    DriverSettings(const DriverSettings&) = delete;
    DriverSettings& operator=(const DriverSettings&) = delete;

private:
    std::string delimiter;
    int ignore;
    int32_t level;
    int32_t names;
    bool dataError;
};

std::string Chomp(const char* text) {
    std::string line(text, strnlen(text, RecordTextSize));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// Loads `path` as the send command loads its file; at most `limit` records.
LoadedFile Load(const CommandInfo& send, const std::string& path, uint32_t limit) {
    static OperationDescriptor descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    descriptor.commandNumber = send.number;
    send.handler(PhaseDescribe, &descriptor);
    std::unique_ptr<InputDataFile> input = CreateInputDataFile(send.fileKind);
    LoadedFile loaded;
    {
        platform::MutedStdout quiet;
        input->Open(path.c_str(), send.handler, &descriptor);
    }
    auto* text = dynamic_cast<TextInputFile*>(input.get());
    const uint32_t count = std::min(input->RecordCount(), limit);
    for (uint32_t i = 0; i < count; ++i) {
        input->GetRecord(i, descriptor.text, RecordTextSize);
        LoadedRecord record;
        record.line = Chomp(descriptor.text);
        int length = send.handler(PhaseConvert, &descriptor);
        record.frame.assign(descriptor.frame, static_cast<size_t>(std::max(0, std::min(length, RecordFrameSize))));
        long long key = i;
        if (text != nullptr && send.fileKind == FileKindSortedText) key = text->Index()[i].recordNumber;
        loaded.records[key] = record;
    }
    loaded.unusedLines = input->LineCount() > input->RecordCount() ? input->LineCount() - input->RecordCount() : 0;
    input->Close();
    return loaded;
}

// A copy of the sent file with the lines the driver refused emptied, so that
// they are refused here too whatever the register's name length was.
std::string WithoutRefusedLines(const VerifyInput& input) {
    std::vector<int> refused = RefusedLines(input.sentConsole);
    if (refused.empty()) return input.sentFile;
    std::set<int> blank(refused.begin(), refused.end());
    std::istringstream lines(ReadTextFile(input.sentFile));
    std::string out;
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        bool crlf = !line.empty() && line.back() == '\r';
        out += blank.count(number) ? (crlf ? "\r" : "") : line;
        out += "\n";
    }
    std::string copy = (fs::path(input.workDir) / "verify-sent.tmp").string();
    std::ofstream(copy, std::ios::binary) << out;
    return copy;
}

}  // namespace

std::string VerifyResult::Summary() const {
    if (matched) return "verified " + std::to_string(records) + " records";
    std::string text = "verify: " + std::to_string(differenceCount) + " difference(s)";
    for (size_t i = 0; i < differences.size() && i < 2; ++i) text += "; " + differences[i];
    return text;
}

VerifyResult VerifySend(const VerifyInput& input) {
    VerifyResult result;
    // The driver's globals as the send had them, with a register wide enough
    // for any name.
    DriverSettings settings(input.delimiter, input.ignoreDuplicates, ComparedNameLength);
    OperationDescriptor limits{};
    limits.commandNumber = input.send.number;
    input.send.handler(PhaseDescribe, &limits);
    std::string sentPath = WithoutRefusedLines(input);
    auto note = [&](const std::string& text) {
        ++result.differenceCount;
        if (result.differences.size() < DifferencesKept) result.differences.push_back(text);
    };
    try {
        LoadedFile sent = Load(input.send, sentPath, limits.maxRecords);
        LoadedFile back = Load(input.send, input.readFile, UINT32_MAX);
        result.records = static_cast<long long>(sent.records.size());
        for (const auto& [number, record] : sent.records) {
            auto found = back.records.find(number);
            if (found == back.records.end()) note("record " + std::to_string(number) + " missing on the register");
            else if (found->second.frame != record.frame)
                note("record " + std::to_string(number) + " sent [" + record.line + "] register has [" +
                     found->second.line + "]");
        }
        if (input.replacesTable)
            for (const auto& [number, record] : back.records)
                if (sent.records.count(number) == 0)
                    note("record " + std::to_string(number) + " on the register was not sent [" + record.line + "]");
        // Lines of the read-back that the send's check refuses cannot be compared.
        if (back.unusedLines > 0)
            note(std::to_string(back.unusedLines) + " line(s) of the read-back do not pass the send's check");
    } catch (const Exception& error) {
        note(error.GetMessage());
    }
    if (sentPath != input.sentFile) fs::remove(sentPath);
    result.matched = result.differenceCount == 0;
    return result;
}

FileCheck CheckSendFile(const CommandInfo& send, const std::string& path, const std::string& delimiter,
                        int nameLength) {
    FileCheck check;
    DriverSettings settings(delimiter, false, nameLength);
    try {
        LoadedFile loaded = Load(send, path, UINT32_MAX);
        check.records = static_cast<long long>(loaded.records.size());
        check.unusedLines = loaded.unusedLines;
    } catch (const Exception& error) {
        check.error = error.GetMessage();
    }
    return check;
}
