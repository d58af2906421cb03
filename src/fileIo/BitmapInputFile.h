#pragma once
// The logo picture: a monochrome BMP whose pixel rows become records.
#include <cstdint>
#include <vector>

#include "fileIo/InputDataFile.h"

class BitmapInputFile : public InputDataFile {
public:
    void Open(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor) override;
    int GetRecord(uint32_t index, char* buffer, size_t size) override;
    void Close() override;
    uint32_t RecordCount() const override { return static_cast<uint32_t>(rows.size()); }

private:
    std::vector<std::vector<uint8_t>> rows;  // converted rows, top row first
    int32_t height = 0;
    int32_t width = 0;
};
