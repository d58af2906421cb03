#include "io_Department/DepartmentOperations.h"

#include <string>

#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "io_Report/RecordText.h"
#include "tools/FieldChecks.h"
#include "tools/FieldTools.h"

namespace {

constexpr char Module[] = "src/io_Department";
constexpr int DepartmentFieldCount = 5;
constexpr int DepartmentNameField = 2;
constexpr uint32_t DepartmentCount = 8;

int CheckDepartmentRecord(const OperationDescriptor* descriptor) {
    bool valid = SplitIntoFields(descriptor->text, DepartmentFieldCount) &&
                 CheckNumberField(0, "department number", 1, DepartmentCount) &&
                 CheckNumberField(1, "department value", 0, 99999999) &&
                 CheckNameField(DepartmentNameField, TheEcrComm().ecrNameLength) &&
                 CheckNumberField(3, "setting", 0, 99) && CheckNumberField(4, "setting", 0, 31);
    return valid ? 1 : 0;
}

int BuildDepartmentFrame(OperationDescriptor* descriptor) {
    FieldList& fields = SharedFieldList();
    if (fields.Split(descriptor->text, FileDelimiter) != DepartmentFieldCount) return StoreFrameData(descriptor, "");
    std::string frame[DepartmentFieldCount] = {
        ToEcrField(fields.At(0), FieldNumber, 2),
        ToEcrField(fields.At(1), FieldNumber, 8),
        ToEcrField(fields.At(2), FieldText, TheEcrComm().ecrNameLength),
        FormatEcrField(fields.At(3), FieldNumber, 2, true),
        FormatEcrField(fields.At(4), FieldNumber, 2, true),
    };
    return StoreFrameData(descriptor, JoinFields(frame, DepartmentFieldCount, EcrFieldSeparator));
}

int ConvertDepartmentFrame(OperationDescriptor* descriptor) {
    if (SplitReceivedFrameWithName(descriptor, DepartmentNameField, TheEcrComm().ecrNameLength) != DepartmentFieldCount)
        return StoreUnexpectedFrame(descriptor);
    const FieldList& fields = SharedFieldList();
    std::string line[DepartmentFieldCount];
    for (int i = 0; i < DepartmentFieldCount; ++i)
        line[i] = FromEcrField(fields.At(i), i == DepartmentNameField ? FieldText : FieldNumber);
    return StoreRecordText(descriptor, JoinFields(line, DepartmentFieldCount, FileDelimiter));
}

}  // namespace

int DepartmentSendHandler(int phase, OperationDescriptor* descriptor) {
    switch (phase) {
        case PhaseDescribe:
            descriptor->commandNumber = 211;
            descriptor->name = "DEPARTMENT record modify";
            descriptor->mode = ModeSend;
            descriptor->fileKind = FileKindSortedText;
            descriptor->ecrCommand = 0x70;
            descriptor->maxRecords = DepartmentCount;
            return 0;
        case PhaseConvert: return BuildDepartmentFrame(descriptor);
        case PhaseCheck: return CheckDepartmentRecord(descriptor);
        default: THROW_INTERNAL_ERROR(Module);
    }
}

int DepartmentReadHandler(int phase, OperationDescriptor* descriptor) {
    switch (phase) {
        case PhaseDescribe:
            descriptor->commandNumber = 217;
            descriptor->name = "DEPARTMENT records read";
            descriptor->mode = ModeRead;
            descriptor->fileKind = FileKindSortedText;
            descriptor->ecrCommand = 0x71;
            descriptor->maxRecords = DepartmentCount;
            descriptor->replyLength = static_cast<uint16_t>(TheEcrComm().ecrNameLength + 27);
            return 0;
        case PhaseConvert: return ConvertDepartmentFrame(descriptor);
        case PhaseCheck: return 1;
        default: THROW_INTERNAL_ERROR(Module);
    }
}
