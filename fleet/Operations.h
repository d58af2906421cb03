#pragma once
// What kvtfleet needs to know of a driver command, taken from the driver's
// own operation table: whether it sends, reads, reads and clears, or only
// commands, and which file it takes.
#include <string>

#include "driver/Operation.h"

enum class StepKind {
    Send,       // file to register: may be repeated after any failure
    Read,       // register to file: may be repeated after any failure
    ReadClear,  // read, then "Clearing data": repeated only when the clear was never reached
    Command,    // a command frame alone (the service clears): never repeated
};

struct CommandInfo {
    bool known = false;
    int number = 0;  // the command the driver runs (after the INI's translation)
    std::string name;
    StepKind kind = StepKind::Read;
    int fileKind = FileKindText;
    OperationHandler handler = nullptr;
};

// The command `number` as the driver serves it to a register of the highest
// level; `known` false when the driver has no such command.
CommandInfo DescribeCommand(int number);

const char* StepKindName(StepKind kind);
bool NeedsFile(StepKind kind);
bool IsRepeatable(StepKind kind);
