#pragma once
// What passes between the front end, an operation, the data files and the link.
#include <cstdint>

inline constexpr uint32_t ModeRead = 0x10;
inline constexpr uint32_t ModeSend = 0x20;
inline constexpr uint32_t ModeCommand = 0x40;
inline constexpr uint32_t ModeKindMask = 0xF0;

enum OperationPhase : int {
    PhaseDescribe = 0,
    PhaseConvert = 1,
    PhaseCheck = 2,
};

inline constexpr int RecordTextSize = 1024;
inline constexpr int RecordFrameSize = 512;

struct OperationDescriptor {
    uint32_t mode;
    int32_t fileKind;
    int32_t commandNumber;
    const char* name;
    uint8_t ecrCommand;
    uint8_t clearCommand;
    uint32_t maxRecords;   // records one transfer takes at most
    uint32_t bitmapWidth;  // dots in every row of a bitmap input file
    int32_t operationTime;
    uint16_t replyLength;
    uint8_t minLevel;
    const char* fileName;
    uint32_t recordCount;
    char text[RecordTextSize];
    char frame[RecordFrameSize];
};

// Describes the command (phase 0), converts one record (1) or checks one
// input line (2). Any other phase is an internal error of the handler.
using OperationHandler = int (*)(int phase, OperationDescriptor* descriptor);

// Input and output file kinds.
inline constexpr int FileKindBitmap = 0;
inline constexpr int FileKindSortedText = 1;
inline constexpr int FileKindText = 2;
inline constexpr int FileKindBinary = 3;
