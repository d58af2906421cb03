// Conversion of data-file text between UTF-8 and the ECR's single-byte code page.
#include <gtest/gtest.h>

#include <string>

#include "language/Utf8DataFiles.h"
#include "platform/TextConversion.h"

using platform::ConversionFault;

namespace {

// The 22 Latvian letters with diacritics in UTF-8 and, in the same order,
// their Windows-1257 bytes as the register holds them.
const std::string LatvianUtf8 = "ĀČĒĢĪĶĻŅŠŪŽāčēģīķļņšūž";
const std::string LatvianCp1257 =
    "\xC2\xC8\xC7\xCC\xCE\xCD\xCF\xD2\xD0\xDB\xDE\xE2\xE8\xE7\xEC\xEE\xED\xEF\xF2\xF0\xFB\xFE";

struct Utf8Files {
    explicit Utf8Files(int codePage) { SetUtf8DataFiles(codePage); }
    ~Utf8Files() { SetUtf8DataFiles(0); }
};

}  // namespace

TEST(TextConversion, LatvianLettersBothWays) {
    std::string out;
    EXPECT_EQ(platform::Utf8ToCodePage(1257, "1,\"" + LatvianUtf8 + "\"\r\n", out).fault, ConversionFault::None);
    EXPECT_EQ(out, "1,\"" + LatvianCp1257 + "\"\r\n");
    EXPECT_EQ(platform::CodePageToUtf8(1257, LatvianCp1257, out).fault, ConversionFault::None);
    EXPECT_EQ(out, LatvianUtf8);
}

TEST(TextConversion, FaultsAreFoundByPosition) {
    struct Case {
        std::string text;
        ConversionFault fault;
        size_t position;
    } cases[] = {
        {"ab\x80" "cd", ConversionFault::InvalidInput, 2},    // a lone continuation byte
        {"Ā\xC4", ConversionFault::InvalidInput, 2},          // cut off at the end
        {"x\xC0\xAF", ConversionFault::InvalidInput, 1},      // overlong '/'
        {"\xED\xA0\x80", ConversionFault::InvalidInput, 0},   // a surrogate
        {"Āx\xC4" "x", ConversionFault::InvalidInput, 3},     // a lead byte without its continuation
        {"Milk Ж", ConversionFault::Unmappable, 5},           // Cyrillic: not in 1257
        {"€ ok", ConversionFault::None, 0},                   // the euro sign is
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string out;
        platform::ConversionResult result = platform::Utf8ToCodePage(1257, c.text, out);
        EXPECT_EQ(result.fault, c.fault);
        EXPECT_EQ(result.position, c.position);
    }
    // A byte the code page leaves undefined is shown as U+FFFD; the rest is kept.
    std::string out;
    platform::ConversionResult result = platform::CodePageToUtf8(1257, "a\x81\xE2", out);
    EXPECT_EQ(result.fault, ConversionFault::InvalidInput);
    EXPECT_EQ(result.position, 1u);
    EXPECT_EQ(out, "a\xEF\xBF\xBD" "ā");
}

TEST(TextConversion, OnlySingleByteAsciiCodePagesServeTheEcr) {
    for (int codePage : {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 437, 866})
        EXPECT_TRUE(IsUsableEcrCodePage(codePage)) << codePage;
    for (int codePage : {932, 936, 949, 950, 65001, 1200, 500, 0, -1, 1, 70000})
        EXPECT_FALSE(IsUsableEcrCodePage(codePage)) << codePage;
}

TEST(TextConversion, DataLinesConvertInPlaceOnlyForUtf8Files) {
    std::string why;
    char line[64] = "7,\"\xC4\x80\"\r\n";
    ASSERT_TRUE(DataLineToEcr(line, 8, sizeof line, why));  // ECR bytes: left alone
    EXPECT_STREQ(line, "7,\"\xC4\x80\"\r\n");
    EXPECT_EQ(EcrTextToDataFile("\xE2", why), "\xE2");

    Utf8Files files(1257);
    ASSERT_TRUE(DataLineToEcr(line, 8, sizeof line, why));
    EXPECT_STREQ(line, "7,\"\xC2\"\r\n");
    char tooSmall[] = "ĀĀ";  // four bytes in, two out: no room for the NUL
    EXPECT_FALSE(DataLineToEcr(tooSmall, 4, 2, why));
    char bad[] = "1,\"\xFF\"";
    EXPECT_FALSE(DataLineToEcr(bad, 5, sizeof bad, why));
    EXPECT_EQ(why, "byte 4 is not valid UTF-8");
    char cyrillic[] = "1,\"Ж\"";
    EXPECT_FALSE(DataLineToEcr(cyrillic, 6, sizeof cyrillic, why));
    EXPECT_EQ(why, "the character at byte 4 is not in code page 1257");

    why.clear();
    EXPECT_EQ(EcrTextToDataFile(LatvianCp1257.c_str(), why), LatvianUtf8);
    EXPECT_EQ(why, "");
    EXPECT_EQ(EcrTextToDataFile("x\x81", why), "x\xEF\xBF\xBD");
    EXPECT_EQ(why, "byte 2 (0x81) is no character of code page 1257, written as U+FFFD");
}
