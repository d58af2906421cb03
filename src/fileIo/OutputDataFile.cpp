#include "fileIo/OutputDataFile.h"

#include "driver/Operation.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "language/Utf8DataFiles.h"
#include "platform/FileOpen.h"
#include "platform/FileSync.h"
#include "platform/Files.h"
#include "platform/OutputFiles.h"
#include "tools/TextTools.h"

namespace {

[[noreturn]] void ThrowOpenError(const std::string& name) {
    throw FileIoException("Unable to open file '" + name + "'");
}

}  // namespace

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
    writtenName = name;  // nothing to abandon until the file is open
    writeFailed = false;
    bytesWritten = 0;
    const platform::OutputTarget target = platform::OutputTargetOf(name);
    targetExisted = target != platform::OutputTarget::Missing;
    if (target != platform::OutputTarget::Other) {
        // Never written through a ".partial" name that is not a plain file
        // (a folder, a link pointing elsewhere).
        const std::string partial = PartialName(fileName);
        if (platform::OutputTargetOf(partial.c_str()) == platform::OutputTarget::Other) ThrowOpenError(fileName);
        writtenName = partial;
    }
    // Binary mode: the CR LF of text records reaches the file unchanged.
    file = platform::OpenOutputFile(writtenName.c_str());
    if (file == nullptr) {
        writtenName = fileName;
        ThrowOpenError(fileName);
    }
}

void OutputDataFile::Put(const char* data, size_t length) {
    if (file == nullptr) THROW_INTERNAL_ERROR("src/fileIo");
    if (length == 0) return;
    if (fwrite(data, 1, length, file) != length) writeFailed = true;
    bytesWritten += length;
}

void OutputDataFile::EndRecord() {
    if (fflush(file) != 0) writeFailed = true;
}

void OutputDataFile::Close() {
    if (file == nullptr) return;
    // The data reaches the disk before the name does, so that no crash can
    // leave the name on a file that is shorter than the read.
    bool failed = writeFailed || !platform::SyncFileToDisk(file, writtenName.c_str()) || ferror(file) != 0;
    if (fclose(file) != 0) failed = true;
    file = nullptr;
    // Records that never reached the disk must not be reported as read.
    if (failed) throw FileIoException("Unable to write file '" + fileName + "'");
    if (writtenName != fileName && !platform::MoveIntoPlace(writtenName.c_str(), fileName.c_str()))
        throw FileIoException("Unable to write file '" + fileName + "'");
    writtenName = fileName;
}

std::string OutputDataFile::Abandon() {
    if (file != nullptr) {
        fclose(file);
        file = nullptr;
    }
    // Nothing opened, written directly, or already in place.
    if (writtenName == fileName) return "";
    const std::string kept = "file '" + fileName + (targetExisted ? "' left as it was" : "' not created");
    if (bytesWritten == 0) {
        platform::RemoveFile(writtenName.c_str());
        return "Nothing received: " + kept;
    }
    return "F" + kept.substr(1) + "; what was received is in '" + writtenName + "'";
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
        case FileKindText: return std::make_unique<TextOutputFile>();
        case FileKindBinary: return std::make_unique<BinaryOutputFile>();
        default: THROW_INTERNAL_ERROR("src/fileIo");
    }
}
