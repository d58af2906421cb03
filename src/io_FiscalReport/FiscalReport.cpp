#include "io_FiscalReport/FiscalReport.h"

#include <cctype>
#include <cstring>
#include <string>

#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "io_Report/RecordText.h"
#include "tools/FieldChecks.h"
#include "tools/FieldTools.h"
#include "tools/LineRefusal.h"
#include "tools/TextTools.h"

namespace {

constexpr char Module[] = "src/io_FiscalReport";
constexpr int RangeFieldCount = 4;
constexpr int RangeFrameFieldCount = 5;

bool IsRangeKind(const std::string& text) { return text == "D" || text == "S"; }

// Field 1 is free text whose number goes to the register as it stands. A
// number beyond 64 bits would be sorted as another number than the one sent
// and could make a frame longer than the link carries, so it is refused.
bool IsRecordNumberSentAsSorted(const std::string& text) {
    return ToEcrField(text, FieldNumber, 1) == std::to_string(ParseLeadingInt64(text));
}

// Phase 2 of both range commands; `isBound` checks the first and last value,
// which `boundName` names in the reason of a refused line.
int CheckRangeRecord(const OperationDescriptor* descriptor, bool (*isBound)(const std::string&),
                     const char* boundName) {
    if (!SplitIntoFields(descriptor->text, RangeFieldCount)) return 0;
    // The date check splits with its own list, so field 1 stays in the shared
    // list as the record number.
    const FieldList& fields = SharedFieldList();
    if (!IsRecordNumberSentAsSorted(fields.At(0)))
        return RefuseLine("field 1 (record number) must be a whole number within 64 bits");
    if (!IsRangeKind(fields.At(1))) return RefuseLine("field 2 (report kind) must be D or S");
    for (int bound = 2; bound <= 3; ++bound) {
        if (!isBound(fields.At(bound))) return RefuseLine(FormatString("field %d must be %s", bound + 1, boundName));
    }
    return 1;
}

bool IsZCounter(const std::string& text) { return IsNumberInRange(text, 0, 9999); }

std::string ZCounterToEcr(const std::string& text) { return ToEcrField(text, FieldNumber, 6); }

std::string DateToEcrField(const std::string& text) {
    return FormatEcrField(FiscalDateToEcr(text), FieldText, 6, false);
}

// Phase 1 of both range commands: record number, report kind, range type
// letter and the two bounds.
int BuildRangeFrame(OperationDescriptor* descriptor, const char* rangeType,
                    std::string (*boundToEcr)(const std::string&)) {
    FieldList& fields = SharedFieldList();
    if (fields.Split(descriptor->text, FileDelimiter) != RangeFieldCount) return StoreFrameData(descriptor, "");
    std::string frame[RangeFrameFieldCount] = {
        ToEcrField(fields.At(0), FieldNumber, 1),
        FormatEcrField(fields.At(1), FieldText, 1, false),
        FormatEcrField(rangeType, FieldText, 1, false),
        boundToEcr(fields.At(2)),
        boundToEcr(fields.At(3)),
    };
    return StoreFrameData(descriptor, JoinFields(frame, RangeFrameFieldCount, EcrFieldSeparator));
}

// A report line arrives as hexadecimal digit pairs. A frame with an odd
// number of characters or a character that is not a hexadecimal digit
// cannot be decoded faithfully and is kept as it came.
int DecodeReportFrame(OperationDescriptor* descriptor) {
    size_t length = strnlen(descriptor->frame, sizeof descriptor->frame);
    bool wellFormed = length % 2 == 0;
    for (size_t i = 0; i < length && wellFormed; ++i)
        wellFormed = std::isxdigit(static_cast<unsigned char>(descriptor->frame[i])) != 0;
    if (!wellFormed) return StoreUnexpectedFrame(descriptor);

    size_t n = length / 2;
    for (size_t i = 0; i < n; ++i)
        descriptor->text[i] = static_cast<char>(HexDigitValue(descriptor->frame[2 * i]) * 16 +
                                                HexDigitValue(descriptor->frame[2 * i + 1]));
    descriptor->text[n] = '\0';
    return static_cast<int>(n);
}

}  // namespace

bool IsFiscalDate(const std::string& text) {
    // The date goes to the register with only its "-" taken out: a blank or
    // quote that the split below would trim away must not pass.
    if (text.find_first_not_of("0123456789-") != std::string::npos) return false;
    FieldList parts;  // not the shared list: it still holds the record's fields
    if (parts.Split(text, "-") != 3) return false;
    // The register gets the date as at most six digits: a missing part
    // ("01-03-" would go as "0103") or a part of three digits ("01-03-009"
    // would be cut to "010300") would reach it as another date.
    for (int i = 0; i < 3; ++i)
        if (parts.At(i).empty() || parts.At(i).size() > 2) return false;
    return IsNumberInRange(parts.At(0), 1, 31) && IsNumberInRange(parts.At(1), 1, 12) &&
           IsNumberInRange(parts.At(2), 0, 99);
}

std::string FiscalDateToEcr(const std::string& text) {
    if (!IsFiscalDate(text)) return "";
    std::string result;
    for (char ch : text)
        if (ch != '-') result += ch;
    return result;
}

int FiscalZRangeSetHandler(int phase, OperationDescriptor* descriptor) {
    switch (phase) {
        case PhaseDescribe:
            descriptor->commandNumber = 701;
            descriptor->name = "Fiscal report Z counter range set";
            descriptor->mode = ModeSend;
            descriptor->fileKind = FileKindSortedText;
            descriptor->ecrCommand = 0x84;
            descriptor->maxRecords = 1;
            descriptor->minLevel = 2;
            return 0;
        case PhaseConvert: return BuildRangeFrame(descriptor, "Z", ZCounterToEcr);
        case PhaseCheck: return CheckRangeRecord(descriptor, IsZCounter, "a Z counter 0 to 9999");
        default: THROW_INTERNAL_ERROR(Module);
    }
}

int FiscalDateRangeSetHandler(int phase, OperationDescriptor* descriptor) {
    switch (phase) {
        case PhaseDescribe:
            FiscalZRangeSetHandler(PhaseDescribe, descriptor);
            descriptor->commandNumber = 702;
            descriptor->name = "Fiscal report date range set";
            return 0;
        case PhaseConvert: return BuildRangeFrame(descriptor, "D", DateToEcrField);
        case PhaseCheck: return CheckRangeRecord(descriptor, IsFiscalDate, "a date DD-MM-YY");
        default: THROW_INTERNAL_ERROR(Module);
    }
}

int FiscalReportReadHandler(int phase, OperationDescriptor* descriptor) {
    switch (phase) {
        case PhaseDescribe:
            descriptor->commandNumber = 703;
            descriptor->name = "Fiscal report read";
            descriptor->mode = ModeRead;
            descriptor->fileKind = FileKindSortedText;
            descriptor->ecrCommand = 0x85;
            descriptor->maxRecords = 1000;
            descriptor->replyLength = static_cast<uint16_t>(2 * TheEcrComm().ecrNameLength + 3);
            descriptor->minLevel = 2;
            return 0;
        case PhaseConvert: return DecodeReportFrame(descriptor);
        case PhaseCheck: return 1;
        default: THROW_INTERNAL_ERROR(Module);
    }
}
