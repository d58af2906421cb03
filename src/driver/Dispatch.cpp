#include "driver/Dispatch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/Config.h"
#include "driver/Operation.h"
#include "driver/OperationTable.h"
#include "driver/TransferEngine.h"
#include "driver/Version.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "io_Raw/RawCommands.h"
#include "language/CodePage.h"

namespace {
constexpr int DefaultEcrOperationMaxTime = 1400;
int operationMaxTime = DefaultEcrOperationMaxTime;
}  // namespace

int EcrOperationMaxTime() { return operationMaxTime; }

void LoadOperationSettings() {
    SetupCodePage(TheEcrComm().ecrLanguage);
    // A negative value (a typing slip) counts as 0: the link adds the time to
    // its own as an unsigned count, where it would wrap round to a wait of weeks.
    operationMaxTime = std::max(0, TheConfig().GetInt("EcrOperationMaxTime", DefaultEcrOperationMaxTime));
}

int TranslateCommandNumber(int commandNumber) {
    int translated = TheConfig().GetInt(std::to_string(commandNumber), commandNumber, "CommandNumberTranslation");
    if (translated <= 0) throw DriverErrorException("Incorrect command number translation");
    return translated;
}

void Dispatch(int commandNumber, const char* fileName, bool checkOnly) {
    LoadOperationSettings();
    const int number = TranslateCommandNumber(commandNumber);

    // Large buffers: keep the descriptor off the stack.
    static OperationDescriptor descriptor;
    for (size_t entry = 0; entry < OperationTableSize; ++entry) {
        OperationHandler handler = OperationTable[entry];
        memset(&descriptor, 0, sizeof(descriptor));
        descriptor.commandNumber = number;
        handler(PhaseDescribe, &descriptor);
        if (descriptor.commandNumber != number) continue;
        if (TheEcrComm().ecrLevel < static_cast<int32_t>(descriptor.minLevel)) continue;

        printf("Command: %d - %s\n\n", descriptor.commandNumber, descriptor.name ? descriptor.name : "");
        if (descriptor.operationTime == 0) descriptor.operationTime = operationMaxTime;
        if (descriptor.replyLength == 0) descriptor.replyLength = VariableFrameLength;

        const uint32_t kind = descriptor.mode & ModeKindMask;
        if (fileName == nullptr && kind != ModeCommand) throw CommandLineErrorException("File name is missing");
        descriptor.fileName = fileName;
        if (checkOnly) {
            if (kind != ModeSend) throw CommandLineErrorException("Switch /C takes a send command");
            RunSendCheck(handler, &descriptor);
            return;
        }

        switch (kind) {
            case ModeRead: RunReadTransfer(handler, &descriptor); break;
            case ModeSend: RunSendTransfer(handler, &descriptor); break;
            case ModeCommand:
                TheEcrComm().SetOperationTimeout(descriptor.operationTime);
                TheEcrComm().SendCommand(descriptor.ecrCommand);
                break;
            default: break;
        }
        return;
    }
    throw CommandLineErrorException("Unknown command");
}

void ShowHelp(int kind) {
    printf("\n%s\n", VersionBanner().c_str());
    printf("Data exchange between a PC and the %s electronic cash register.\n\n", ProgramName);
    printf("Usage: %s.EXE [options] command [filename]\n\n", ProgramName);
    printf("Options:\n\n");
    printf("  /Kn          ECR logical number (same as in ECR INI-section name)\n");
    printf("  /C           Check the file of a send command without sending it\n");
    printf("  /H           Show this help\n");
    printf("  /H1          Show %s commands\n", ProgramName);
    printf("  /H2          Show service commands\n\n");

    if (kind == 1) {
        printf("%s commands:\n\n", ProgramName);
        static OperationDescriptor descriptor;
        for (size_t entry = 0; entry < OperationTableSize; ++entry) {
            memset(&descriptor, 0, sizeof(descriptor));
            OperationTable[entry](PhaseDescribe, &descriptor);
            if (descriptor.commandNumber != 0)
                printf(" %4d %s\n", descriptor.commandNumber, descriptor.name ? descriptor.name : "");
        }
    } else if (kind == 2) {
        printf("Service commands:\n");
        ListRawCommands();
    }
}
