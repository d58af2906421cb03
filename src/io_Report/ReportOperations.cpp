#include "io_Report/ReportOperations.h"

#include <string>
#include <vector>

#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "io_Report/RecordText.h"
#include "tools/FieldTools.h"

namespace {

constexpr char Module[] = "src/io_Report";
// Rows of the hourly report (one per hour) and of the clerk report (three per clerk).
constexpr uint32_t HourlyRows = 24;
constexpr uint32_t ClerkRows = 30;

struct FinancialRow {
    std::string name;
    int kind;
};

// Appends "<prefix>1<suffix>" ... "<prefix><count><suffix>" rows of one kind.
void AddNumberedRows(std::vector<FinancialRow>& rows, const std::string& prefix, const std::string& suffix, int count,
                     int kind) {
    for (int i = 1; i <= count; ++i) rows.push_back({prefix + std::to_string(i) + suffix, kind});
}

// The financial (and periodical) report rows. Registers from level 3 on add
// twenty foreign-currency rows after "Paid out" and after "FC in Drawer".
std::vector<FinancialRow> BuildFinancialRows(bool foreignCurrencyRows) {
    std::vector<FinancialRow> rows;
    AddNumberedRows(rows, "Department ", "", 8, 0);
    rows.push_back({"Cash", 1});
    rows.push_back({"Check", 1});
    rows.push_back({"Charge", 1});
    AddNumberedRows(rows, "Taxable ", " Sale", 8, 2);
    rows.push_back({"Non Taxable Sale", 2});
    AddNumberedRows(rows, "Tax ", " Amount", 8, 2);
    for (const char* name :
         {"Percent Discount", "Percent Add-On", "Amount Discount", "Amount Add-On", "Received on account", "Paid out"})
        rows.push_back({name, 3});
    if (foreignCurrencyRows) {
        AddNumberedRows(rows, "FC received on account ", "", 5, 3);
        AddNumberedRows(rows, "FC paid out ", "", 5, 3);
    }
    rows.push_back({"Item Void", 3});
    rows.push_back({"Return", 3});
    rows.push_back({"No sale", 4});
    AddNumberedRows(rows, "FC in Drawer ", "", 5, 2);
    if (foreignCurrencyRows) {
        AddNumberedRows(rows, "FC sales ", "", 5, 3);
        AddNumberedRows(rows, "FC tendered ", "", 5, 3);
    }
    rows.push_back({"Net Sale", 2});
    rows.push_back({"Gross Sale", 2});
    rows.push_back({"Z1 or Z2 Count", 4});
    return rows;
}

const std::vector<FinancialRow>& FinancialRows(int ecrLevel) {
    static const std::vector<FinancialRow> basicRows = BuildFinancialRows(false);
    static const std::vector<FinancialRow> extendedRows = BuildFinancialRows(true);
    return ecrLevel >= 3 ? extendedRows : basicRows;
}

// Frame fields that fill the three value columns for each row kind; -1 is a
// constant "0".
constexpr int RowKindFields[5][3] = {
    {1, 2, 3}, {1, 3, 4}, {1, -1, -1}, {1, -1, 3}, {-1, -1, 3},
};

// The number of frame fields a row of this kind reads.
int FieldsNeeded(int kind) {
    int highest = 0;
    for (int field : RowKindFields[kind])
        if (field > highest) highest = field;
    return highest + 1;
}

int ConvertFinancialFrame(OperationDescriptor* descriptor) {
    const std::vector<FinancialRow>& rows = FinancialRows(TheEcrComm().ecrLevel);
    bool knownRow = descriptor->recordCount < rows.size();
    // A frame beyond the row table keeps its values, without a row name.
    std::string name = knownRow ? rows[descriptor->recordCount].name : "";
    int kind = knownRow ? rows[descriptor->recordCount].kind : 0;

    int count = SplitReceivedFrame(descriptor);
    if (count < FieldsNeeded(kind)) return StoreUnexpectedFrame(descriptor);
    if (!knownRow) ReportUnexpectedFrame(descriptor);

    const FieldList& fields = SharedFieldList();
    std::string line[4] = {"\"" + name + "\""};
    for (int i = 0; i < 3; ++i) {
        int field = RowKindFields[kind][i];
        line[i + 1] = FromEcrField(field < 0 ? std::string("0") : fields.At(field), FieldNumber);
    }
    return StoreRecordText(descriptor, JoinFields(line, 4, FileDelimiter));
}

// Hourly and clerk rows: frame fields 0 to 2, after an optional quoted label.
// A row beyond the report's `rows` keeps its values, with an empty label,
// and is reported like the financial report's extra rows.
int ConvertThreeValueFrame(OperationDescriptor* descriptor, const char* label, uint32_t rows) {
    if (SplitReceivedFrame(descriptor) < 3) return StoreUnexpectedFrame(descriptor);
    const bool knownRow = descriptor->recordCount < rows;
    if (!knownRow) ReportUnexpectedFrame(descriptor);
    const FieldList& fields = SharedFieldList();
    std::string line[4];
    int n = 0;
    if (label != nullptr) line[n++] = std::string("\"") + (knownRow ? label : "") + "\"";
    for (int i = 0; i < 3; ++i) line[n++] = FromEcrField(fields.At(i), FieldNumber);
    return StoreRecordText(descriptor, JoinFields(line, n, FileDelimiter));
}

const char* ClerkRowLabel(uint32_t recordCount) {
    static const char* const labels[3] = {"Voids", "Refunds", "Sales"};
    return labels[recordCount % 3];
}

// Shared phase handling of the reading forms: phase 0 by `describe`, phase 1
// by `convert`, phase 2 accepts everything (no input files).
template <typename Describe, typename Convert>
int ReportHandler(int phase, OperationDescriptor* descriptor, Describe describe, Convert convert) {
    switch (phase) {
        case PhaseDescribe: describe(descriptor); return 0;
        case PhaseConvert: return convert(descriptor);
        case PhaseCheck: return 1;
        default: THROW_INTERNAL_ERROR(Module);
    }
}

void DescribeRead(OperationDescriptor* descriptor, int32_t commandNumber, const char* name, uint8_t ecrCommand,
                  uint32_t rows) {
    descriptor->commandNumber = commandNumber;
    descriptor->name = name;
    descriptor->mode = ModeRead;
    descriptor->fileKind = FileKindSortedText;
    descriptor->ecrCommand = ecrCommand;
    descriptor->maxRecords = rows;
}

// The clearing form of a report: its reading form's descriptor with another
// number, name, clear command and level limit.
int ClearingVariant(OperationHandler reading, int phase, OperationDescriptor* descriptor, int32_t commandNumber,
                    const char* name, uint8_t clearCommand, uint8_t minLevel) {
    if (phase != PhaseDescribe) return reading(phase, descriptor);
    reading(PhaseDescribe, descriptor);
    descriptor->commandNumber = commandNumber;
    descriptor->name = name;
    descriptor->clearCommand = clearCommand;
    descriptor->minLevel = minLevel;
    return 0;
}

}  // namespace

int FinancialReadHandler(int phase, OperationDescriptor* descriptor) {
    return ReportHandler(
        phase, descriptor,
        [](OperationDescriptor* d) {
            DescribeRead(d, 232, "Financial report read", 0x62,
                         static_cast<uint32_t>(FinancialRows(TheEcrComm().ecrLevel).size()));
        },
        ConvertFinancialFrame);
}

int FinancialReadClearHandler(int phase, OperationDescriptor* descriptor) {
    return ClearingVariant(FinancialReadHandler, phase, descriptor, 233, "Financial report read and clear", 0x80, 1);
}

int PeriodicalReadHandler(int phase, OperationDescriptor* descriptor) {
    if (phase != PhaseDescribe) return FinancialReadHandler(phase, descriptor);
    FinancialReadHandler(PhaseDescribe, descriptor);
    descriptor->commandNumber = 234;
    descriptor->name = "Financial periodical report read";
    descriptor->ecrCommand = 0x63;
    return 0;
}

int PeriodicalReadClearHandler(int phase, OperationDescriptor* descriptor) {
    return ClearingVariant(PeriodicalReadHandler, phase, descriptor, 235, "Financial periodical report read and clear",
                           0x81, 1);
}

int HourlyReadHandler(int phase, OperationDescriptor* descriptor) {
    return ReportHandler(
        phase, descriptor, [](OperationDescriptor* d) { DescribeRead(d, 562, "Hourly report read", 0x67, HourlyRows); },
        [](OperationDescriptor* d) { return ConvertThreeValueFrame(d, nullptr, HourlyRows); });
}

int HourlyReadClearHandler(int phase, OperationDescriptor* descriptor) {
    return ClearingVariant(HourlyReadHandler, phase, descriptor, 563, "Hourly report read and clear", 0x82, 1);
}

int ClerkReadHandler(int phase, OperationDescriptor* descriptor) {
    return ReportHandler(
        phase, descriptor, [](OperationDescriptor* d) { DescribeRead(d, 750, "Clerk report read", 0x65, ClerkRows); },
        [](OperationDescriptor* d) { return ConvertThreeValueFrame(d, ClerkRowLabel(d->recordCount), ClerkRows); });
}

int ClerkReadClearHandler(int phase, OperationDescriptor* descriptor) {
    return ClearingVariant(ClerkReadHandler, phase, descriptor, 751, "Clerk report read and clear", 0x86, 3);
}
