// Input data files: loading, line splitting, positions, sorting and the
// duplicate record rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "config/Config.h"
#include "errors/Exceptions.h"
#include "fileIo/InputDataFile.h"
#include "support/TempDir.h"
#include "tools/FieldChecks.h"
#include "tools/FieldTools.h"
#include "tools/RunState.h"

namespace {

// Accepts lines whose first field is a non-empty number, like the numbered operations.
int NumberedCheck(int phase, OperationDescriptor* d) {
    if (phase != PhaseCheck) return 0;
    FieldList& fields = SharedFieldList();
    if (fields.Split(d->text, ",") < 1) return 0;
    return !fields.At(0).empty() && IsDigits(fields.At(0));
}

// Accepts every line, blank ones included.
int AcceptAll(int phase, OperationDescriptor*) { return phase == PhaseCheck ? 1 : 0; }

struct Loaded {
    std::unique_ptr<InputDataFile> file;
    std::string console;
};

Loaded Load(int kind, const std::string& path, OperationHandler handler) {
    static OperationDescriptor descriptor;
    descriptor = {};
    Loaded loaded{CreateInputDataFile(kind), ""};
    testing::internal::CaptureStdout();
    loaded.file->Open(path.c_str(), handler, &descriptor);
    loaded.console = testing::internal::GetCapturedStdout();
    return loaded;
}

std::vector<std::string> AllRecords(InputDataFile& file, std::vector<int>* lines = nullptr) {
    std::vector<std::string> records;
    char buffer[RecordTextSize];
    for (uint32_t i = 0;; ++i) {
        int line = file.GetRecord(i, buffer, sizeof buffer);
        if (line == 0) break;
        if (lines) lines->push_back(line);
        records.emplace_back(buffer);
    }
    return records;
}

RecordIndex Keys(const std::vector<int64_t>& keys) {
    RecordIndex index;
    int32_t line = 1;
    for (int64_t key : keys) index.push_back({key, line * 10, line}), ++line;
    return index;
}

}  // namespace

TEST(TransferInputFile, DuplicateRemovalKeepsTheLastLineOfEachNumber) {
    // Three records numbered 5 on lines 2, 4 and 9, in every order the sort may leave them.
    std::vector<int32_t> order = {2, 4, 9};
    do {
        RecordIndex index = {{1, 0, 1}};
        for (int32_t line : order) index.push_back({5, 0, line});
        index.push_back({8, 0, 3});
        std::vector<int32_t> removed = RemoveDuplicateRecords(index);
        EXPECT_EQ(std::multiset<int32_t>(removed.begin(), removed.end()), (std::multiset<int32_t>{2, 4}));
        ASSERT_EQ(index.size(), 3u);
        EXPECT_EQ(index[1].lineNumber, 9);
        EXPECT_EQ(index[0].recordNumber, 1);
        EXPECT_EQ(index[2].recordNumber, 8);
    } while (std::next_permutation(order.begin(), order.end()));

    RecordIndex single = {{5, 0, 1}};
    EXPECT_TRUE(RemoveDuplicateRecords(single).empty());
    EXPECT_EQ(single.size(), 1u);
}

TEST(TransferInputFile, SortedFileReportsDuplicatesAndHonoursIgnoreDuplicates) {
    TempDir dir;
    // 007 and 7 are the same number; line 4 wins over line 2.
    std::string path = dir.Write("plu.csv", "3,c\r\n007,old\r\n1,a\r\n7,new\r\n2,b\r\n");
    for (int ignore : {0, 1}) {
        IgnoreDuplicates = ignore;
        DataErrorFlag = false;
        Loaded loaded = Load(FileKindSortedText, path, NumberedCheck);
        EXPECT_NE(loaded.console.find("Line 2     - record number not unique\n"), std::string::npos) << loaded.console;
        std::vector<int> lines;
        EXPECT_EQ(AllRecords(*loaded.file, &lines),
                  (std::vector<std::string>{"1,a\r\n", "2,b\r\n", "3,c\r\n", "7,new\r\n"}));
        EXPECT_EQ(lines, (std::vector<int>{3, 5, 1, 4}));
        EXPECT_EQ(DataErrorFlag, ignore == 0);
    }
    IgnoreDuplicates = 0;
    DataErrorFlag = false;
}

TEST(TransferInputFile, SortOrdersAdversarialInputsAndMovesEntriesWhole) {
    const int n = 200000;  // deep enough to overflow the stack if recursion followed the worst side
    std::vector<std::vector<int64_t>> inputs(6);
    std::mt19937_64 random(12345);
    for (int i = 0; i < n; ++i) {
        inputs[0].push_back(i);                                            // sorted
        inputs[1].push_back(n - i);                                        // reversed
        inputs[2].push_back(42);                                           // all equal
        inputs[3].push_back(static_cast<int64_t>(random() % 1000) - 500);  // random with repeats
        inputs[4].push_back(i < n / 2 ? i : n - i);                        // organ pipe
        inputs[5].push_back(i % 2 ? INT64_MIN + i : INT64_MAX - i);        // extremes, alternating
    }
    for (const auto& keys : inputs) {
        RecordIndex index = Keys(keys);
        SortRecordIndex(index);
        std::vector<int64_t> expected = keys;
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(index.size(), expected.size());
        bool same = true;
        for (size_t i = 0; i < expected.size() && same; ++i) same = index[i].recordNumber == expected[i];
        EXPECT_TRUE(same);
        // Entries move whole: a key still carries its own line and position.
        for (const auto& entry : index) ASSERT_EQ(entry.filePosition, entry.lineNumber * 10);
    }
    for (int small = 0; small < 4; ++small) {
        RecordIndex index = Keys(std::vector<int64_t>(inputs[3].begin(), inputs[3].begin() + small));
        SortRecordIndex(index);
        EXPECT_TRUE(std::is_sorted(index.begin(), index.end(),
                                   [](auto& a, auto& b) { return a.recordNumber < b.recordNumber; }));
    }
}

TEST(TransferInputFile, LoadingSplitsLinesAndKeepsPositions) {
    TempDir dir;
    DataErrorFlag = false;

    // Empty file: nothing indexed, nothing reported.
    Loaded empty = Load(FileKindText, dir.Write("empty", ""), AcceptAll);
    EXPECT_EQ(empty.console, "Preparing data ...\r");
    EXPECT_TRUE(AllRecords(*empty.file).empty());
    EXPECT_FALSE(DataErrorFlag);

    // A 1500-character line is two records; the last line has no line end.
    std::string longLine(1500, 'x');
    longLine[1022] = 'A';
    longLine[1023] = 'B';
    Loaded split = Load(FileKindText, dir.Write("long", "first\n" + longLine + "\nlast"), AcceptAll);
    std::vector<int> lines;
    std::vector<std::string> records = AllRecords(*split.file, &lines);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1].size(), 1023u);
    EXPECT_EQ(records[1].back(), 'A');
    EXPECT_EQ(records[2].size(), 478u);  // 477 characters and the line end
    EXPECT_EQ(records[2].front(), 'B');
    EXPECT_EQ(records[3], "last");
    EXPECT_EQ(lines, (std::vector<int>{1, 2, 3, 4}));

    // A final line end gives no extra record; blank lines are records for an accept-all check.
    Loaded blanks = Load(FileKindText, dir.Write("blanks", "a\r\n\r\n\nb\r\n"), AcceptAll);
    EXPECT_EQ(AllRecords(*blanks.file), (std::vector<std::string>{"a\r\n", "\r\n", "\n", "b\r\n"}));

    // A line holding a NUL byte is refused whole, even by an accept-all check,
    // and does not shift the positions of the lines after it.
    std::string withNul = std::string("ab\0cd\r\n", 7) + "next\r\n" + std::string("\0\0\n", 3) + "end\n";
    Loaded nul = Load(FileKindText, dir.Write("with-nul", withNul), AcceptAll);
    EXPECT_EQ(nul.console, "Preparing data ...\rLine 1     - empty or bad format\nLine 3     - empty or bad format\n");
    EXPECT_EQ(AllRecords(*nul.file), (std::vector<std::string>{"next\r\n", "end\n"}));
    EXPECT_TRUE(DataErrorFlag);
    DataErrorFlag = false;

    // Blank and malformed lines are rejected by a splitting check and set the error flag.
    Loaded bad = Load(FileKindSortedText, dir.Write("bad", "1,a\n\nx,b\n2,c\n"), NumberedCheck);
    EXPECT_EQ(bad.console, "Preparing data ...\rLine 2     - empty or bad format\nLine 3     - empty or bad format\n");
    EXPECT_EQ(AllRecords(*bad.file), (std::vector<std::string>{"1,a\n", "2,c\n"}));
    EXPECT_TRUE(DataErrorFlag);
    DataErrorFlag = false;

    // A small buffer gets a cut, terminated record.
    char small[4];
    EXPECT_EQ(bad.file->GetRecord(1, small, sizeof small), 4);
    EXPECT_STREQ(small, "2,c");
    EXPECT_EQ(bad.file->GetRecord(2, small, sizeof small), 0);
}

TEST(TransferInputFile, MissingFileAndUnknownKindFail) {
    OperationDescriptor* descriptor = new OperationDescriptor{};
    auto file = CreateInputDataFile(FileKindText);
    try {
        file->Open("/nonexistent/dir/plu.csv", AcceptAll, descriptor);
        ADD_FAILURE() << "no exception";
    } catch (const FileIoException& e) {
        EXPECT_EQ(e.GetMessage(), "Unable to open file '/nonexistent/dir/plu.csv'");
    }
    delete descriptor;
    EXPECT_THROW(CreateInputDataFile(3), InternalErrorException);
    EXPECT_THROW(CreateInputDataFile(-1), InternalErrorException);
}

TEST(TransferInputFile, RecordsAreTheLinesThatWereChecked) {
    TempDir dir;
    // Lines of 1000 bytes, so the file spans several read buffers.
    std::string content;
    for (int i = 0; i < 10; ++i) content += std::to_string(i) + "," + std::string(997, 'x') + "\n";
    std::string path = dir.Write("plu.csv", content);
    Loaded loaded = Load(FileKindText, path, AcceptAll);
    const std::string changed = "File '" + path + "' was changed during the transfer";
    char buffer[RecordTextSize];

    // Edited in place to a line of the same length: refused, not sent unchecked.
    {
        std::fstream edit(path, std::ios::in | std::ios::out | std::ios::binary);
        edit.seekp(2);
        edit << "y";
    }
    try {
        loaded.file->GetRecord(0, buffer, sizeof buffer);
        ADD_FAILURE() << "no exception";
    } catch (const FileIoException& e) {
        EXPECT_EQ(e.GetMessage(), changed);
    }
    // Cut short: the missing records are refused too, the untouched ones still come.
    std::filesystem::resize_file(path, 5000);
    EXPECT_EQ(loaded.file->GetRecord(3, buffer, sizeof buffer), 4);
    EXPECT_THROW(loaded.file->GetRecord(7, buffer, sizeof buffer), FileIoException);
}

TEST(TransferInputFile, MillionLineFileLoadsSortedFromTheIndexOnly) {
    TempDir dir;
    std::string path = dir.PathOf("big.csv");
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 1000000; i > 0; --i) out << i << ",\"item\"\r\n";
    }
    DataErrorFlag = false;
    Loaded big = Load(FileKindSortedText, path, NumberedCheck);
    auto& text = static_cast<TextInputFile&>(*big.file);
    ASSERT_EQ(text.Index().size(), 1000000u);
    char buffer[RecordTextSize];
    EXPECT_EQ(big.file->GetRecord(0, buffer, sizeof buffer), 1000000);
    EXPECT_STREQ(buffer, "1,\"item\"\r\n");
    EXPECT_EQ(big.file->GetRecord(999999, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "1000000,\"item\"\r\n");
    EXPECT_FALSE(DataErrorFlag);
}

namespace {

// Two fields: a number 1 to 99 and a name of at most 5 characters.
int PairCheck(int phase, OperationDescriptor* d) {
    if (phase != PhaseCheck) return 0;
    return SplitIntoFields(d->text, 2) && CheckNumberField(0, "number", 1, 99) && CheckNameField(1, 5) ? 1 : 0;
}

}  // namespace

TEST(TransferInputFile, EveryRefusedLineNamesItsReason) {
    TempDir dir;
    DataErrorFlag = false;
    const std::string content = std::string("1,\"ok\"\r\n") +  // 1 good
                                "2,\"a\x02"
                                "b\"\r\n" +                         // 2 STX: a link byte
                                "3,\"ab\rc\"\r\n" +                 // 3 CR inside the line
                                "4,\"a\tb\"\r\n" +                  // 4 a tab in a name
                                "5\r\n" +                           // 5 one field
                                "500,\"x\"\r\n" +                   // 6 out of range
                                "7,\"toolong\"\r\n" +               // 7 name too long
                                "\r\n" +                            // 8 empty
                                std::string("9,\"n\0l\"\r\n", 9) +  // 9 NUL
                                "1,\"again\"\r\n";                  // 10 duplicate of line 1
    Loaded loaded = Load(FileKindSortedText, dir.Write("pairs.txt", content), PairCheck);
    // The console line stays as it always was.
    EXPECT_NE(loaded.console.find("Line 2     - empty or bad format\n"), std::string::npos) << loaded.console;
    std::vector<std::string> reasons;
    for (const RefusedLine& refused : loaded.file->RefusedLines())
        reasons.push_back(std::to_string(refused.line) + ": " + refused.reason);
    EXPECT_EQ(reasons, (std::vector<std::string>{
                           "1: record number not unique: a later line has the same number",
                           "2: byte 5 is the control byte STX, which the line to the ECR reserves",
                           "3: byte 6 is the control byte CR, which the line to the ECR reserves",
                           "4: name holds the control byte 0x09 at character 2",
                           "5: 1 field, 2 expected",
                           "6: field 1 (number) must be a whole number 1 to 99",
                           "7: name longer than 5 characters",
                           "8: empty line",
                           "9: byte 5 is a NUL byte",
                       }));
    std::vector<std::string> records = AllRecords(*loaded.file);
    EXPECT_EQ(records, (std::vector<std::string>{"1,\"again\"\r\n"}));
    EXPECT_TRUE(DataErrorFlag);
    DataErrorFlag = false;
}
