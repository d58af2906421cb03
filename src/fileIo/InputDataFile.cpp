#include "fileIo/InputDataFile.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "config/Config.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "fileIo/BitmapInputFile.h"
#include "language/CodePage.h"
#include "language/Utf8DataFiles.h"
#include "platform/FileOpen.h"
#include "platform/FileStream.h"
#include "tools/FieldTools.h"
#include "tools/LineRefusal.h"
#include "tools/RunState.h"
#include "tools/TextTools.h"

namespace {

constexpr const char* Module = "src/fileIo";

// Reads one line: bytes up to and including a line feed, at most size - 1 of
// them, NUL-terminated. Returns the number of bytes taken from the file (0 at
// the end of the file); NUL bytes inside the line are counted like any other.
size_t ReadLine(FILE* file, char* buffer, size_t size) {
    size_t count = 0;
    while (count + 1 < size) {
        int ch = platform::GetByteUnlocked(file);
        if (ch == EOF) break;
        buffer[count++] = static_cast<char>(ch);
        if (ch == '\n') break;
    }
    buffer[count] = '\0';
    return count;
}

// A UTF-8 byte-order mark (EF BB BF, as spreadsheets save "CSV UTF-8") is
// no part of the first record: it is removed from the line read; returns the
// number of bytes removed.
size_t DropByteOrderMark(char* line, size_t length) {
    static const char mark[] = "\xEF\xBB\xBF";
    const size_t size = sizeof mark - 1;
    if (length < size || memcmp(line, mark, size) != 0) return 0;
    memmove(line, line + size, length - size + 1);
    return size;
}

[[noreturn]] void ThrowReadError(const char* fileName) {
    throw FileIoException(std::string("Unable to read file '") + fileName + "'");
}

// FNV-1a over the bytes of one line.
uint32_t LineChecksum(const char* data, size_t length) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 16777619u;
    }
    return hash;
}

// Bytes the link to the ECR gives a meaning: one inside a line could end a
// frame early or forge a whole command frame.
const char* LinkByteName(unsigned char byte) {
    switch (byte) {
        case 0x00: return "NUL";
        case 0x02: return "STX";
        case 0x03: return "ETX";
        case 0x06: return "ACK";
        case 0x0A: return "LF";
        case 0x0D: return "CR";
        case 0x15: return "NAK";
        case 0x1A: return "SUB";
        default: return nullptr;
    }
}

// The first link byte in the line without its line end; "" when there is none.
std::string FindLinkByte(const char* text) {
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
    for (size_t at = 0; at < length; ++at) {
        const char* name = LinkByteName(static_cast<unsigned char>(text[at]));
        if (name != nullptr)
            return FormatString("byte %u is the control byte %s, which the line to the ECR reserves",
                                static_cast<unsigned>(at + 1), name);
    }
    return "";
}

// Refused lines listed with their reasons; the rest are only counted (their
// reasons are in the debug log), so a huge bad file cannot fill the memory.
constexpr size_t MaxListedRefusals = 10000;

}  // namespace

std::unique_ptr<InputDataFile> CreateInputDataFile(int fileKind) {
    switch (fileKind) {
        case FileKindBitmap: return std::make_unique<BitmapInputFile>();
        case FileKindSortedText: return std::make_unique<SortedTextInputFile>();
        case FileKindText: return std::make_unique<TextInputFile>();
        default: THROW_INTERNAL_ERROR(Module);
    }
}

void SortRecordIndex(RecordIndex& index) {
    // Equal numbers may end up in any order: the duplicate step keeps the
    // entry with the highest line number whatever their order.
    std::sort(index.begin(), index.end(),
              [](const RecordIndexEntry& a, const RecordIndexEntry& b) { return a.recordNumber < b.recordNumber; });
}

std::vector<int32_t> RemoveDuplicateRecords(RecordIndex& index) {
    // Of two neighbours with the same number the one earlier in the file goes
    // and the other is compared with the next neighbour, so each run of equal
    // numbers keeps the entry that stands last in the file. Done in one pass.
    std::vector<int32_t> removed;
    if (index.size() < 2) return removed;
    size_t out = 0;
    RecordIndexEntry survivor = index[0];
    for (size_t next = 1; next < index.size(); ++next) {
        const RecordIndexEntry& entry = index[next];
        if (entry.recordNumber != survivor.recordNumber) {
            index[out++] = survivor;
            survivor = entry;
        } else if (survivor.lineNumber <= entry.lineNumber) {
            removed.push_back(survivor.lineNumber);
            survivor = entry;
        } else {
            removed.push_back(entry.lineNumber);
        }
    }
    index[out++] = survivor;
    index.resize(out);
    return removed;
}

std::string InputDataFile::DescribeRecord(uint32_t at) const { return FormatString("record %u", at + 1); }

std::string TextInputFile::DescribeRecord(uint32_t at) const {
    if (at >= index.size()) THROW_INTERNAL_ERROR(Module);
    const RecordIndexEntry& entry = index[at];
    if (!numbered) return FormatString("line %d", entry.lineNumber);
    return FormatString("record number %lld on line %d", static_cast<long long>(entry.recordNumber), entry.lineNumber);
}

TextInputFile::~TextInputFile() {
    if (file != nullptr) fclose(file);
}

const std::vector<RefusedLine>& InputDataFile::RefusedLines() const {
    static const std::vector<RefusedLine> none;
    return none;
}

std::string TextInputFile::CheckLine(size_t length, OperationHandler handler, OperationDescriptor* descriptor) {
    char* text = descriptor->text;
    // A NUL byte would end the record early and the rest of the line would
    // be lost unseen, so such a line is refused as a whole.
    const size_t nul = strlen(text);
    if (nul < length) return FormatString("byte %u is a NUL byte", static_cast<unsigned>(nul + 1));
    std::string why;
    if (!DataLineToEcr(lineCodePage, text, length, RecordTextSize, why)) return why;
    why = FindLinkByte(text);
    if (!why.empty()) return why;
    if (handler == nullptr) return "";
    TakeLineRefusal();  // nothing left over from another check
    if (handler(PhaseCheck, descriptor) != 0) return "";
    why = TakeLineRefusal();
    return why.empty() ? "refused by the command's check" : why;
}

void TextInputFile::Refuse(int32_t line, const std::string& why) {
    printf("Line %-5d - empty or bad format\n", line);
    LogWrite(LogDebug, FormatString("Line %d: %s", line, why.c_str()), true);
    if (refused.size() < MaxListedRefusals) refused.push_back({line, why});
    ++refusedCount;
}

void TextInputFile::Load(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor) {
    if (fileName == nullptr || descriptor == nullptr) THROW_INTERNAL_ERROR(Module);
    Close();
    lineCount = 0;
    refused.clear();
    refusedCount = 0;
    lineCodePage = Utf8DataFilesCodePage();
    this->fileName = fileName;
    file = platform::OpenFile(fileName, "rb");
    if (file == nullptr) throw FileIoException(std::string("Unable to open file '") + fileName + "'");

    printf("Preparing data ...\r");
    fflush(stdout);
    LogWrite(LogDebug, "Checking input file data", true);

    int64_t position = 0;
    int32_t line = 1;
    FieldList& fields = SharedFieldList();
    for (;;) {
        size_t length = ReadLine(file, descriptor->text, RecordTextSize);
        if (length == 0) break;
        if (line == 1) {
            const size_t mark = DropByteOrderMark(descriptor->text, length);
            position += static_cast<int64_t>(mark);
            length -= mark;
            // A file that says it is UTF-8 is read as UTF-8 whatever CodePage says.
            if (mark > 0 && lineCodePage == 0) {
                lineCodePage = EcrCodePageOfUtf8Files();
                LogWrite(LogDebug,
                         FormatString("The file starts with a UTF-8 byte-order mark: its lines are converted "
                                      "from UTF-8 to code page %d",
                                      lineCodePage),
                         true);
            }
            if (length == 0) break;
        }
        // Positions are kept in 32 bits: refuse a file the index cannot address.
        if (position > INT32_MAX || line == INT32_MAX)
            throw FileIoException(std::string("File '") + fileName + "' is too large (2 GB at most)");
        const uint32_t checksum = LineChecksum(descriptor->text, length);
        const std::string why = CheckLine(length, handler, descriptor);
        if (why.empty()) {
            int64_t number = 0;
            if (numbered && fields.Count() > 0) number = ParseLeadingInt64(fields.At(0));
            index.push_back({number, static_cast<int32_t>(position), line, static_cast<int32_t>(length), checksum});
        } else {
            Refuse(line, why);
        }
        position += static_cast<int64_t>(length);
        ++line;
        ++lineCount;
    }
    if (ferror(file)) ThrowReadError(fileName);
    // Records are read again by position when they are sent: a file that
    // cannot be repositioned (a pipe) is refused now, before the ECR is asked.
    if (!index.empty() && fseeko(file, 0, SEEK_SET) != 0) ThrowReadError(fileName);

    if (refusedCount > 0) {
        LogWrite(LogBoth, FormatString("Found %u empty or bad format record(s)", refusedCount), true);
        for (const RefusedLine& entry : refused)
            LogWrite(LogStandard, FormatString("Line %d: %s", entry.line, entry.reason.c_str()), true);
        if (refusedCount > refused.size())
            LogWrite(LogStandard,
                     FormatString("%u more refused line(s): their reasons are in the debug error log",
                                  refusedCount - static_cast<uint32_t>(refused.size())),
                     true);
        DataErrorFlag = true;
    }
}

void TextInputFile::Open(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor) {
    Load(fileName, handler, descriptor);
}

int TextInputFile::GetRecord(uint32_t at, char* buffer, size_t size) {
    if (at >= index.size()) return 0;
    if (buffer == nullptr || size == 0 || file == nullptr) THROW_INTERNAL_ERROR(Module);
    const RecordIndexEntry& entry = index[at];
    if (fseeko(file, static_cast<off_t>(entry.filePosition), SEEK_SET) != 0) {
        buffer[0] = '\0';
        ThrowReadError(fileName.c_str());
    }
    size_t length = ReadLine(file, buffer, size);
    if (ferror(file)) ThrowReadError(fileName.c_str());
    // A record that is not the line checked at loading (the file was edited,
    // cut or replaced meanwhile) must not reach the ECR unchecked.
    const size_t checked = static_cast<size_t>(entry.length);
    const bool whole = checked < size;
    if (length != (whole ? checked : size - 1) || (whole && LineChecksum(buffer, length) != entry.checksum))
        throw FileIoException("File '" + fileName + "' was changed during the transfer");
    // The same bytes as at loading: the same conversion, so the record sent is the line checked.
    std::string why;
    if (!DataLineToEcr(lineCodePage, buffer, length, size, why)) THROW_INTERNAL_ERROR(Module);
    return entry.lineNumber;
}

void TextInputFile::Close() {
    RecordIndex().swap(index);
    if (file != nullptr) {
        fclose(file);
        file = nullptr;
    }
}

void SortedTextInputFile::Open(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor) {
    Load(fileName, handler, descriptor);
    if (index.empty()) return;

    LogWrite(LogDebug, "Input data file sorting started", true);
    SortRecordIndex(index);
    LogWrite(LogDebug, "Input data file sorting finished", true);

    std::vector<int32_t> removed = RemoveDuplicateRecords(index);
    for (int32_t line : removed) {
        printf("Line %-5d - record number not unique\n", line);
        if (refused.size() < MaxListedRefusals)
            refused.push_back({line, "record number not unique: a later line has the same number"});
    }
    if (!removed.empty()) {
        LogWrite(LogBoth,
                 FormatString("Found %d record(s) with duplicating record numbers", static_cast<int>(removed.size())),
                 true);
        if (IgnoreDuplicates == 0) DataErrorFlag = true;
        std::stable_sort(refused.begin(), refused.end(),
                         [](const RefusedLine& a, const RefusedLine& b) { return a.line < b.line; });
    }
}
