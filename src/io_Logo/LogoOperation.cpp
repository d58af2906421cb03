#include "io_Logo/LogoOperation.h"

#include "errors/Exceptions.h"

namespace {

constexpr int LogoWidth = 240;               // dots per printed line
constexpr int LogoMaxHeight = 240;           // printed lines at most
constexpr int LogoRowBytes = LogoWidth / 8;  // one bitmap row
constexpr int LogoFrameLength = 2 * LogoRowBytes;

// The ECR takes each nibble as one character from '0' (0x30) to '?' (0x3F).
char NibbleChar(unsigned nibble) { return static_cast<char>(0x30 | (nibble & 0x0F)); }

}  // namespace

int LogoSendHandler(int phase, OperationDescriptor* descriptor) {
    if (descriptor == nullptr) THROW_INTERNAL_ERROR("src/io_Logo");
    switch (phase) {
        case PhaseDescribe:
            descriptor->commandNumber = 670;
            descriptor->name = "Logo bitmap send";
            descriptor->mode = ModeSend;
            descriptor->fileKind = FileKindBitmap;
            descriptor->ecrCommand = 0x7B;
            descriptor->maxRecords = LogoMaxHeight;
            descriptor->bitmapWidth = LogoWidth;
            descriptor->replyLength = LogoFrameLength;
            return 0;
        case PhaseConvert:
            // One packed row (bit 0 of the first byte is the leftmost dot) becomes
            // 60 characters, high nibble first.
            for (int i = 0; i < LogoRowBytes; ++i) {
                const unsigned byte = static_cast<unsigned char>(descriptor->text[i]);
                descriptor->frame[2 * i] = NibbleChar(byte >> 4);
                descriptor->frame[2 * i + 1] = NibbleChar(byte);
            }
            descriptor->frame[LogoFrameLength] = '\0';
            return LogoFrameLength;
        case PhaseCheck: return 1;
        default: THROW_INTERNAL_ERROR("src/io_Logo");
    }
}
