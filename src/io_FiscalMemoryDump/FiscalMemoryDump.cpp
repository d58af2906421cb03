#include "io_FiscalMemoryDump/FiscalMemoryDump.h"

#include <cctype>
#include <cstring>

#include "errors/Exceptions.h"
#include "io_Report/RecordText.h"
#include "tools/TextTools.h"

namespace {

constexpr char Module[] = "src/io_FiscalMemoryDump";
constexpr int DumpBytesPerFrame = 32;

// Each frame carries 64 hexadecimal digits, high nibble first, 32 bytes.
// Missing digits decode as 0 so that every frame still fills its 32 bytes
// of the dump; a frame that is not exactly 64 hexadecimal digits is logged
// and marks the run as having errors.
int DecodeDumpFrame(OperationDescriptor* descriptor) {
    size_t length = strnlen(descriptor->frame, sizeof descriptor->frame);
    bool wellFormed = length == 2 * DumpBytesPerFrame;
    for (size_t i = 0; i < length && wellFormed; ++i)
        wellFormed = std::isxdigit(static_cast<unsigned char>(descriptor->frame[i])) != 0;
    if (!wellFormed) ReportUnexpectedFrame(descriptor);

    for (size_t i = 0; i < DumpBytesPerFrame; ++i) {
        char high = 2 * i < length ? descriptor->frame[2 * i] : '0';
        char low = 2 * i + 1 < length ? descriptor->frame[2 * i + 1] : '0';
        descriptor->text[i] = static_cast<char>(HexDigitValue(high) * 16 + HexDigitValue(low));
    }
    return DumpBytesPerFrame;
}

}  // namespace

int FiscalMemoryDumpHandler(int phase, OperationDescriptor* descriptor) {
    switch (phase) {
        case PhaseDescribe:
            descriptor->commandNumber = 700;
            descriptor->name = "Fiscal memory dump read";
            descriptor->mode = ModeRead;
            descriptor->fileKind = FileKindBinary;
            descriptor->ecrCommand = 0x79;
            descriptor->maxRecords = 8192;
            descriptor->replyLength = 2 * DumpBytesPerFrame + 3;
            return 0;
        case PhaseConvert: return DecodeDumpFrame(descriptor);
        case PhaseCheck: return 1;
        default: THROW_INTERNAL_ERROR(Module);
    }
}
