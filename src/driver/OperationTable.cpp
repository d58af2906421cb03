#include "driver/OperationTable.h"

#include "io_Department/DepartmentOperations.h"
#include "io_FiscalMemoryDump/FiscalMemoryDump.h"
#include "io_FiscalReport/FiscalReport.h"
#include "io_Logo/LogoOperation.h"
#include "io_PLU/PluOperations.h"
#include "io_Raw/RawCommands.h"
#include "io_Report/ReportOperations.h"

// Dispatch order: a number is served by the first entry that describes it at
// the ECR's level, so the raw command handler must stay last.
const OperationHandler OperationTable[] = {
    PluTableSendHandler,         // 200
    PluRecordSendHandler,        // 201
    PluTableReadHandler,         // 207
    PluSalesReadHandler,         // 502
    PluSalesReadClearHandler,    // 503
    DepartmentSendHandler,       // 211
    DepartmentReadHandler,       // 217
    FinancialReadHandler,        // 232
    FinancialReadClearHandler,   // 233
    PeriodicalReadHandler,       // 234
    PeriodicalReadClearHandler,  // 235
    HourlyReadHandler,           // 562
    HourlyReadClearHandler,      // 563
    LogoSendHandler,             // 670
    FiscalMemoryDumpHandler,     // 700
    FiscalZRangeSetHandler,      // 701
    FiscalDateRangeSetHandler,   // 702
    FiscalReportReadHandler,     // 703
    ClerkReadHandler,            // 750
    ClerkReadClearHandler,       // 751
    RawCommandHandler,           // service commands
};

const size_t OperationTableSize = sizeof(OperationTable) / sizeof(OperationTable[0]);
