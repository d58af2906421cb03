#include "support/Fleet.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/peers/ChildProcess.h"

namespace fs = std::filesystem;

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string FleetProgram() {
    std::string program = Environment("KVT_TEST_FLEET");
    return program.empty() ? KVTFLEET_PATH : program;
}

std::string DriverProgram() {
    std::string program = Environment("KVT_TEST_DRIVER");
    return program.empty() ? KVT5100_PATH : program;
}

// Splits a CSV line of summary.csv (quoted fields with doubled quotes).
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char ch = line[i];
        if (quoted) {
            if (ch == '"' && i + 1 < line.size() && line[i + 1] == '"') fields.back() += '"', ++i;
            else if (ch == '"') quoted = false;
            else fields.back() += ch;
        } else if (ch == '"') {
            quoted = true;
        } else if (ch == ',') {
            fields.emplace_back();
        } else if (ch != '\r') {
            fields.back() += ch;
        }
    }
    return fields;
}

}  // namespace

FleetSandbox::FleetSandbox() : dir("kvtfleet-test") {
    fs::create_directory(PathOf("bin"));
    fleetName = fs::path(FleetProgram()).filename().string();
    for (const std::string& program : {DriverProgram(), FleetProgram()}) {
        std::string copy = PathOf("bin/" + fs::path(program).filename().string());
        fs::copy_file(program, copy);
        fs::permissions(copy, fs::perms::owner_all);
    }
}

pid_t FleetSandbox::Start(const std::vector<std::string>& args, int out) const {
    return StartProgram(Dir(), PathOf("bin/" + fleetName), args, out);
}

RunResult FleetSandbox::Run(const std::vector<std::string>& args, int timeoutSeconds) const {
    std::string outputPath = PathOf(".fleet-stdout");
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) throw std::runtime_error("cannot create " + outputPath);
    pid_t child = Start(args, out);
    close(out);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) != child) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    RunResult result;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    for (char ch : ReadWholeFile(outputPath))
        if (ch != '\r') result.output += ch;
    fs::remove(outputPath);
    return result;
}

std::string FleetIni(const std::vector<std::string>& devices, const std::string& extraEcr) {
    std::string ini = TestIni(devices.at(0), "ComRetryCount = 2\r\n" + extraEcr);
    for (size_t i = 1; i < devices.size(); ++i) {
        ini += "\r\n[ECR_" + std::to_string(i + 1) + "]\r\nComDevice = " + devices[i] +
               "\r\nComNakSleepTime = 5\r\nComGarbageSleepTime = 5\r\nSleepBetweenCommands = 5\r\n"
               "EcrRecoveryTime = 20\r\nGarbageMaxByteInterval = 5\r\nEcrOperationMaxTime = 300\r\n"
               "ComRetryCount = 2\r\n" +
               extraEcr + "\r\n";
    }
    return ini;
}

std::string RunFolderOf(const RunResult& result) {
    std::istringstream lines(result.output);
    std::string line;
    std::string last;
    while (std::getline(lines, line))
        if (!line.empty()) last = line;
    // A Windows path of the run folder as the Linux side sees it.
    if (last.size() > 2 && last[1] == ':' && DriverIsWindowsProgram()) {
        std::string path = last.substr(2);
        for (char& ch : path)
            if (ch == '\\') ch = '/';
        return path;
    }
    return last;
}

std::vector<std::map<std::string, std::string>> ReadSummary(const std::string& runDir) {
    std::istringstream lines(ReadWholeFile(runDir + "/summary.csv"));
    std::string line;
    std::vector<std::map<std::string, std::string>> rows;
    if (!std::getline(lines, line)) return rows;
    std::vector<std::string> header = CsvFields(line);
    while (std::getline(lines, line)) {
        if (line.empty() || line == "\r") continue;
        std::vector<std::string> fields = CsvFields(line);
        std::map<std::string, std::string> row;
        for (size_t i = 0; i < header.size() && i < fields.size(); ++i) row[header[i]] = fields[i];
        rows.push_back(row);
    }
    return rows;
}

std::map<std::string, std::string> SummaryRow(const std::vector<std::map<std::string, std::string>>& rows, int reg,
                                              int step) {
    for (const auto& row : rows)
        if (row.at("register") == std::to_string(reg) && row.at("step") == std::to_string(step)) return row;
    return {};
}
