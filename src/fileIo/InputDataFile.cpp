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
#include "language/Utf8DataFiles.h"
#include "platform/FileOpen.h"
#include "platform/FileStream.h"
#include "tools/FieldTools.h"
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

// A line of a UTF-8 data file is checked and sent in the ECR's code page;
// one that has no such form is refused like any bad line.
bool ConvertToEcr(char* text, size_t length, int32_t line) {
    std::string why;
    if (DataLineToEcr(text, length, RecordTextSize, why)) return true;
    LogWrite(LogDebug, FormatString("Line %d: %s", line, why.c_str()), true);
    return false;
}

}  // namespace

std::unique_ptr<InputDataFile> CreateInputDataFile(int fileKind) {
    switch (fileKind) {
    case FileKindBitmap:
        return std::make_unique<BitmapInputFile>();
    case FileKindSortedText:
        return std::make_unique<SortedTextInputFile>();
    case FileKindText:
        return std::make_unique<TextInputFile>();
    default:
        THROW_INTERNAL_ERROR(Module);
    }
}

namespace {

int64_t KeyAt(const RecordIndex& index, int64_t at) {
    if (at < 0 || at >= static_cast<int64_t>(index.size())) THROW_INTERNAL_ERROR(Module);
    return index[static_cast<size_t>(at)].recordNumber;
}

// Middle-pivot quicksort of lo..hi. After each partition the smaller side is
// sorted by recursion and the larger one by the loop, so the stack stays
// shallow whatever the input; the partitions are the same either way.
// Inputs that defeat the middle pivot (ascending then descending numbers,
// for instance) would take quadratic time: once a range has been partitioned
// more often than a balanced sort ever needs, it is finished with a heap-based
// sort instead. Only the order of equal numbers can differ, and the duplicate
// step does not depend on it.
void QuickSort(RecordIndex& index, int64_t lo, int64_t hi, int depthBudget) {
    while (lo < hi) {
        if (depthBudget-- <= 0) {
            std::sort(index.begin() + lo, index.begin() + hi + 1,
                      [](const RecordIndexEntry& a, const RecordIndexEntry& b) {
                          return a.recordNumber < b.recordNumber;
                      });
            return;
        }
        const int64_t pivot = KeyAt(index, (lo + hi) / 2);
        int64_t i = lo;
        int64_t j = hi;
        while (j >= i) {
            while (KeyAt(index, i) < pivot) ++i;
            while (KeyAt(index, j) > pivot) --j;
            if (j < i) break;
            std::swap(index[static_cast<size_t>(i)], index[static_cast<size_t>(j)]);
            ++i;
            --j;
        }
        // lo..j and i..hi are left to sort.
        if (j - lo < hi - i) {
            if (lo < j) QuickSort(index, lo, j, depthBudget);
            lo = i;
        } else {
            if (i < hi) QuickSort(index, i, hi, depthBudget);
            hi = j;
        }
    }
}

}  // namespace

void SortRecordIndex(RecordIndex& index) {
    if (index.size() < 2) return;
    int depthBudget = 0;
    for (size_t n = index.size(); n > 0; n >>= 1) depthBudget += 2;
    QuickSort(index, 0, static_cast<int64_t>(index.size()) - 1, depthBudget + 16);
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

void TextInputFile::Load(const char* fileName, OperationHandler handler, OperationDescriptor* descriptor) {
    if (fileName == nullptr || descriptor == nullptr) THROW_INTERNAL_ERROR(Module);
    Close();
    lineCount = 0;
    this->fileName = fileName;
    file = platform::OpenFile(fileName, "rb");
    if (file == nullptr) throw FileIoException(std::string("Unable to open file '") + fileName + "'");

    printf("Preparing data ...\r");
    fflush(stdout);
    LogWrite(LogDebug, "Checking input file data", true);

    int64_t position = 0;
    int32_t line = 1;
    int bad = 0;
    FieldList& fields = SharedFieldList();
    for (;;) {
        size_t length = ReadLine(file, descriptor->text, RecordTextSize);
        if (length == 0) break;
        if (line == 1) {
            const size_t mark = DropByteOrderMark(descriptor->text, length);
            position += static_cast<int64_t>(mark);
            length -= mark;
            if (length == 0) break;
        }
        // Positions are kept in 32 bits: refuse a file the index cannot address.
        if (position > INT32_MAX || line == INT32_MAX)
            throw FileIoException(std::string("File '") + fileName + "' is too large (2 GB at most)");
        // A NUL byte would end the record early and the rest of the line
        // would be lost unseen, so such a line is refused as a whole.
        const bool holdsNul = strlen(descriptor->text) < length;
        const uint32_t checksum = LineChecksum(descriptor->text, length);
        bool valid = !holdsNul && ConvertToEcr(descriptor->text, length, line) &&
                     (handler == nullptr || handler(PhaseCheck, descriptor) != 0);
        if (valid) {
            int64_t number = 0;
            if (numbered && fields.Count() > 0) number = ParseLeadingInt64(fields.At(0));
            index.push_back({number, static_cast<int32_t>(position), line, static_cast<int32_t>(length), checksum});
        } else {
            printf("Line %-5d - empty or bad format\n", line);
            ++bad;
        }
        position += static_cast<int64_t>(length);
        ++line;
        ++lineCount;
    }
    if (ferror(file)) ThrowReadError(fileName);
    // Records are read again by position when they are sent: a file that
    // cannot be repositioned (a pipe) is refused now, before the ECR is asked.
    if (!index.empty() && fseeko(file, 0, SEEK_SET) != 0) ThrowReadError(fileName);

    if (bad > 0) {
        LogWrite(LogBoth, FormatString("Found %d empty or bad format record(s)", bad), true);
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
    if (!DataLineToEcr(buffer, length, size, why)) THROW_INTERNAL_ERROR(Module);
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
    for (int32_t line : removed) printf("Line %-5d - record number not unique\n", line);
    if (!removed.empty()) {
        LogWrite(LogBoth,
                 FormatString("Found %d record(s) with duplicating record numbers", static_cast<int>(removed.size())),
                 true);
        if (IgnoreDuplicates == 0) DataErrorFlag = true;
    }
}
