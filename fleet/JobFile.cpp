#include "fleet/JobFile.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "fleet/DriverIni.h"
#include "fleet/FleetError.h"

namespace fs = std::filesystem;

namespace {

constexpr int MostParallel = 60;  // Windows waits on at most 64 objects at once
constexpr size_t LargestJobFile = 1 << 20;

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char ch) { return std::tolower(ch); });
    return text;
}

// A whole non-negative decimal number, or -1.
long long WholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char ch) { return std::isdigit(ch); }))
        return -1;
    return std::stoll(text);
}

// Text a person wrote: UTF-8 without control characters other than tab and line ends.
bool IsText(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (ch < 0x80) {
            if (ch < 0x20 && ch != '\t' && ch != '\r' && ch != '\n') return false;
            if (ch == 0x7F) return false;
            ++i;
            continue;
        }
        int more = ch >= 0xF0 && ch < 0xF5 ? 3 : ch >= 0xE0 ? 2 : ch >= 0xC2 && ch < 0xE0 ? 1 : -1;
        if (more < 0 || i + static_cast<size_t>(more) >= text.size()) return false;
        for (int k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(text[i + static_cast<size_t>(k)]) & 0xC0) != 0x80) return false;
        i += static_cast<size_t>(more) + 1;
    }
    return true;
}

class Parser {
public:
    Parser(const std::string& path, Job& job) : path(path), job(job) {}

    [[noreturn]] void Fail(int line, const std::string& text) const {
        throw FleetError(path + " line " + std::to_string(line) + ": " + text);
    }

    int Number(int line, const std::string& key, const std::string& value, int lowest, int highest) const {
        long long number = WholeNumber(value);
        if (number < lowest || number > highest)
            Fail(line, key + " must be a whole number from " + std::to_string(lowest) + " to " +
                           std::to_string(highest) + ", not '" + value + "'");
        return static_cast<int>(number);
    }

    void JobKey(int line, const std::string& key, const std::string& value) {
        std::string name = Lower(key);
        if (!seenKeys.insert(name).second) Fail(line, "key " + key + " is given twice");
        if (name == "name") {
            if (value.empty()) Fail(line, "Name is empty");
            job.name = value;
        } else if (name == "registers") {
            try {
                job.registers = ParseRegisterList(value);
            } catch (const FleetError& error) {
                Fail(line, error.what());
            }
        } else if (name == "archive") {
            if (value.empty()) Fail(line, "Archive is empty");
            job.archive = value;
        } else if (name == "parallel") {
            job.parallel = Number(line, key, value, 1, MostParallel);
        } else if (name == "retries") {
            job.retries = Number(line, key, value, 0, 100);
        } else if (name == "retrydelay") {
            job.retryDelay = Number(line, key, value, 0, 86400);
        } else if (name == "statusrequired") {
            job.statusRequired = Number(line, key, value, 0, 1);
        } else if (name == "steptimeout") {
            job.stepTimeout = Number(line, key, value, 0, 86400);
        } else if (name == "minfreespace") {
            job.minFreeMegabytes = Number(line, key, value, 0, 1000000);
        } else {
            Fail(line, "unknown key " + key + " in section [Job]");
        }
    }

    void StepLine(int line, const std::string& key, const std::string& value) {
        JobStep step;
        step.number = Number(line, "a step number", key, 1, 999);
        for (const JobStep& other : job.steps)
            if (other.number == step.number) Fail(line, "step " + key + " is given twice");
        std::istringstream words(value);
        std::string word;
        if (!(words >> word)) Fail(line, "step " + key + " has no command");
        long long command = WholeNumber(word);
        if (command <= 0) Fail(line, "'" + word + "' is not a command number");
        step.typedCommand = static_cast<int>(command);
        while (words >> word) {
            if (Lower(word).rfind("verify=", 0) == 0) {
                if (step.verifyStep != 0) Fail(line, "verify= is given twice");
                step.verifyStep = Number(line, "verify=", word.substr(7), 1, 999);
            } else if (step.file.empty()) {
                step.file = word;
            } else {
                Fail(line, "unexpected '" + word + "' after the file name (file names take no blanks)");
            }
        }
        job.steps.push_back(step);
    }

    void Parse(const std::string& text) {
        std::istringstream lines(text);
        std::string raw;
        std::string section;
        std::set<std::string> sections;
        int line = 0;
        while (std::getline(lines, raw)) {
            ++line;
            std::string content = Trim(raw);
            if (line == 1 && content.rfind("\xEF\xBB\xBF", 0) == 0) content = Trim(content.substr(3));
            if (content.empty() || content[0] == ';' || content[0] == '#') continue;
            if (content[0] == '[') {
                if (content.back() != ']') Fail(line, "bad section header '" + content + "'");
                section = Lower(Trim(content.substr(1, content.size() - 2)));
                if (section != "job" && section != "steps") Fail(line, "unknown section " + content);
                if (!sections.insert(section).second) Fail(line, "section " + content + " is given twice");
                continue;
            }
            size_t equals = content.find('=');
            if (equals == std::string::npos) Fail(line, "not a 'key = value' line: '" + content + "'");
            std::string key = Trim(content.substr(0, equals));
            std::string value = Trim(content.substr(equals + 1));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            if (section.empty()) Fail(line, "'" + key + "' stands before any section");
            if (section == "job") JobKey(line, key, value);
            else StepLine(line, key, value);
        }
        if (job.registers.empty()) throw FleetError(path + ": [Job] needs Registers");
        if (job.archive.empty()) throw FleetError(path + ": [Job] needs Archive");
        if (job.steps.empty()) throw FleetError(path + ": [Steps] names no step");
        std::sort(job.steps.begin(), job.steps.end(),
                  [](const JobStep& a, const JobStep& b) { return a.number < b.number; });
    }

private:
    std::string path;
    Job& job;
    std::set<std::string> seenKeys;
};

// A job's folder and file names: letters, digits, '.', '_' and '-'.
std::string SafeName(const std::string& text) {
    std::string name;
    for (unsigned char ch : text) name += std::isalnum(ch) || ch == '.' || ch == '_' || ch == '-' ? ch : '_';
    return name.empty() ? "job" : name;
}

}  // namespace

std::string JobStep::Label() const { return std::to_string(number) + "-" + std::to_string(typedCommand); }

const JobStep* Job::FindStep(int number) const {
    for (const JobStep& step : steps)
        if (step.number == number) return &step;
    return nullptr;
}

std::vector<int> ParseRegisterList(const std::string& text) {
    std::vector<int> registers;
    std::set<int> seen;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        item = Trim(item);
        size_t dash = item.find('-');
        long long first = WholeNumber(Trim(item.substr(0, dash)));
        long long last = dash == std::string::npos ? first : WholeNumber(Trim(item.substr(dash + 1)));
        if (first <= 0 || last <= 0 || last < first || last > 9999)
            throw FleetError("'" + item + "' is not a register number or range (such as 3 or 1-8)");
        for (long long n = first; n <= last; ++n) {
            if (!seen.insert(static_cast<int>(n)).second)
                throw FleetError("register " + std::to_string(n) + " is named twice (ranges overlap)");
            registers.push_back(static_cast<int>(n));
        }
    }
    if (registers.empty()) throw FleetError("Registers names no register");
    return registers;
}

Job ParseJob(const std::string& text, const std::string& path) {
    if (!IsText(text)) throw FleetError(path + " is not a text file");
    Job job;
    job.path = path;
    job.text = text;
    job.baseDir = fs::absolute(fs::path(path)).parent_path().string();
    Parser(path, job).Parse(text);
    if (job.name.empty()) job.name = fs::path(path).stem().string();
    job.name = SafeName(job.name);
    return job;
}

Job LoadJob(const std::string& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) throw FleetError("Job file '" + path + "' not found");
    if (fs::file_size(path, error) > LargestJobFile) throw FleetError(path + " is not a job file (too large)");
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in && !in.eof()) throw FleetError("Unable to read job file '" + path + "'");
    return ParseJob(text.str(), path);
}

void ValidateJob(Job& job, const DriverIni& ini, bool sendFilesPresent) {
    for (int number : job.registers)
        if (!ini.HasRegister(number))
            throw FleetError("Register " + std::to_string(number) + " has no section [ECR_" + std::to_string(number) +
                             "] in " + ini.Path());
    for (JobStep& step : job.steps) {
        std::string where = "step " + std::to_string(step.number) + ": ";
        int translated = ini.TranslateCommand(step.typedCommand);
        step.command = DescribeCommand(translated);
        if (!step.command.known) throw FleetError(where + "unknown command " + std::to_string(step.typedCommand));
        if (NeedsFile(step.command.kind) && step.file.empty())
            throw FleetError(where + "command " + std::to_string(step.typedCommand) + " needs a file name");
        if (!NeedsFile(step.command.kind) && !step.file.empty())
            throw FleetError(where + "command " + std::to_string(step.typedCommand) + " takes no file");
        if (step.command.kind != StepKind::Send && !step.file.empty() &&
            (step.file.find_first_of("/\\:") != std::string::npos || step.file == "." || step.file == ".."))
            throw FleetError(where +
                             "a file read from the register is written in the step's own folder: give a "
                             "plain file name, not '" +
                             step.file + "'");
        if (step.command.kind == StepKind::Send && sendFilesPresent) {
            std::string file = SendFilePath(job, step);
            std::error_code error;
            if (!fs::is_regular_file(file, error)) throw FleetError(where + "file '" + file + "' not found");
        }
    }
    for (JobStep& step : job.steps) {
        if (step.verifyStep == 0) continue;
        std::string where = "step " + std::to_string(step.number) + ": verify=" + std::to_string(step.verifyStep);
        const JobStep* target = job.FindStep(step.verifyStep);
        if (step.command.kind != StepKind::Read) throw FleetError(where + " needs a read command in its own step");
        if (target == nullptr) throw FleetError(where + " names no step");
        if (target->command.kind != StepKind::Send || target->command.fileKind == FileKindBitmap)
            throw FleetError(where + " names a step that is not a send of records");
        if (target->number >= step.number) throw FleetError(where + " names a later step");
    }
}

std::string SendFilePath(const Job& job, const JobStep& step) {
    fs::path file(step.file);
    return file.is_absolute() ? file.string() : (fs::path(job.baseDir) / file).string();
}
