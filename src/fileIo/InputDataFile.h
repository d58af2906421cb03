#pragma once
// Input data files of send operations: text files (in file order or sorted
// by record number) and the logo bitmap.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/Operation.h"

// A line refused while an input file was loaded, and why.
struct RefusedLine {
    int32_t line;
    std::string reason;
};

class InputDataFile {
public:
    virtual ~InputDataFile() = default;
    virtual void Open(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor) = 0;
    // 0 when `index` is past the last record; otherwise fills `buffer`
    // and returns a non-zero value (text: the line number; bitmap: the byte count).
    virtual int GetRecord(uint32_t index, char* buffer, size_t size) = 0;
    virtual void Close() = 0;
    // Records ready to send, before any limit of the command.
    virtual uint32_t RecordCount() const = 0;
    // Lines read from a text file while loading (valid or not); 0 for other kinds.
    virtual uint32_t LineCount() const { return 0; }
    // Names the record at `index` for a message ("record 3").
    virtual std::string DescribeRecord(uint32_t index) const;
    // True when GetRecord gives text already in the ECR's code page (a UTF-8
    // file converted as it was read): no code page table applies to it.
    virtual bool GivesEcrText() const { return false; }
    // The lines refused while loading (bad format, duplicate record numbers)
    // with their reasons, in line order; a very long list is cut short.
    virtual const std::vector<RefusedLine>& RefusedLines() const;
};

std::unique_ptr<InputDataFile> CreateInputDataFile(int fileKind);

struct RecordIndexEntry {
    int64_t recordNumber;
    int32_t filePosition;
    int32_t lineNumber;
    // The line as it was checked: its byte count and a checksum of its
    // bytes, so that a record read again at send time can be recognised.
    int32_t length = 0;
    uint32_t checksum = 0;
};
using RecordIndex = std::vector<RecordIndexEntry>;

// Sorts by recordNumber; entries with equal numbers in no defined order.
void SortRecordIndex(RecordIndex& index);
// Keeps, of every run of equal numbers, the entry that stands last in the
// file; returns the line numbers of the entries removed, in removal order.
std::vector<int32_t> RemoveDuplicateRecords(RecordIndex& index);

class TextInputFile : public InputDataFile {
public:
    ~TextInputFile() override;
    void Open(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor) override;
    int GetRecord(uint32_t index, char* buffer, size_t size) override;
    void Close() override;
    uint32_t RecordCount() const override { return static_cast<uint32_t>(index.size()); }
    uint32_t LineCount() const override { return lineCount; }
    // "line 12", or "record number 4711 on line 12" in a numbered file.
    std::string DescribeRecord(uint32_t at) const override;
    const RecordIndex& Index() const { return index; }
    bool GivesEcrText() const override { return lineCodePage != 0; }
    const std::vector<RefusedLine>& RefusedLines() const override { return refused; }

protected:
    void Load(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor);
    // The reason the line in descriptor->text (`length` bytes) is refused; "" when it is good.
    std::string CheckLine(size_t length, OperationHandler handler, OperationDescriptor* descriptor);
    void Refuse(int32_t line, const std::string& why);
    FILE* file = nullptr;
    std::string fileName;
    RecordIndex index;
    bool numbered = false;
    uint32_t lineCount = 0;
    // The ECR code page the lines are converted to from UTF-8; 0 when they are not.
    int lineCodePage = 0;
    std::vector<RefusedLine> refused;
    uint32_t refusedCount = 0;  // bad format lines, listed or not
};

class SortedTextInputFile : public TextInputFile {
public:
    SortedTextInputFile() { numbered = true; }
    void Open(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor) override;
};
