#pragma once
// Monochrome BMP files built byte by byte for the logo tests.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

struct BitmapShape {
    uint16_t signature = 0x4D42;
    int32_t width = 240;
    int32_t height = 1;
    uint16_t planes = 1;
    uint16_t bitsPerPixel = 1;
    uint32_t compression = 0;
    uint32_t infoSize = 40;
    uint32_t pixelOffset = 0;                // 0: right after the colour table
    bool blackFirst = true;                  // colour table black, white (else white, black)
    std::vector<uint8_t> colours;            // 8 bytes overriding the table when not empty
    std::vector<std::vector<uint8_t>> rows;  // file bytes of each row, top row first
    size_t cutBytes = 0;                     // bytes dropped from the end of the file
};

inline void Put16(std::string& out, size_t at, uint16_t v) {
    out[at] = static_cast<char>(v & 0xFF);
    out[at + 1] = static_cast<char>(v >> 8);
}

inline void Put32(std::string& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// The bytes of a BMP file: the rows follow the colour table whatever
// `pixelOffset` claims, stored bottom-up, each padded to the stride
// (with the row's last byte value, so padding is never blank by accident).
inline std::string BuildBitmap(const BitmapShape& shape) {
    const size_t rowBytes = shape.width > 0 ? (static_cast<size_t>(shape.width) + 7) / 8 : 0;
    const size_t stride = (rowBytes + 3) / 4 * 4;
    const uint8_t white = shape.blackFirst ? 0xFF : 0x00;
    std::vector<std::vector<uint8_t>> rows = shape.rows;
    if (rows.empty() && shape.height > 0 && shape.height <= 1000)
        rows.assign(static_cast<size_t>(shape.height), std::vector<uint8_t>(rowBytes, white));

    const size_t tableAt = 14 + shape.infoSize;
    const size_t dataAt = shape.pixelOffset != 0 ? shape.pixelOffset : tableAt + 8;
    std::string out(std::max(tableAt + 8, 54 + size_t{8}), '\0');
    Put16(out, 0, shape.signature);
    Put32(out, 10, static_cast<uint32_t>(dataAt));
    Put32(out, 14, shape.infoSize);
    Put32(out, 18, static_cast<uint32_t>(shape.width));
    Put32(out, 22, static_cast<uint32_t>(shape.height));
    Put16(out, 26, shape.planes);
    Put16(out, 28, shape.bitsPerPixel);
    Put32(out, 30, shape.compression);
    if (shape.infoSize >= 108) {  // colour masks of the longer headers
        Put32(out, 54, 0x00FF0000);
        Put32(out, 58, 0x0000FF00);
        Put32(out, 62, 0x000000FF);
        Put32(out, 66, 0xFF000000);
    }
    std::vector<uint8_t> table = shape.colours;
    if (table.empty())
        table = shape.blackFirst ? std::vector<uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0}
                                 : std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < 8; ++i) out[tableAt + i] = static_cast<char>(table[i]);

    for (size_t r = rows.size(); r-- > 0;) {
        std::vector<uint8_t> row = rows[r];
        uint8_t pad = row.empty() ? 0 : row.back();
        row.resize(stride, pad);
        out.append(row.begin(), row.end());
    }
    out.resize(out.size() - std::min(shape.cutBytes, out.size()));
    return out;
}

// A bitmap written to a temporary file, removed at the end of the test.
class TempBitmap {
public:
    TempBitmap() {
        char pattern[] = "/tmp/kvt5100-logo-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0) close(fd);
        path = pattern;
    }
    ~TempBitmap() { std::remove(path.c_str()); }
    TempBitmap(const TempBitmap&) = delete;
    TempBitmap& operator=(const TempBitmap&) = delete;

    const std::string& Path() const { return path; }
    void Write(const BitmapShape& shape) const { WriteBytes(BuildBitmap(shape)); }
    void WriteRaw(const std::vector<uint8_t>& bytes) const { WriteBytes(std::string(bytes.begin(), bytes.end())); }

private:
    void WriteBytes(const std::string& bytes) const {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::string path;
};
