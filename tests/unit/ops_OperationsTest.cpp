// Unit tests of the operation handlers: descriptors, input checks and the
// conversions between data-file lines and ECR frame data.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/Operation.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "io_Department/DepartmentOperations.h"
#include "io_FiscalMemoryDump/FiscalMemoryDump.h"
#include "io_FiscalReport/FiscalReport.h"
#include "io_PLU/PluOperations.h"
#include "io_Report/ReportOperations.h"
#include "tools/FieldTools.h"
#include "tools/RunState.h"

namespace {

class OpsHandlers : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&descriptor, 0, sizeof descriptor);
        SetEcr(1, 20);
        FileDelimiter = ",";
        DataErrorFlag = false;
    }
    void TearDown() override { DataErrorFlag = false; }

    static void SetEcr(int level, int nameLength) {
        TheEcrComm().ecrLevel = level;
        TheEcrComm().ecrNameLength = nameLength;
    }

    // Phase 2 of a send handler on one input line.
    bool Check(OperationHandler handler, const std::string& line) {
        std::memset(&descriptor, 0, sizeof descriptor);
        std::strcpy(descriptor.text, line.c_str());
        return handler(PhaseCheck, &descriptor) != 0;
    }

    // Phase 1 of a send handler: input line -> frame data.
    std::string Send(OperationHandler handler, const std::string& line) {
        std::memset(&descriptor, 0, sizeof descriptor);
        std::strcpy(descriptor.text, line.c_str());
        int length = handler(PhaseConvert, &descriptor);
        EXPECT_EQ(length, static_cast<int>(std::strlen(descriptor.frame)));
        return descriptor.frame;
    }

    // Phase 1 of a read handler: frame data of row `row` -> record bytes.
    std::string Read(OperationHandler handler, const std::string& frame, uint32_t row = 0) {
        std::strcpy(descriptor.frame, frame.c_str());
        descriptor.recordCount = row;
        int length = handler(PhaseConvert, &descriptor);
        return std::string(descriptor.text, length);
    }

    OperationDescriptor descriptor;
};

struct Described {
    OperationHandler handler;
    int level;
    int32_t command;
    const char* name;
    uint32_t mode;
    int32_t fileKind;
    uint8_t ecrCommand;
    uint8_t clearCommand;
    uint8_t minLevel;
    uint32_t maxRecords;
    uint16_t replyLength;
};

TEST_F(OpsHandlers, PhaseZeroDescribesEveryFixedCommand) {
    const Described table[] = {
        {PluTableSendHandler, 1, 200, "PLU table send", ModeSend, 1, 0x51, 0, 0, 1000, 0},
        {PluRecordSendHandler, 1, 201, "PLU record add/modify/delete", ModeSend, 1, 0x52, 0, 0, 1000, 0},
        {PluTableReadHandler, 0, 207, "PLU table read", ModeRead, 1, 0x53, 0, 0, 1000, 20 + 41},
        {PluTableReadHandler, 1, 207, "PLU table read", ModeRead, 1, 0x53, 0, 0, 1000, 20 + 43},
        {PluSalesReadHandler, 1, 502, "PLU sales report read", ModeRead, 1, 0x54, 0, 0, 1000, 0},
        {PluSalesReadClearHandler, 1, 503, "PLU sales report read and clear", ModeRead, 1, 0x54, 0x50, 0, 1000, 0},
        {DepartmentSendHandler, 1, 211, "DEPARTMENT record modify", ModeSend, 1, 0x70, 0, 0, 8, 0},
        {DepartmentReadHandler, 1, 217, "DEPARTMENT records read", ModeRead, 1, 0x71, 0, 0, 8, 20 + 27},
        {FinancialReadHandler, 2, 232, "Financial report read", ModeRead, 1, 0x62, 0, 0, 45, 0},
        {FinancialReadHandler, 3, 232, "Financial report read", ModeRead, 1, 0x62, 0, 0, 65, 0},
        {FinancialReadClearHandler, 3, 233, "Financial report read and clear", ModeRead, 1, 0x62, 0x80, 1, 65, 0},
        {PeriodicalReadHandler, 2, 234, "Financial periodical report read", ModeRead, 1, 0x63, 0, 0, 45, 0},
        {PeriodicalReadClearHandler, 3, 235, "Financial periodical report read and clear", ModeRead, 1, 0x63, 0x81, 1,
         65, 0},
        {HourlyReadHandler, 1, 562, "Hourly report read", ModeRead, 1, 0x67, 0, 0, 24, 0},
        {HourlyReadClearHandler, 1, 563, "Hourly report read and clear", ModeRead, 1, 0x67, 0x82, 1, 24, 0},
        {FiscalMemoryDumpHandler, 1, 700, "Fiscal memory dump read", ModeRead, 3, 0x79, 0, 0, 8192, 67},
        {FiscalZRangeSetHandler, 1, 701, "Fiscal report Z counter range set", ModeSend, 1, 0x84, 0, 2, 1, 0},
        {FiscalDateRangeSetHandler, 1, 702, "Fiscal report date range set", ModeSend, 1, 0x84, 0, 2, 1, 0},
        {FiscalReportReadHandler, 1, 703, "Fiscal report read", ModeRead, 1, 0x85, 0, 2, 1000, 2 * 20 + 3},
        {ClerkReadHandler, 1, 750, "Clerk report read", ModeRead, 1, 0x65, 0, 0, 30, 0},
        {ClerkReadClearHandler, 1, 751, "Clerk report read and clear", ModeRead, 1, 0x65, 0x86, 3, 30, 0},
    };
    for (const Described& row : table) {
        SCOPED_TRACE(row.command);
        SetEcr(row.level, 20);
        std::memset(&descriptor, 0, sizeof descriptor);
        descriptor.commandNumber = 1;  // what the dispatcher stores before phase 0
        EXPECT_EQ(row.handler(PhaseDescribe, &descriptor), 0);
        EXPECT_EQ(descriptor.commandNumber, row.command);
        EXPECT_STREQ(descriptor.name, row.name);
        EXPECT_EQ(descriptor.mode, row.mode);
        EXPECT_EQ(descriptor.fileKind, row.fileKind);
        EXPECT_EQ(descriptor.ecrCommand, row.ecrCommand);
        EXPECT_EQ(descriptor.clearCommand, row.clearCommand);
        EXPECT_EQ(descriptor.minLevel, row.minLevel);
        EXPECT_EQ(descriptor.maxRecords, row.maxRecords);
        EXPECT_EQ(descriptor.replyLength, row.replyLength);
        EXPECT_EQ(descriptor.operationTime, 0);
        EXPECT_EQ(descriptor.fileName, nullptr);

        EXPECT_THROW(row.handler(3, &descriptor), InternalErrorException);
        EXPECT_THROW(row.handler(-1, &descriptor), InternalErrorException);
    }
}

TEST_F(OpsHandlers, PluRecordCheck) {
    const std::string name20(20, 'N');
    const struct {
        std::string line;
        bool valid;
    } cases[] = {
        {"4750000000016,150,\"Milk 1l\",1,5,2", true},
        {"1,0," + name20 + ",0,0,1", true},    // name of exactly the name length
        {"1,0," + name20 + "X,0,0,1", false},  // one character more
        {"0,1,a,1,1,1", false},                // PLU code 0
        {"9999999999999,1,a,1,1,1", true},     // 13 nines
        {"10000000000000,1,a,1,1,1", false},
        {"5,,a,,,7", true},     // empty fields 2, 4 and 5 count as 0
        {",1,a,1,1,1", false},  // empty field 1
        {"5,1,a,1,1,", false},  // empty field 6
        {"5,100000000,a,1,1,1", false},
        {"5,1,a,1,1", false},      // five fields
        {"5,1,a,1,1,1,1", false},  // seven fields
        {"5,1,a,1,1,8", false},
        {"5,1,\"a,b\",1,1,1", true},  // delimiter inside a quoted name
        {"5,1,\"a\"b,1,1,1", false},  // text after the closing quote
        {"   ", false},
    };
    for (OperationHandler handler : {PluTableSendHandler, PluRecordSendHandler})
        for (const auto& c : cases) EXPECT_EQ(Check(handler, c.line), c.valid) << c.line;

    // The PLU code stays in the shared list as the record number.
    ASSERT_TRUE(Check(PluTableSendHandler, "42,1,a,1,1,1"));
    EXPECT_EQ(SharedFieldList().At(0), "42");
}

TEST_F(OpsHandlers, PluFrameQuotesFieldFiveByLevel) {
    const std::string line = "4750000000016,150,\"Milk 1l\",1,5,2";
    SetEcr(1, 20);
    EXPECT_EQ(Send(PluTableSendHandler, line), "4750000000016,00000150,\"Milk 1l             \",\"01\",\"05\",\"02\"");
    EXPECT_EQ(Send(PluRecordSendHandler, line), "4750000000016,00000150,\"Milk 1l             \",\"01\",\"05\",\"02\"");
    SetEcr(0, 20);
    EXPECT_EQ(Send(PluTableSendHandler, line), "4750000000016,00000150,\"Milk 1l             \",\"01\",05,\"02\"");
    SetEcr(1, 4);
    EXPECT_EQ(Send(PluTableSendHandler, "7,,\"Milk\",,,1"), "0000000000007,00000000,\"Milk\",\"00\",\"00\",\"01\"");
    // A line that does not split into six fields gives no frame data.
    EXPECT_EQ(Send(PluTableSendHandler, "7,1,2"), "");
}

TEST_F(OpsHandlers, PluTableReadGivesSendableLines) {
    for (int level : {0, 1}) {
        SetEcr(level, 20);
        const std::string frame = level == 0 ? "4750000000016,00000150,\"Milk 1l             \",\"01\",05,\"02\""
                                             : "4750000000016,00000150,\"Milk 1l             \",\"01\",\"05\",\"02\"";
        const std::string line = Read(PluTableReadHandler, frame);
        EXPECT_EQ(line, "4750000000016,150,\"Milk 1l\",1,5,2");
        // The line goes back to the register as the same frame.
        EXPECT_TRUE(Check(PluTableSendHandler, line));
        EXPECT_EQ(Send(PluTableSendHandler, line), frame);
    }
    // Names are taken by their width: quotes inside them, even next to a
    // comma, stay in the name and go back to the register unchanged.
    SetEcr(1, 12);
    const struct {
        std::string name;
        std::string field;
    } names[] = {{"12\" Pizza   ", "\"12\"\" Pizza\""}, {"a\",\"b\"      ", "\"a\"\",\"\"b\"\"\""}};
    for (const auto& n : names) {
        const std::string frame = "0000000000007,00000250,\"" + n.name + "\",\"01\",\"05\",\"02\"";
        const std::string line = Read(PluTableReadHandler, frame);
        EXPECT_EQ(line, "7,250," + n.field + ",1,5,2");
        EXPECT_TRUE(Check(PluTableSendHandler, line));
        EXPECT_EQ(Send(PluTableSendHandler, line), frame);
        const std::string department = "03,00000000,\"" + n.name + "\",\"12\",\"05\"";
        EXPECT_EQ(Read(DepartmentReadHandler, department), "3,0," + n.field + ",12,5");
    }
    EXPECT_FALSE(DataErrorFlag);
}

TEST_F(OpsHandlers, PluSalesReadConvertsNumbers) {
    EXPECT_EQ(Read(PluSalesReadHandler, "0000000000012,0003,0000012.50"), "12,3,12.5");
    EXPECT_EQ(Read(PluSalesReadClearHandler, "4750000000016,2.500,0"), "4750000000016,2.5,0");
    EXPECT_EQ(Read(PluSalesReadHandler, "1,1,1234567.5"), "1,1,1234567.5");
    EXPECT_FALSE(DataErrorFlag);
}

TEST_F(OpsHandlers, DepartmentCheckAndFrames) {
    const struct {
        std::string line;
        bool valid;
    } cases[] = {
        {"3,0,\"Bakery\",12,5", true},
        {"0,0,a,0,0", false},
        {"9,0,a,0,0", false},
        {"8,,a,99,31", true},
        {"1,0,a,0,32", false},
        {"1,0,a,100,0", false},
        {"1,0,a,0", false},
        {"1,0,a,0,0,0", false},
        {"1,100000000,a,0,0", false},
        {"1,0," + std::string(21, 'x') + ",0,0", false},
    };
    for (const auto& c : cases) EXPECT_EQ(Check(DepartmentSendHandler, c.line), c.valid) << c.line;

    EXPECT_EQ(Send(DepartmentSendHandler, "3,0,\"Bakery\",12,5"), "03,00000000,\"Bakery              \",\"12\",\"05\"");
    EXPECT_EQ(Send(DepartmentSendHandler, "8,,x,,"), "08,00000000,\"x                   \",\"00\",\"00\"");

    const std::string line = Read(DepartmentReadHandler, "03,00000000,\"Bakery              \",\"12\",\"05\"");
    EXPECT_EQ(line, "3,0,\"Bakery\",12,5");
    EXPECT_EQ(Send(DepartmentSendHandler, line), "03,00000000,\"Bakery              \",\"12\",\"05\"");
    EXPECT_FALSE(DataErrorFlag);
}

TEST_F(OpsHandlers, FinancialRowsDependOnLevel) {
    const struct {
        int level;
        uint32_t row;
        std::string frame;
        std::string line;
    } cases[] = {
        {3, 8, "8,15,2,0012.50,3", "\"Cash\",15,12.5,3"},  // kind 1: fields 1, 3, 4
        {2, 8, "8,15,2,0012.50,3", "\"Cash\",15,12.5,3"},
        {3, 0, "0,0010,0002,0003.5", "\"Department 1\",10,2,3.5"},  // kind 0: fields 1, 2, 3
        {3, 19, "19,100,7,9", "\"Non Taxable Sale\",100,0,0"},      // kind 2 ignores fields 2 and 3
        {3, 27, "27,4.25,7,9", "\"Tax 8 Amount\",4.25,0,0"},
        {3, 28, "28,5,6,7", "\"Percent Discount\",5,0,7"},  // kind 3: field 1, "0", field 3
        {2, 34, "34,1,2,3", "\"Item Void\",1,0,3"},
        {3, 34, "34,1,2,3", "\"FC received on account 1\",1,0,3"},
        {3, 44, "44,1,2,3", "\"Item Void\",1,0,3"},
        {3, 46, "46,0,0,7", "\"No sale\",0,0,7"},  // kind 4: "0", "0", field 3
        {2, 36, "36,5,5,7", "\"No sale\",0,0,7"},
        {3, 61, "61,9,8,7", "\"FC tendered 5\",9,0,7"},
        {2, 43, "43,9,8,7", "\"Gross Sale\",9,0,0"},
        {2, 44, "44,9,8,7", "\"Z1 or Z2 Count\",0,0,7"},
        {3, 64, "64,9,8,7", "\"Z1 or Z2 Count\",0,0,7"},
    };
    for (const auto& c : cases) {
        SetEcr(c.level, 20);
        for (OperationHandler handler : {FinancialReadHandler, PeriodicalReadClearHandler})
            EXPECT_EQ(Read(handler, c.frame, c.row), c.line) << c.level << " row " << c.row;
    }
    EXPECT_FALSE(DataErrorFlag);
}

TEST_F(OpsHandlers, HourlyAndClerkRows) {
    EXPECT_EQ(Read(HourlyReadHandler, "08,0012,0150.50"), "8,12,150.5");
    EXPECT_EQ(Read(HourlyReadClearHandler, "23,0,0,99"), "23,0,0");  // extra fields are ignored
    const char* labels[] = {"Voids", "Refunds", "Sales", "Voids", "Refunds"};
    for (uint32_t row = 0; row < 5; ++row) {
        for (OperationHandler handler : {ClerkReadHandler, ClerkReadClearHandler})
            EXPECT_EQ(Read(handler, "01,0002,0003.00", row), "\"" + std::string(labels[row]) + "\",1,2,3");
    }
    EXPECT_FALSE(DataErrorFlag);
}

// Every read handler keeps a frame it cannot convert as it came, flags the
// run and never shows fields of the previous frame.
TEST_F(OpsHandlers, UnexpectedFramesAreKeptAndFlagged) {
    const struct {
        OperationHandler handler;
        int level;
        uint32_t row;
        std::string goodFrame;
        std::string badFrame;
    } cases[] = {
        {PluTableReadHandler, 1, 0, "1,1,\"a\",\"01\",\"01\",\"01\"", "1,1,\"a\",\"01\",\"01\""},
        {PluTableReadHandler, 1, 0, "1,1,\"a\",\"01\",\"01\",\"01\"", "1,1,\"a\",\"01\",\"01\",\"01\",9"},
        {PluTableReadHandler, 1, 0, "1,1,\"a\",\"01\",\"01\",\"01\"", "   "},
        {PluTableReadHandler, 1, 0, "1,1,\"a\",\"01\",\"01\",\"01\"", "1,1,\"a\"x,\"01\",\"01\",\"01\""},
        {PluSalesReadHandler, 1, 0, "1,2,3", "1,2"},
        {PluSalesReadClearHandler, 1, 0, "1,2,3", ""},
        {DepartmentReadHandler, 1, 0, "1,0,\"a\",\"01\",\"01\"", "1,0,\"a\",\"01\""},
        {FinancialReadHandler, 3, 8, "8,15,2,0012.50,3", "8,15,2,0012.50"},  // kind 1 needs field 4
        {FinancialReadHandler, 3, 0, "0,1,2,3", "0,1,2"},
        {PeriodicalReadHandler, 2, 36, "36,0,0,7", " "},
        {HourlyReadHandler, 1, 0, "1,2,3", "1,2"},
        {ClerkReadHandler, 1, 0, "1,2,3", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.badFrame);
        SetEcr(c.level, 20);
        DataErrorFlag = false;
        Read(c.handler, c.goodFrame, c.row);  // leaves its fields in the shared list
        ASSERT_FALSE(DataErrorFlag);
        EXPECT_EQ(Read(c.handler, c.badFrame, c.row), c.badFrame);
        EXPECT_TRUE(DataErrorFlag);
    }
}

TEST_F(OpsHandlers, FinancialFramesBeyondTheRowTable) {
    for (int level : {2, 3}) {
        SetEcr(level, 20);
        const uint32_t rows = level < 3 ? 45 : 65;
        DataErrorFlag = false;
        EXPECT_EQ(Read(FinancialReadHandler, "64,9,8,7", rows - 1), "\"Z1 or Z2 Count\",0,0,7");
        EXPECT_FALSE(DataErrorFlag);
        EXPECT_EQ(Read(FinancialReadHandler, "65,9,8,7,6", rows), "\"\",9,8,7");
        EXPECT_TRUE(DataErrorFlag);
        EXPECT_EQ(Read(PeriodicalReadHandler, "x", rows + 100), "x");
    }
}

TEST_F(OpsHandlers, FiscalMemoryDumpDecoding) {
    std::string upper, lower;
    std::string expected;
    for (int i = 0; i < 32; ++i) {
        static const char digits[] = "0123456789ABCDEF";
        int value = (i * 37 + 5) & 0xFF;
        upper += digits[value >> 4];
        upper += digits[value & 15];
        expected += static_cast<char>(value);
    }
    for (char ch : upper) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(Read(FiscalMemoryDumpHandler, upper), expected);
    EXPECT_EQ(Read(FiscalMemoryDumpHandler, lower), expected);
    EXPECT_EQ(Read(FiscalMemoryDumpHandler, std::string(64, '0')), std::string(32, '\0'));
    EXPECT_FALSE(DataErrorFlag);

    // A short frame still fills its 32 bytes, without bytes of an earlier
    // frame, and marks the run.
    Read(FiscalMemoryDumpHandler, std::string(64, 'F'));
    EXPECT_EQ(Read(FiscalMemoryDumpHandler, "4142"), "AB" + std::string(30, '\0'));
    EXPECT_TRUE(DataErrorFlag);
    DataErrorFlag = false;
    EXPECT_EQ(Read(FiscalMemoryDumpHandler, "zz" + std::string(62, '1')).substr(0, 2), std::string("\0\x11", 2));
    EXPECT_TRUE(DataErrorFlag);
}

TEST_F(OpsHandlers, FiscalReportLineDecoding) {
    EXPECT_EQ(Read(FiscalReportReadHandler, "5A2D4E4F2E20303031"), "Z-NO. 001");
    EXPECT_EQ(Read(FiscalReportReadHandler, "7a2d6e6f"), "z-no");
    EXPECT_EQ(Read(FiscalReportReadHandler, ""), "");
    EXPECT_FALSE(DataErrorFlag);
    // Odd length or a non-hex character: kept as received and flagged.
    EXPECT_EQ(Read(FiscalReportReadHandler, "41424"), "41424");
    EXPECT_TRUE(DataErrorFlag);
    DataErrorFlag = false;
    EXPECT_EQ(Read(FiscalReportReadHandler, "41G2"), "41G2");
    EXPECT_TRUE(DataErrorFlag);
}

TEST_F(OpsHandlers, FiscalDates) {
    const struct {
        const char* text;
        bool valid;
        const char* ecr;
    } cases[] = {
        {"01-03-09", true, "010309"},
        {"1-3-09", true, "1309"},
        {"31-02-09", true, "310209"},
        {"31-12-99", true, "311299"},
        {"1-1-0", true, "110"},
        {"01-03-2009", false, ""},
        {"1-13-09", false, ""},
        {"0-1-09", false, ""},
        {"32-1-09", false, ""},
        {"1-0-09", false, ""},
        {"1-3", false, ""},
        {"1-3-09-1", false, ""},
        {"a-3-09", false, ""},
        {"", false, ""},
        {"1/3/09", false, ""},
        {"01-03-", false, ""},
        {"-03-09", false, ""},
        {"01--09", false, ""},
        {"01-03-009", false, ""},
        {"001-3-09", false, ""},
        // Blanks or quotes inside would reach the register as part of the date.
        {"1 -3-09", false, ""},
        {"01- 03-09", false, ""},
        {"\"01\"-03-09", false, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsFiscalDate(c.text), c.valid) << c.text;
        EXPECT_EQ(FiscalDateToEcr(c.text), c.ecr) << c.text;
    }
}

TEST_F(OpsHandlers, FiscalRangeRecords) {
    const struct {
        OperationHandler handler;
        const char* line;
        bool valid;
    } cases[] = {
        {FiscalZRangeSetHandler, "1,D,15,20", true},
        {FiscalZRangeSetHandler, "x,S,0,9999", true},
        {FiscalZRangeSetHandler, "1,D,0,10000", false},
        {FiscalZRangeSetHandler, "1,d,15,20", false},
        {FiscalZRangeSetHandler, "1,Z,15,20", false},
        {FiscalZRangeSetHandler, "1,D,15", false},
        // A record number beyond 64 bits would be sorted as one number and sent as another.
        {FiscalZRangeSetHandler, "9223372036854775807,D,1,2", true},
        {FiscalZRangeSetHandler, "9223372036854775808,D,1,2", false},
        {FiscalDateRangeSetHandler, "-99999999999999999999,S,01-03-09,31-03-09", false},
        {FiscalDateRangeSetHandler, "1,S,01-03-09,31-03-09", true},
        {FiscalDateRangeSetHandler, "1,D,1-3-09,31-02-09", true},
        {FiscalDateRangeSetHandler, "1,d,01-03-09,31-03-09", false},
        {FiscalDateRangeSetHandler, "1,S,01-03-2009,31-03-09", false},
    };
    for (const auto& c : cases) EXPECT_EQ(Check(c.handler, c.line), c.valid) << c.line;

    // The date check does not disturb the record number in the shared list.
    ASSERT_TRUE(Check(FiscalDateRangeSetHandler, "17,S,01-03-09,31-03-09"));
    EXPECT_EQ(SharedFieldList().At(0), "17");

    EXPECT_EQ(Send(FiscalZRangeSetHandler, "1,D,15,20"), "1,D,Z,000015,000020");
    EXPECT_EQ(Send(FiscalZRangeSetHandler, "12,S,0,9999"), "12,S,Z,000000,009999");
    EXPECT_EQ(Send(FiscalDateRangeSetHandler, "1,S,01-03-09,31-03-09"), "1,S,D,010309,310309");
    EXPECT_EQ(Send(FiscalDateRangeSetHandler, "2,D,1-3-09,31-12-09"), "2,D,D,1309  ,311209");
}

}  // namespace
