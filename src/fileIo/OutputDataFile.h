#pragma once
// Output data files of read operations: text lines ending in CR LF, or bytes.
#include <cstddef>
#include <cstdio>
#include <memory>

class OutputDataFile {
public:
    virtual ~OutputDataFile();
    void Open(const char* fileName);  // creates or empties; FileIoException on failure
    virtual void WriteRecord(const char* data, size_t length) = 0;
    void Close();

protected:
    FILE* file = nullptr;
};

class TextOutputFile : public OutputDataFile {
public:
    void WriteRecord(const char* data, size_t length) override;
};

class BinaryOutputFile : public OutputDataFile {
public:
    void WriteRecord(const char* data, size_t length) override;
};

std::unique_ptr<OutputDataFile> CreateOutputDataFile(int fileKind);
