// Logo bitmap send: the command description and the row-to-frame conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "errors/Exceptions.h"
#include "fileIo/BitmapInputFile.h"
#include "io_Logo/LogoOperation.h"

namespace {

OperationDescriptor Described() {
    OperationDescriptor descriptor{};
    descriptor.commandNumber = 670;
    LogoSendHandler(PhaseDescribe, &descriptor);
    return descriptor;
}

// Converts a 30-byte row and returns the frame data.
std::string Convert(const uint8_t (&row)[30]) {
    OperationDescriptor descriptor = Described();
    memcpy(descriptor.text, row, sizeof row);
    int length = LogoSendHandler(PhaseConvert, &descriptor);
    return std::string(descriptor.frame, static_cast<size_t>(length));
}

}  // namespace

TEST(LogoOperation, DescribesTheLogoSendCommand) {
    OperationDescriptor descriptor{};
    EXPECT_EQ(LogoSendHandler(PhaseDescribe, &descriptor), 0);
    EXPECT_EQ(descriptor.commandNumber, 670);
    EXPECT_STREQ(descriptor.name, "Logo bitmap send");
    EXPECT_EQ(descriptor.mode & ModeKindMask, ModeSend);
    EXPECT_EQ(descriptor.fileKind, FileKindBitmap);
    EXPECT_EQ(descriptor.ecrCommand, 0x7B);
    EXPECT_EQ(descriptor.clearCommand, 0);
    EXPECT_EQ(descriptor.maxRecords, 240u);
    EXPECT_EQ(descriptor.bitmapWidth, 240u);
    EXPECT_EQ(descriptor.replyLength, 60);
    EXPECT_EQ(descriptor.minLevel, 0);
    EXPECT_EQ(descriptor.operationTime, 0);

    EXPECT_EQ(LogoSendHandler(PhaseCheck, &descriptor), 1);
    for (int phase : {-1, 3, 100}) EXPECT_THROW(LogoSendHandler(phase, &descriptor), InternalErrorException);
}

TEST(LogoOperation, EachNibbleBecomesOneCharacterHighNibbleFirst) {
    uint8_t row[30] = {0xA5, 0x01, 0x10, 0xFE, 0x9F, 0x80};
    std::string frame = Convert(row);
    ASSERT_EQ(frame.size(), 60u);
    EXPECT_EQ(frame.substr(0, 12), ":50110?>9?80");  // no letters: 10..15 are ":" to "?"
    EXPECT_EQ(frame.substr(12), std::string(48, '0'));

    uint8_t white[30] = {};
    uint8_t black[30];
    memset(black, 0xFF, sizeof black);
    EXPECT_EQ(Convert(white), std::string(60, '0'));
    EXPECT_EQ(Convert(black), std::string(60, '?'));
}

TEST(LogoOperation, FramesOfAPictureShowItsDots) {
    // Frames built from an image tool's picture, read back as dots, give the
    // tool's own rendering of the same picture.
    const std::string dir = std::string(TEST_DATA_DIR) + "/logo/";
    OperationDescriptor descriptor = Described();
    BitmapInputFile file;
    file.Open((dir + "logo_240x100.bmp").c_str(), LogoSendHandler, &descriptor);

    std::ifstream expected(dir + "logo_240x100.txt");
    std::string line;
    uint32_t index = 0;
    while (file.GetRecord(index, descriptor.text, RecordTextSize) != 0) {
        ASSERT_EQ(LogoSendHandler(PhaseConvert, &descriptor), 60);
        std::string dots;
        for (int i = 0; i < 30; ++i) {
            unsigned byte = ((descriptor.frame[2 * i] & 0x0F) << 4) | (descriptor.frame[2 * i + 1] & 0x0F);
            for (int bit = 0; bit < 8; ++bit) dots += (byte >> bit) & 1 ? '#' : '.';
        }
        ASSERT_TRUE(std::getline(expected, line));
        EXPECT_EQ(dots, line) << "row " << index;
        ++index;
    }
    file.Close();
    EXPECT_EQ(index, 100u);
}
