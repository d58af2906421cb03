#pragma once
// Output data files of read operations: text lines ending in CR LF, or bytes.
//
// A read never destroys the file it is to replace: a file on a disk (or a
// name not taken yet) is written as "<name>.partial" beside it and takes the
// name only when the read is complete (Close). A read that fails leaves the
// named file as it was and what was received in the ".partial" file
// (Abandon). A pipe, a FIFO or a device is written directly.
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

class OutputDataFile {
public:
    virtual ~OutputDataFile();
    // FileIoException "Unable to open file" when the file cannot be opened
    // (a FIFO without a reader included).
    void Open(const char* fileName);
    virtual void WriteRecord(const char* data, size_t length) = 0;
    // Puts every record on the disk and the file in its place: after it
    // returns, the complete file is there under its name (a report may then
    // be cleared on the ECR). FileIoException when a record did not reach the
    // file (a full disk) or the file could not be put in place. A second
    // Close does nothing.
    void Close();
    // Ends a read that failed: the named file stays as it was. Gives the text
    // that tells the user where the records received are ("" when nothing
    // needs saying). Never throws.
    std::string Abandon();
    // The name the records are written under while the read runs.
    static std::string PartialName(const std::string& fileName) { return fileName + ".partial"; }

protected:
    // Remembers a failed write; Close reports it.
    void Put(const char* data, size_t length);
    // Hands the finished record to the system at once, so that a run that is
    // killed leaves whole records only, as many as the console counted.
    void EndRecord();
    FILE* file = nullptr;
    std::string fileName;
    std::string writtenName;  // fileName, or its ".partial" name while the read runs
    bool writeFailed = false;
    bool targetExisted = false;
    unsigned long long bytesWritten = 0;
};

// Writes each record up to its NUL; in UTF-8 data files, converted to UTF-8.
class TextOutputFile : public OutputDataFile {
public:
    void WriteRecord(const char* data, size_t length) override;

private:
    unsigned records = 0;
};

class BinaryOutputFile : public OutputDataFile {
public:
    void WriteRecord(const char* data, size_t length) override;
};

std::unique_ptr<OutputDataFile> CreateOutputDataFile(int fileKind);
