#include "io_Raw/RawCommands.h"

#include <cstdio>
#include <cstring>

#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "tools/LineRefusal.h"
#include "tools/TextTools.h"

namespace {
constexpr int32_t Read = static_cast<int32_t>(ModeRead);
constexpr int32_t Send = static_cast<int32_t>(ModeSend);
constexpr int32_t Command = static_cast<int32_t>(ModeCommand);

// The length of a record line as it goes into its frame: without its line end.
size_t SentLineLength(const char* line) {
    size_t length = strnlen(line, RecordTextSize - 1);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) --length;
    return length;
}
}  // namespace

// Row order is the order of the service command list.
const RawCommand RawCommandTable[] = {
    {80, 0x50, 0, 0, 0, Command, "PLU Sales data clear"},
    {81, 0x51, 1000, 0, 0, Send, "PLU preset data send"},
    {82, 0x52, 1, 0, 0, Send, "Single PLU data send"},
    {83, 0x53, 1000, 0, 0, Read, "PLU preset data receive "},
    {84, 0x54, 1000, 0, 0, Read, "PLU sales data receive"},
    {87, 0x57, 5, 0, 0, Read, "FC preset data receive"},
    {88, 0x58, 5, 0, 0, Send, "FC preset data send"},
    {89, 0x59, 3, 0, 0, Read, "Payment preset data receive"},
    {90, 0x5A, 3, 0, 0, Send, "Payment preset data send"},
    {91, 0x5B, 8, 0, 0, Read, "TAX rate preset data receive"},
    {92, 0x5C, 8, 0, 0, Send, "TAX rate preset data send"},
    {98, 0x62, 34, 0, 0, Read, "X1 report receive"},
    {128, 0x80, 1, 0, 1, Command, "X1 report clear"},
    {99, 0x63, 34, 0, 0, Read, "X2 report receive"},
    {129, 0x81, 1, 0, 1, Command, "X2 report clear"},
    {103, 0x67, 24, 0, 0, Read, "Hourly sales report receive"},
    {130, 0x82, 1, 0, 1, Command, "Hourly sales report clear"},
    {104, 0x68, 3, 0, 0, Read, "Manager passcode & Machine# receive"},
    {105, 0x69, 3, 0, 0, Send, "Manager passcode & Machine# send"},
    {106, 0x6A, 3, 0, 0, Read, "Machine flag data receive"},
    {107, 0x6B, 3, 0, 0, Send, "Machine flag data send"},
    {108, 0x6C, 1, 0, 0, Read, "%%+ rate receive"},
    {109, 0x6D, 1, 0, 0, Send, "%%+ rate send"},
    {110, 0x6E, 1, 0, 0, Read, "%%- rate receive"},
    {111, 0x6F, 1, 0, 0, Send, "%%- rate send"},
    {112, 0x70, 8, 0, 0, Send, "Department preset data send"},
    {113, 0x71, 8, 0, 0, Read, "Department preset data receive"},
    {114, 0x72, 7, 0, 0, Send, "Head caption data send"},
    {115, 0x73, 7, 0, 0, Read, "Head caption data receive"},
    {116, 0x74, 1, 0, 0, Read, "+Price and HALO receive"},
    {117, 0x75, 1, 0, 0, Send, "+Price and HALO send"},
    {118, 0x76, 1, 0, 0, Read, "-Price and HALO receive"},
    {119, 0x77, 1, 0, 0, Send, "-Price and HALO send"},
    {121, 0x79, 10000, 67, 1, Read, "Fiscal memory dump read"},
    {132, 0x84, 1, 0, 2, Send, "Fiscal report range set"},
    {133, 0x85, 1000, 0, 2, Read, "Fiscal report read"},
    {101, 0x65, 30, 0, 3, Read, "Clerk report receive"},
    {134, 0x86, 1, 0, 3, Command, "Clerk report clear"},
    {0, 0, 0, 0, 0, 0, nullptr},
};

static_assert(sizeof(RawCommandTable) / sizeof(RawCommandTable[0]) == RawCommandCount + 1);

const RawCommand* FindRawCommand(int32_t number) {
    const int32_t level = TheEcrComm().ecrLevel;
    for (const RawCommand* row = RawCommandTable; row->number != 0; ++row) {
        if (row->number == number && static_cast<int32_t>(row->minLevel & 0xFF) <= level) return row;
    }
    return nullptr;
}

void ListRawCommands() {
    for (const RawCommand* row = RawCommandTable; row->number != 0; ++row) printf(" %4d %s\n", row->number, row->name);
}

int RawCommandHandler(int phase, OperationDescriptor* descriptor) {
    if (descriptor == nullptr) THROW_INTERNAL_ERROR("src/io_Raw");
    switch (phase) {
        case PhaseDescribe: {
            const RawCommand* row = FindRawCommand(descriptor->commandNumber);
            if (row == nullptr) {
                descriptor->commandNumber = 0;
                return 0;
            }
            descriptor->name = row->name;
            descriptor->mode = static_cast<uint32_t>(row->mode);
            descriptor->fileKind = FileKindText;
            descriptor->ecrCommand = static_cast<uint8_t>(row->ecrCommand & 0xFF);
            descriptor->minLevel = static_cast<uint8_t>(row->minLevel & 0xFF);
            descriptor->replyLength = static_cast<uint16_t>(row->replyLength & 0xFFFF);
            descriptor->maxRecords = static_cast<uint32_t>(row->maxRecords);
            return 0;
        }
        case PhaseConvert: {
            if (descriptor->mode & ModeRead) {
                // The frame buffer is NUL-terminated after a read; bound it anyway.
                size_t length = strnlen(descriptor->frame, RecordFrameSize - 1);
                memcpy(descriptor->text, descriptor->frame, length);
                descriptor->text[length] = '\0';
                return static_cast<int>(length);
            }
            descriptor->text[RecordTextSize - 1] = '\0';
            TrimRightChars(descriptor->text, "\r\n");
            size_t length = strlen(descriptor->text);
            // Never past the frame buffer; the link refuses anything over its
            // largest frame anyway, so a cut line can never reach the ECR.
            size_t copied = length < RecordFrameSize - 1 ? length : RecordFrameSize - 1;
            memcpy(descriptor->frame, descriptor->text, copied);
            descriptor->frame[copied] = '\0';
            return static_cast<int>(length < RecordFrameSize - 1 ? length : RecordFrameSize);
        }
        case PhaseCheck:
            // A line one frame cannot carry is refused with the other bad lines,
            // before anything is sent, instead of breaking off the transfer.
            if ((descriptor->mode & ModeSend) && SentLineLength(descriptor->text) > MaxDataFrameLength)
                return RefuseLine(FormatString("longer than %d characters, the most one frame carries",
                                               static_cast<int>(MaxDataFrameLength)));
            return 1;
        default: THROW_INTERNAL_ERROR("src/io_Raw");
    }
}
