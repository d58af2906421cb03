#include "fileIo/BitmapInputFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "errors/Exceptions.h"
#include "platform/FileOpen.h"

namespace {

constexpr const char* Module = "src/fileIo";

constexpr size_t FileHeaderSize = 14;
constexpr size_t InfoHeaderSize = 40;
constexpr size_t HeaderSize = FileHeaderSize + InfoHeaderSize;
constexpr size_t ColourTableSize = 8;  // two entries: blue, green, red, reserved
// Largest information header in use (BITMAPV5HEADER); the colour table follows it.
constexpr uint32_t LargestInfoHeaderSize = 124;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

uint8_t ReverseBits(uint8_t b) {
    b = static_cast<uint8_t>(((b & 0xF0) >> 4) | ((b & 0x0F) << 4));
    b = static_cast<uint8_t>(((b & 0xCC) >> 2) | ((b & 0x33) << 2));
    b = static_cast<uint8_t>(((b & 0xAA) >> 1) | ((b & 0x55) << 1));
    return b;
}

// Reads up to `size` bytes; whatever the file does not hold stays zero.
void ReadZeroFilled(FILE* file, uint8_t* buffer, size_t size) {
    memset(buffer, 0, size);
    size_t got = fread(buffer, 1, size, file);
    (void)got;
}

// Perceived brightness of a colour table entry (blue, green, red), weighted
// as the eye sees the three colours.
uint32_t Brightness(const uint8_t* entry) { return 299u * entry[2] + 587u * entry[1] + 114u * entry[0]; }

[[noreturn]] void ThrowReadError(const char* fileName) {
    throw FileIoException("File '" + std::string(fileName) + "' read error");
}

[[noreturn]] void ThrowWrongFormat() { throw FileIoException("Wrong bitmap file format"); }

}  // namespace

void BitmapInputFile::Open(const char* fileName, OperationHandler, OperationDescriptor* descriptor) {
    if (fileName == nullptr || descriptor == nullptr) THROW_INTERNAL_ERROR(Module);

    FileHandle file(platform::OpenFile(fileName, "rb"));
    if (!file) throw FileIoException("Unable to open file '" + std::string(fileName) + "'");

    uint8_t header[HeaderSize];
    ReadZeroFilled(file.get(), header, sizeof header);

    const uint16_t signature = Get16(header + 0);
    const uint32_t pixelOffset = Get32(header + 10);
    const uint32_t infoSize = Get32(header + 14);
    const int32_t fileWidth = static_cast<int32_t>(Get32(header + 18));
    const int32_t fileHeight = static_cast<int32_t>(Get32(header + 22));
    const uint16_t planes = Get16(header + 26);
    const uint16_t bitsPerPixel = Get16(header + 28);
    const uint32_t compression = Get32(header + 30);
    const int64_t requiredWidth = descriptor->bitmapWidth;
    const int64_t maxHeight = descriptor->maxRecords;  // one record a row

    // The picture must be exactly `bitmapWidth` wide and 1 to `maxRecords`
    // rows high. A height of 0 or below (a top-down bitmap) is refused here
    // like any other size the ECR cannot take.
    if (signature != 0x4D42) ThrowWrongFormat();
    if (fileWidth <= 0 || fileWidth != requiredWidth) ThrowWrongFormat();
    if (fileHeight <= 0 || fileHeight > maxHeight) ThrowWrongFormat();
    if (planes != 1) ThrowWrongFormat();
    if (bitsPerPixel != 1) ThrowWrongFormat();
    if (compression != 0) ThrowWrongFormat();

    // The colour table follows the information header; newer headers are
    // longer than 40 bytes and put it further on.
    uint8_t colours[ColourTableSize];
    if (infoSize > InfoHeaderSize && infoSize <= LargestInfoHeaderSize &&
        fseek(file.get(), static_cast<long>(FileHeaderSize + infoSize), SEEK_SET) != 0) {
        ThrowReadError(fileName);
    }
    ReadZeroFilled(file.get(), colours, sizeof colours);
    // Dots are the pixels of the darker entry: when entry 0 is the darker
    // one (the usual black, white order) the file's bits are flipped.
    const bool invert = Brightness(colours) < Brightness(colours + 4);

    const size_t rowBytes = (static_cast<size_t>(fileWidth) + 7) / 8;
    const size_t stride = (rowBytes + 3) / 4 * 4;
    const size_t dataSize = stride * static_cast<size_t>(fileHeight);

    // Make sure the file really holds the pixel data before allocating for
    // it, so a damaged header cannot ask for more memory than the file has.
    if (fseek(file.get(), 0, SEEK_END) != 0) ThrowReadError(fileName);
    const long fileSize = ftell(file.get());
    if (fileSize < 0 || pixelOffset > static_cast<uint64_t>(fileSize) ||
        dataSize > static_cast<uint64_t>(fileSize) - pixelOffset) {
        ThrowReadError(fileName);
    }

    std::vector<uint8_t> pixels;
    std::vector<std::vector<uint8_t>> converted;
    try {
        pixels.resize(dataSize);
        converted.resize(static_cast<size_t>(fileHeight));
        for (auto& row : converted) row.resize(rowBytes);
    } catch (const std::bad_alloc&) {
        throw DriverErrorException("Not enough memory");
    }

    if (fseek(file.get(), static_cast<long>(pixelOffset), SEEK_SET) != 0) ThrowReadError(fileName);
    if (fread(pixels.data(), 1, dataSize, file.get()) != dataSize) ThrowReadError(fileName);
    file.reset();

    // Bits beyond the width in the last byte of a row: they are no pixels
    // and must never print as dots, whatever the colour table order.
    const unsigned partialBits = static_cast<unsigned>(fileWidth) % 8;
    const uint8_t paddingMask = partialBits != 0 ? static_cast<uint8_t>(0xFF >> partialBits) : 0;

    // Rows are stored bottom-up; the file's leftmost pixel is bit 7, the
    // ECR wants it in bit 0.
    for (size_t i = 0; i < converted.size(); ++i) {
        const uint8_t* source = pixels.data() + (converted.size() - 1 - i) * stride;
        for (size_t j = 0; j < rowBytes; ++j) {
            uint8_t b = source[j];
            if (invert) b = static_cast<uint8_t>(~b);
            if (j == rowBytes - 1) b = static_cast<uint8_t>(b & ~paddingMask);
            converted[i][j] = ReverseBits(b);
        }
    }

    rows = std::move(converted);
    width = fileWidth;
    height = fileHeight;
}

int BitmapInputFile::GetRecord(uint32_t index, char* buffer, size_t size) {
    if (rows.empty() || index >= rows.size()) return 0;
    if (buffer == nullptr) THROW_INTERNAL_ERROR(Module);
    const size_t pixels = std::min(static_cast<size_t>(width), size);
    const size_t count = std::min((pixels + 7) / 8, rows[index].size());
    memcpy(buffer, rows[index].data(), count);
    return static_cast<int>(count);
}

void BitmapInputFile::Close() {
    rows.clear();
    rows.shrink_to_fit();
    height = 0;
    width = 0;
}
