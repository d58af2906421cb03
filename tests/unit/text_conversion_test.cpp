// Conversion between UTF-8 and a single-byte code page through the system's converter.
#include <gtest/gtest.h>

#include <string>

#include "language/Utf8DataFiles.h"
#include "platform/TextConversion.h"

using platform::ConversionFault;

TEST(TextConversion, FaultsAreFoundByPosition) {
    struct Case {
        std::string text;
        ConversionFault fault;
        size_t position;
    } cases[] = {
        {"ab\x80"
         "cd",
         ConversionFault::InvalidInput, 2},                  // a lone continuation byte
        {"Ā\xC4", ConversionFault::InvalidInput, 2},         // cut off at the end
        {"x\xC0\xAF", ConversionFault::InvalidInput, 1},     // overlong '/'
        {"\xED\xA0\x80", ConversionFault::InvalidInput, 0},  // a surrogate
        {"Milk Ж", ConversionFault::Unmappable, 5},          // Cyrillic: not in 1257
        {"€ ā", ConversionFault::None, 0},
    };
    std::string out;
    for (const Case& c : cases) {
        platform::ConversionResult result = platform::Utf8ToCodePage(1257, c.text, out);
        EXPECT_EQ(result.fault, c.fault) << c.text;
        EXPECT_EQ(result.position, c.position) << c.text;
    }
    EXPECT_EQ(out, "\x80 \xE2");
    // A byte the code page leaves undefined is shown as U+FFFD; the rest is kept.
    platform::ConversionResult result = platform::CodePageToUtf8(1257, "a\x81\xE2", out);
    EXPECT_EQ(result.fault, ConversionFault::InvalidInput);
    EXPECT_EQ(result.position, 1u);
    EXPECT_EQ(out,
              "a\xEF\xBF\xBD"
              "ā");
}

TEST(TextConversion, OnlySingleByteAsciiCodePagesServeTheEcr) {
    for (int codePage : {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 437, 866})
        EXPECT_TRUE(IsUsableEcrCodePage(codePage)) << codePage;
    // Multi-byte, UTF-16, UTF-8, EBCDIC, and numbers that name no code page.
    for (int codePage : {932, 936, 949, 950, 1200, 65001, 500, 0, -1, 1, 70000})
        EXPECT_FALSE(IsUsableEcrCodePage(codePage)) << codePage;
}

TEST(TextConversion, EveryUndefinedByteOfARecordIsNamed) {
    SetUtf8DataFiles(1257);
    std::string why;
    EXPECT_EQ(EcrTextToDataFile("a\x81"
                                "b\xE2\x98",
                                why),
              "a\xEF\xBF\xBD"
              "bā\xEF\xBF\xBD");
    EXPECT_EQ(why, "byte 2 (0x81), byte 5 (0x98) are no characters of code page 1257, each written as U+FFFD");
    why.clear();
    EcrTextToDataFile("\x81", why);
    EXPECT_EQ(why, "byte 1 (0x81) is no character of code page 1257, written as U+FFFD");
    SetUtf8DataFiles(0);
}
