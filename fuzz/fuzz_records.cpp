// Record conversion by every operation: data-file lines checked and built
// into frames for the sends, received frames turned into lines for the reads.
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "driver/OperationTable.h"
#include "ecrcomm/EcrComm.h"
#include "io_Raw/RawCommands.h"
#include "tools/FieldTools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    const size_t entry = input.Byte() % OperationTableSize;
    const uint8_t rawRow = input.Byte() % RawCommandCount;
    EcrComm& link = TheEcrComm();
    link.ecrLevel = input.Byte() % 4;
    link.ecrNameLength = input.Byte() % 41;
    FileDelimiter = input.Bool() ? ";" : ",";
    const std::string record = input.Rest();

    OperationHandler handler = OperationTable[entry];
    // On the heap, so that a write past the descriptor is seen.
    auto descriptor = std::make_unique<OperationDescriptor>();
    std::memset(descriptor.get(), 0, sizeof *descriptor);
    descriptor->commandNumber = RawCommandTable[rawRow].number;
    handler(PhaseDescribe, descriptor.get());
    if (descriptor->commandNumber == 0) return 0;  // not served at this level

    const uint32_t kind = descriptor->mode & ModeKindMask;
    if (kind == ModeRead) {
        // As the link leaves it: the data and a terminating zero.
        const size_t length = std::min(record.size(), static_cast<size_t>(MaxDataFrameLength + 3));
        std::memcpy(descriptor->frame, record.data(), length);
        descriptor->frame[length] = '\0';
        char received[RecordFrameSize];
        std::memcpy(received, descriptor->frame, sizeof received);
        int stored = handler(PhaseConvert, descriptor.get());
        FUZZ_CHECK(stored >= 0);
        if (descriptor->fileKind != FileKindBinary) {
            FUZZ_CHECK(static_cast<size_t>(stored) < RecordTextSize);
            FUZZ_CHECK(descriptor->text[stored] == '\0');  // decoded data may hold NUL bytes itself
        }
        // Converting a frame never changes it.
        FUZZ_CHECK(std::memcmp(received, descriptor->frame, sizeof received) == 0);
    } else if (kind == ModeSend) {
        // As the input file hands a line over: at most the text buffer, terminated.
        const size_t length = std::min(record.size(), static_cast<size_t>(RecordTextSize - 1));
        std::memcpy(descriptor->text, record.data(), length);
        descriptor->text[length] = '\0';
        const bool valid = handler(PhaseCheck, descriptor.get()) != 0;
        int frameLength = handler(PhaseConvert, descriptor.get());
        FUZZ_CHECK(frameLength >= 0 && frameLength <= RecordFrameSize);
        // A line the check accepts must make a frame the link can send.
        if (valid && (descriptor->fileKind == FileKindSortedText || descriptor->fileKind == FileKindText))
            FUZZ_CHECK(frameLength <= MaxDataFrameLength);
    }
    return 0;
}
