// The logo picture file: header checks, row order, bit order, colour tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "errors/Exceptions.h"
#include "fileIo/BitmapInputFile.h"
#include "unit/logo_test_bitmaps.h"

namespace {

// Loads `path` and returns its rows as GetRecord hands them out.
std::vector<std::vector<uint8_t>> LoadRows(const std::string& path, uint32_t width = 240, uint32_t maxHeight = 240) {
    OperationDescriptor descriptor{};
    descriptor.bitmapWidth = width;
    descriptor.maxRecords = maxHeight;
    BitmapInputFile file;
    file.Open(path.c_str(), nullptr, &descriptor);
    std::vector<std::vector<uint8_t>> rows;
    char buffer[RecordTextSize];
    for (uint32_t i = 0;; ++i) {
        int count = file.GetRecord(i, buffer, sizeof buffer);
        if (count == 0) break;
        rows.emplace_back(buffer, buffer + count);
    }
    file.Close();
    return rows;
}

// The message of the exception that loading `path` throws; "" when none.
std::string LoadError(const std::string& path, uint32_t width = 240, uint32_t maxHeight = 240) {
    try {
        LoadRows(path, width, maxHeight);
    } catch (const FileIoException& e) {
        return "FileIo: " + e.GetMessage();
    } catch (const Exception& e) {
        return "Other: " + e.GetMessage();
    }
    return "";
}

std::vector<uint8_t> Row(std::initializer_list<uint8_t> head, uint8_t fill = 0, size_t size = 30) {
    std::vector<uint8_t> row(size, fill);
    std::copy(head.begin(), head.end(), row.begin());
    return row;
}

std::string DataPath(const std::string& name) { return std::string(TEST_DATA_DIR) + "/logo/" + name; }

// Rows of the '#' / '.' picture rendering, one byte per 8 dots, leftmost dot in bit 0.
std::vector<std::vector<uint8_t>> RowsFromText(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::vector<uint8_t>> rows;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<uint8_t> row((line.size() + 7) / 8, 0);
        for (size_t x = 0; x < line.size(); ++x)
            if (line[x] == '#') row[x / 8] |= static_cast<uint8_t>(1u << (x % 8));
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

TEST(LogoBitmap, RowsComeTopFirstWithTheLeftmostPixelInBitZero) {
    TempBitmap bmp;
    BitmapShape shape;
    shape.height = 3;
    shape.blackFirst = false;  // file bit 1 is black: bits are taken as they are
    shape.rows = {Row({0x80}), Row({0x01, 0xA5}), Row({}, 0xFF)};
    bmp.Write(shape);

    auto rows = LoadRows(bmp.Path());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], Row({0x01}));        // leftmost file pixel -> bit 0
    EXPECT_EQ(rows[1], Row({0x80, 0xA5}));  // rightmost pixel of a byte -> bit 7
    EXPECT_EQ(rows[2], Row({}, 0xFF));      // the last file row is the bottom row

    // A record never grows past the buffer the caller gives.
    OperationDescriptor descriptor{};
    descriptor.bitmapWidth = 240;
    descriptor.maxRecords = 240;
    BitmapInputFile file;
    file.Open(bmp.Path().c_str(), nullptr, &descriptor);
    char small[16];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(file.GetRecord(0, small, 9), 2);
    EXPECT_EQ(small[2], 'x');
    // Past the last row: 0 and the buffer is left alone.
    char buffer[64];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(file.GetRecord(3, buffer, sizeof buffer), 0);
    EXPECT_EQ(buffer[0], 'x');
    file.Close();
    EXPECT_EQ(file.GetRecord(0, buffer, sizeof buffer), 0);
}

TEST(LogoBitmap, DarkerColourIsTheDotWhateverTheTableOrder) {
    std::vector<std::vector<uint8_t>> picture = {Row({0x80, 0x0F, 0xA5}), Row({}, 0xFF), Row({})};
    TempBitmap whiteFirst, blackFirst;

    BitmapShape shape;
    shape.height = 3;
    shape.blackFirst = false;
    shape.rows = picture;
    whiteFirst.Write(shape);

    // The same picture with the usual black, white table: every file bit flips.
    shape.blackFirst = true;
    std::vector<std::vector<uint8_t>> flipped = picture;
    for (auto& row : flipped)
        for (auto& b : row) b = static_cast<uint8_t>(~b);
    shape.rows = flipped;
    blackFirst.Write(shape);

    auto expected = std::vector<std::vector<uint8_t>>{Row({0x01, 0xF0, 0xA5}), Row({}, 0xFF), Row({})};
    EXPECT_EQ(LoadRows(whiteFirst.Path()), expected);
    EXPECT_EQ(LoadRows(blackFirst.Path()), expected);

    // Colours are compared by brightness, not by one byte: blue on white and
    // blue on yellow (equal blue bytes) print the blue pixels, in either order.
    // Equal brightness takes the file's bits as they are.
    struct Case {
        std::vector<uint8_t> colours;  // blue, green, red, reserved; twice
        bool firstIsDarker;
    };
    const Case cases[] = {
        {{0xFF, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0}, true},
        {{0xFF, 0xFF, 0xFF, 0, 0xFF, 0, 0, 0}, false},
        {{0x10, 0, 0, 0, 0x10, 0xFF, 0xFF, 0}, true},
        {{0, 0xFF, 0, 0, 0xFF, 0, 0xFF, 0}, false},  // green is brighter than magenta
        {{0x80, 0x80, 0x80, 0, 0x80, 0x80, 0x80, 0}, false},
    };
    for (const Case& c : cases) {
        TempBitmap bmp;
        shape.colours = c.colours;
        shape.rows = c.firstIsDarker ? flipped : picture;
        bmp.Write(shape);
        EXPECT_EQ(LoadRows(bmp.Path()), expected) << int(c.colours[0]) << "," << int(c.colours[1]);
    }
}

TEST(LogoBitmap, AcceptsEveryHeightUpToTheLimit) {
    for (int32_t height : {1, 100, 240}) {
        TempBitmap bmp;
        BitmapShape shape;
        shape.height = height;
        bmp.Write(shape);
        EXPECT_EQ(LoadRows(bmp.Path()).size(), static_cast<size_t>(height)) << height;
    }
}

TEST(LogoBitmap, WidthAndHeightLimitsAreSeparate) {
    // A wide, short limit: the width must match exactly, the height only stay within.
    TempBitmap bmp;
    BitmapShape shape;
    shape.height = 100;
    bmp.Write(shape);
    EXPECT_EQ(LoadRows(bmp.Path(), 240, 100).size(), 100u);
    EXPECT_EQ(LoadError(bmp.Path(), 240, 99), "FileIo: Wrong bitmap file format");
    EXPECT_EQ(LoadError(bmp.Path(), 100, 240), "FileIo: Wrong bitmap file format");
}

TEST(LogoBitmap, RefusesPicturesTheEcrCannotPrint) {
    const std::string wrong = "FileIo: Wrong bitmap file format";
    struct Case {
        const char* what;
        void (*change)(BitmapShape&);
    } cases[] = {
        {"signature", [](BitmapShape& s) { s.signature = 0x4142; }},
        {"width 239", [](BitmapShape& s) { s.width = 239; }},
        {"width 241", [](BitmapShape& s) { s.width = 241; }},
        {"width -240", [](BitmapShape& s) { s.width = -240; }},
        {"height 241", [](BitmapShape& s) { s.height = 241; }},
        {"height 0", [](BitmapShape& s) { s.height = 0; }},
        {"height -100 (top-down)", [](BitmapShape& s) { s.height = -100; }},
        {"height most negative", [](BitmapShape& s) { s.height = INT32_MIN; }},
        {"planes 2", [](BitmapShape& s) { s.planes = 2; }},
        {"4 bits", [](BitmapShape& s) { s.bitsPerPixel = 4; }},
        {"24 bits", [](BitmapShape& s) { s.bitsPerPixel = 24; }},
        {"RLE8", [](BitmapShape& s) { s.compression = 1; }},
        {"bit fields", [](BitmapShape& s) { s.compression = 3; }},
    };
    for (const auto& c : cases) {
        TempBitmap bmp;
        BitmapShape shape;
        shape.height = 4;
        c.change(shape);
        bmp.Write(shape);
        EXPECT_EQ(LoadError(bmp.Path()), wrong) << c.what;
    }

    // A file too short for its header reads as zeros there.
    TempBitmap stub;
    stub.WriteRaw({'B', 'M', 0, 0, 0});
    EXPECT_EQ(LoadError(stub.Path()), wrong);
}

TEST(LogoBitmap, PixelDataMissingFromTheFileIsAReadError) {
    struct Case {
        const char* what;
        void (*change)(BitmapShape&);
    } cases[] = {
        {"last row cut short", [](BitmapShape& s) { s.cutBytes = 1; }},
        {"no pixel data at all", [](BitmapShape& s) { s.cutBytes = 4 * 32; }},
        {"offset past the end", [](BitmapShape& s) { s.pixelOffset = 100000; }},
        {"offset that wraps", [](BitmapShape& s) { s.pixelOffset = 0xFFFFFFF0u; }},
        {"offset one row late", [](BitmapShape& s) { s.pixelOffset = 62 + 32; }},
    };
    for (const auto& c : cases) {
        TempBitmap bmp;
        BitmapShape shape;
        shape.height = 4;
        c.change(shape);
        bmp.Write(shape);
        EXPECT_EQ(LoadError(bmp.Path()), "FileIo: File '" + bmp.Path() + "' read error") << c.what;
    }

    EXPECT_EQ(LoadError("/nonexistent/logo.bmp"), "FileIo: Unable to open file '/nonexistent/logo.bmp'");
}

TEST(LogoBitmap, HugeSizesAskForNoMemoryBeyondTheFile) {
    // A width limit far above the logo's lets a damaged header claim an
    // enormous picture; it must end in the read error, not an allocation.
    TempBitmap bmp;
    BitmapShape shape;
    shape.width = 0x7FFFFFF0;
    shape.height = 0x7FFFFFF0;
    shape.rows = {};
    bmp.Write(shape);
    EXPECT_EQ(LoadError(bmp.Path(), 0x7FFFFFF0u, 0x7FFFFFF0u), "FileIo: File '" + bmp.Path() + "' read error");
}

TEST(LogoBitmap, NarrowRowsUseTheStrideAndPrintNoPadding) {
    // 12 pixels: 2 bytes a row, 4 in the file. Bits beyond the width and the
    // stride padding are never dots, in either colour table order.
    for (bool blackFirst : {false, true}) {
        TempBitmap bmp;
        BitmapShape shape;
        shape.width = 12;
        shape.height = 2;
        shape.blackFirst = blackFirst;
        uint8_t dots = blackFirst ? 0x00 : 0xFF;
        uint8_t blank = static_cast<uint8_t>(~dots);
        // Top row: pixels 0 and 11 are dots. In both rows the 4 bits beyond
        // the width and the 2 stride bytes hold the dot value.
        uint8_t first = static_cast<uint8_t>(blackFirst ? 0x7F : 0x80);
        uint8_t second = static_cast<uint8_t>(blackFirst ? 0xE0 : 0x1F);
        uint8_t edge = static_cast<uint8_t>(blackFirst ? 0xF0 : 0x0F);
        shape.rows = {{first, second, dots, dots}, {blank, edge, dots, blank}};
        bmp.Write(shape);
        auto rows = LoadRows(bmp.Path(), 12);
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0], (std::vector<uint8_t>{0x01, 0x08})) << blackFirst;
        EXPECT_EQ(rows[1], (std::vector<uint8_t>{0x00, 0x00})) << blackFirst;
    }
}

TEST(LogoBitmap, ColourTableFollowsALongerInformationHeader) {
    // A 108-byte header puts colour masks where a 40-byte header has its
    // colour table; the real table (black, white) follows the header.
    TempBitmap bmp;
    BitmapShape shape;
    shape.height = 1;
    shape.infoSize = 108;
    shape.rows = {Row({0x7F}, 0xFF)};  // black first: leftmost pixel black
    bmp.Write(shape);
    EXPECT_EQ(LoadRows(bmp.Path()), (std::vector<std::vector<uint8_t>>{Row({0x01})}));
}

TEST(LogoBitmap, PicturesSavedByAnImageTool) {
    auto expected = RowsFromText(DataPath("logo_240x100.txt"));
    ASSERT_EQ(expected.size(), 100u);
    EXPECT_EQ(LoadRows(DataPath("logo_240x100.bmp")), expected);
    EXPECT_EQ(LoadRows(DataPath("logo_240x100_v4.bmp")), expected);

    auto pattern = LoadRows(DataPath("logo_pattern_240x3.bmp"));
    ASSERT_EQ(pattern.size(), 3u);
    EXPECT_EQ(pattern[0], Row({0xFF}));
    auto ends = Row({0x01});
    ends[29] = 0x80;
    EXPECT_EQ(pattern[1], ends);
    EXPECT_EQ(pattern[2], Row({}, 0xFF));

    for (const char* name : {"logo_239x100.bmp", "logo_240x241.bmp", "logo_4bit.bmp", "logo_24bit.bmp", "logo_rle.bmp"})
        EXPECT_EQ(LoadError(DataPath(name)), "FileIo: Wrong bitmap file format") << name;
}
