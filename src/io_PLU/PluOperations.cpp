#include "io_PLU/PluOperations.h"

#include <string>

#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "io_Report/RecordText.h"
#include "tools/FieldChecks.h"
#include "tools/FieldTools.h"

namespace {

constexpr char Module[] = "src/io_PLU";
constexpr int PluFieldCount = 6;
constexpr int PluNameField = 2;
constexpr int SalesFieldCount = 3;
constexpr uint32_t PluMaxRecords = 1000;

// Phase 2 of the table and record sends: six fields, each in its range; a
// refused line names its first fault.
int CheckPluRecord(const OperationDescriptor* descriptor) {
    bool valid = SplitIntoFields(descriptor->text, PluFieldCount) &&
                 CheckNumberField(0, "PLU code", 1, 9999999999999LL) && CheckNumberField(1, "price", 0, 99999999) &&
                 CheckNameField(PluNameField, TheEcrComm().ecrNameLength) &&
                 CheckNumberField(3, "item setting", 0, 8) && CheckNumberField(4, "item setting", 0, 99) &&
                 CheckNumberField(5, "item setting", 1, 7);
    return valid ? 1 : 0;
}

// Phase 1 of the sends: the record line becomes fixed-width frame fields.
int BuildPluFrame(OperationDescriptor* descriptor) {
    FieldList& fields = SharedFieldList();
    if (fields.Split(descriptor->text, FileDelimiter) != PluFieldCount) return StoreFrameData(descriptor, "");
    const EcrComm& ecr = TheEcrComm();
    std::string frame[PluFieldCount] = {
        ToEcrField(fields.At(0), FieldNumber, 13),
        ToEcrField(fields.At(1), FieldNumber, 8),
        ToEcrField(fields.At(2), FieldText, ecr.ecrNameLength),
        FormatEcrField(fields.At(3), FieldNumber, 2, true),
        // Level 0 registers take the fifth field without quotes.
        ecr.ecrLevel != 0 ? FormatEcrField(fields.At(4), FieldNumber, 2, true)
                          : ToEcrField(fields.At(4), FieldNumber, 2),
        FormatEcrField(fields.At(5), FieldNumber, 2, true),
    };
    return StoreFrameData(descriptor, JoinFields(frame, PluFieldCount, EcrFieldSeparator));
}

// Phase 1 of the table read: the frame becomes a line in the send layout.
int ConvertPluTableFrame(OperationDescriptor* descriptor) {
    if (SplitReceivedFrameWithName(descriptor, PluNameField, TheEcrComm().ecrNameLength) != PluFieldCount)
        return StoreUnexpectedFrame(descriptor);
    const FieldList& fields = SharedFieldList();
    std::string line[PluFieldCount];
    for (int i = 0; i < PluFieldCount; ++i)
        line[i] = FromEcrField(fields.At(i), i == PluNameField ? FieldText : FieldNumber);
    return StoreRecordText(descriptor, JoinFields(line, PluFieldCount, FileDelimiter));
}

// Phase 1 of the sales report: three numbers.
int ConvertPluSalesFrame(OperationDescriptor* descriptor) {
    if (SplitReceivedFrame(descriptor) != SalesFieldCount) return StoreUnexpectedFrame(descriptor);
    const FieldList& fields = SharedFieldList();
    std::string line[SalesFieldCount];
    for (int i = 0; i < SalesFieldCount; ++i) line[i] = FromEcrField(fields.At(i), FieldNumber);
    return StoreRecordText(descriptor, JoinFields(line, SalesFieldCount, FileDelimiter));
}

}  // namespace

int PluTableSendHandler(int phase, OperationDescriptor* descriptor) {
    switch (phase) {
        case PhaseDescribe:
            descriptor->commandNumber = 200;
            descriptor->name = "PLU table send";
            descriptor->mode = ModeSend;
            descriptor->fileKind = FileKindSortedText;
            descriptor->ecrCommand = 0x51;
            descriptor->maxRecords = PluMaxRecords;
            return 0;
        case PhaseConvert: return BuildPluFrame(descriptor);
        case PhaseCheck: return CheckPluRecord(descriptor);
        default: THROW_INTERNAL_ERROR(Module);
    }
}

int PluRecordSendHandler(int phase, OperationDescriptor* descriptor) {
    if (phase != PhaseDescribe) return PluTableSendHandler(phase, descriptor);
    PluTableSendHandler(PhaseDescribe, descriptor);
    descriptor->commandNumber = 201;
    descriptor->name = "PLU record add/modify/delete";
    descriptor->ecrCommand = 0x52;
    descriptor->maxRecords = PluMaxRecords;
    return 0;
}

int PluTableReadHandler(int phase, OperationDescriptor* descriptor) {
    switch (phase) {
        case PhaseDescribe: {
            const EcrComm& ecr = TheEcrComm();
            descriptor->commandNumber = 207;
            descriptor->name = "PLU table read";
            descriptor->mode = ModeRead;
            descriptor->fileKind = FileKindSortedText;
            descriptor->ecrCommand = 0x53;
            descriptor->maxRecords = PluMaxRecords;
            descriptor->replyLength = static_cast<uint16_t>(ecr.ecrNameLength + (ecr.ecrLevel == 0 ? 41 : 43));
            return 0;
        }
        case PhaseConvert: return ConvertPluTableFrame(descriptor);
        case PhaseCheck: return 1;
        default: THROW_INTERNAL_ERROR(Module);
    }
}

int PluSalesReadHandler(int phase, OperationDescriptor* descriptor) {
    switch (phase) {
        case PhaseDescribe:
            descriptor->commandNumber = 502;
            descriptor->name = "PLU sales report read";
            descriptor->mode = ModeRead;
            descriptor->fileKind = FileKindSortedText;
            descriptor->ecrCommand = 0x54;
            descriptor->maxRecords = PluMaxRecords;
            return 0;
        case PhaseConvert: return ConvertPluSalesFrame(descriptor);
        case PhaseCheck: return 1;
        default: THROW_INTERNAL_ERROR(Module);
    }
}

int PluSalesReadClearHandler(int phase, OperationDescriptor* descriptor) {
    if (phase != PhaseDescribe) return PluSalesReadHandler(phase, descriptor);
    PluSalesReadHandler(PhaseDescribe, descriptor);
    descriptor->commandNumber = 503;
    descriptor->name = "PLU sales report read and clear";
    descriptor->clearCommand = 0x50;
    return 0;
}
