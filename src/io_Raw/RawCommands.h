#pragma once
// Service commands that pass the ECR's preset and report blocks through unchanged.
#include <cstdint>

#include "driver/Operation.h"

struct RawCommand {
    int32_t number;      // 0 ends the table
    int32_t ecrCommand;  // low 8 bits used
    int32_t maxRecords;
    int32_t replyLength;  // low 16 bits used; 0 = any length
    int32_t minLevel;     // low 8 bits used
    int32_t mode;
    const char* name;
};

extern const RawCommand RawCommandTable[];
inline constexpr int RawCommandCount = 38;

// First row with this number whose minLevel is at most the link's ecrLevel.
const RawCommand* FindRawCommand(int32_t number);
void ListRawCommands();
int RawCommandHandler(int phase, OperationDescriptor* descriptor);
