#include "trace/CommandNames.h"

#include <cstring>
#include <vector>

#include "driver/OperationTable.h"
#include "io_Raw/RawCommands.h"

namespace trace {

namespace {

constexpr uint8_t StatusCode = 0x83;

struct Use {
    uint8_t code;
    int number;
    std::string name;
};

// Every code use of the driver: each operation's command and clear command,
// then the service commands.
const std::vector<Use>& Uses() {
    static const std::vector<Use> uses = [] {
        std::vector<Use> list;
        static OperationDescriptor descriptor;  // large: off the stack
        for (size_t entry = 0; entry < OperationTableSize; ++entry) {
            std::memset(&descriptor, 0, sizeof descriptor);
            OperationTable[entry](PhaseDescribe, &descriptor);
            if (descriptor.commandNumber == 0 || descriptor.name == nullptr) continue;
            list.push_back({descriptor.ecrCommand, descriptor.commandNumber, descriptor.name});
            if (descriptor.clearCommand != 0)
                list.push_back(
                    {descriptor.clearCommand, descriptor.commandNumber, std::string("clear after ") + descriptor.name});
        }
        for (const RawCommand* row = RawCommandTable; row->number != 0; ++row)
            list.push_back({static_cast<uint8_t>(row->ecrCommand & 0xFF), row->number, row->name});
        return list;
    }();
    return uses;
}

}  // namespace

int CommandNumberOf(const std::string& commandLine) {
    // The program comes first; Windows puts a path with blanks in quotes.
    size_t at = 0;
    if (!commandLine.empty() && commandLine[0] == '"') {
        size_t close = commandLine.find('"', 1);
        at = close == std::string::npos ? commandLine.size() : close + 1;
    }
    at = commandLine.find(' ', at);
    while (at != std::string::npos && at < commandLine.size()) {
        while (at < commandLine.size() && commandLine[at] == ' ') ++at;
        size_t end = commandLine.find(' ', at);
        std::string word = commandLine.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end;
        if (word.empty() || word[0] == '/' || word[0] == '-') continue;
        int number = 0;
        for (char ch : word) {
            if (ch < '0' || ch > '9' || number > 100000) break;
            number = number * 10 + (ch - '0');
        }
        return number;
    }
    return 0;
}

std::string CommandName(uint8_t ecrCode, int runCommand) {
    if (ecrCode == StatusCode) return "status request";
    std::string all;
    for (const Use& use : Uses()) {
        if (use.code != ecrCode) continue;
        std::string named = use.name + " (" + std::to_string(use.number) + ")";
        if (use.number == runCommand) return named;
        if (all.find(named) == std::string::npos) all += (all.empty() ? "" : " / ") + named;
    }
    return all;
}

}  // namespace trace
