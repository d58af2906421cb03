#include "fleet/Operations.h"

#include <cstring>

#include "driver/OperationTable.h"
#include "ecrcomm/EcrComm.h"

namespace {
// The highest level a register reports: every command of the table exists there.
constexpr int HighestLevel = 9;
}  // namespace

CommandInfo DescribeCommand(int number) {
    CommandInfo info;
    if (number <= 0) return info;
    // The service commands look the level up on the link.
    TheEcrComm().ecrLevel = HighestLevel;
    static OperationDescriptor descriptor;
    for (size_t entry = 0; entry < OperationTableSize; ++entry) {
        memset(&descriptor, 0, sizeof descriptor);
        descriptor.commandNumber = number;
        OperationTable[entry](PhaseDescribe, &descriptor);
        if (descriptor.commandNumber != number) continue;
        info.known = true;
        info.number = number;
        info.name = descriptor.name ? descriptor.name : "";
        info.fileKind = descriptor.fileKind;
        info.handler = OperationTable[entry];
        switch (descriptor.mode & ModeKindMask) {
            case ModeSend: info.kind = StepKind::Send; break;
            case ModeCommand: info.kind = StepKind::Command; break;
            default: info.kind = descriptor.clearCommand != 0 ? StepKind::ReadClear : StepKind::Read; break;
        }
        return info;
    }
    return info;
}

const char* StepKindName(StepKind kind) {
    switch (kind) {
        case StepKind::Send: return "send";
        case StepKind::Read: return "read";
        case StepKind::ReadClear: return "read and clear";
        case StepKind::Command: return "command";
    }
    return "";
}

bool NeedsFile(StepKind kind) { return kind != StepKind::Command; }

bool IsRepeatable(StepKind kind) { return kind == StepKind::Send || kind == StepKind::Read; }
