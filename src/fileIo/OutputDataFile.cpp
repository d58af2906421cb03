#include "fileIo/OutputDataFile.h"

#include "driver/Operation.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "language/Utf8DataFiles.h"
#include "platform/FileOpen.h"
#include "platform/FileSync.h"
#include "tools/TextTools.h"

OutputDataFile::~OutputDataFile() {
    if (file != nullptr) fclose(file);
}

void OutputDataFile::Open(const char* name) {
    if (name == nullptr) THROW_INTERNAL_ERROR("src/fileIo");
    if (file != nullptr) {
        fclose(file);
        file = nullptr;
    }
    fileName = name;
    writeFailed = false;
    // Binary mode: the CR LF of text records reaches the file unchanged.
    file = platform::OpenFile(name, "wb");
    if (file == nullptr) throw FileIoException(std::string("Unable to open file '") + name + "'");
}

void OutputDataFile::Put(const char* data, size_t length) {
    if (file == nullptr) THROW_INTERNAL_ERROR("src/fileIo");
    if (length > 0 && fwrite(data, 1, length, file) != length) writeFailed = true;
}

void OutputDataFile::EndRecord() {
    if (fflush(file) != 0) writeFailed = true;
}

void OutputDataFile::SyncToDisk() {
    if (file == nullptr) THROW_INTERNAL_ERROR("src/fileIo");
    if (writeFailed || !platform::SyncFileToDisk(file, fileName.c_str())) {
        writeFailed = true;
        throw FileIoException("Unable to write file '" + fileName + "'");
    }
}

void OutputDataFile::Close() {
    if (file == nullptr) return;
    bool failed = writeFailed || ferror(file) != 0;
    if (fclose(file) != 0) failed = true;
    file = nullptr;
    // Records that never reached the disk must not be reported as read.
    if (failed) throw FileIoException("Unable to write file '" + fileName + "'");
}

void TextOutputFile::WriteRecord(const char* data, size_t) {
    if (data == nullptr) THROW_INTERNAL_ERROR("src/fileIo");
    ++records;
    std::string why;
    const std::string line = EcrTextToDataFile(data, why);
    // The record is kept; the log tells which byte the file could not show.
    if (!why.empty()) LogWrite(LogBoth, FormatString("Record %u: %s", records, why.c_str()), true);
    Put(line.data(), line.size());
    Put("\r\n", 2);
    EndRecord();
}

void BinaryOutputFile::WriteRecord(const char* data, size_t length) {
    if (data == nullptr && length > 0) THROW_INTERNAL_ERROR("src/fileIo");
    Put(data, length);
    EndRecord();
}

std::unique_ptr<OutputDataFile> CreateOutputDataFile(int fileKind) {
    switch (fileKind) {
    case FileKindSortedText:
    case FileKindText:
        return std::make_unique<TextOutputFile>();
    case FileKindBinary:
        return std::make_unique<BinaryOutputFile>();
    default:
        THROW_INTERNAL_ERROR("src/fileIo");
    }
}
