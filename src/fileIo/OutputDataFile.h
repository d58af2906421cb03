#pragma once
// Output data files of read operations: text lines ending in CR LF, or bytes.
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

class OutputDataFile {
public:
    virtual ~OutputDataFile();
    void Open(const char* fileName);  // creates or empties; FileIoException on failure
    virtual void WriteRecord(const char* data, size_t length) = 0;
    // Puts every record written so far on the disk before the run goes on
    // (a report is cleared on the ECR only once its copy is safe here).
    // FileIoException when that fails.
    void SyncToDisk();
    // FileIoException when a record did not reach the file (for instance a full disk).
    void Close();

protected:
    // Remembers a failed write; Close reports it.
    void Put(const char* data, size_t length);
    // Hands the finished record to the system at once, so that a run that is
    // killed leaves whole records only, as many as the console counted.
    void EndRecord();
    FILE* file = nullptr;
    std::string fileName;
    bool writeFailed = false;
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
