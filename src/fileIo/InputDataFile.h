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

// Sorts by recordNumber with the driver's quicksort (middle pivot).
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

protected:
    void Load(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor);
    FILE* file = nullptr;
    std::string fileName;
    RecordIndex index;
    bool numbered = false;
    uint32_t lineCount = 0;
};

class SortedTextInputFile : public TextInputFile {
public:
    SortedTextInputFile() { numbered = true; }
    void Open(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor) override;
};
