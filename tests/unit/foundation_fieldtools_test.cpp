// Field splitting, checking and formatting, and the small text tools.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "errors/Exceptions.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "tools/FieldTools.h"
#include "tools/TextTools.h"

namespace {

std::vector<std::string> SplitFields(const std::string& line, const std::string& separators = ",") {
    FieldList list;
    int count = list.Split(line, separators);
    std::vector<std::string> fields;
    for (int i = 0; i < count; ++i) fields.push_back(list.At(i));
    return fields;
}

using Fields = std::vector<std::string>;

}  // namespace

TEST(FoundationFieldTools, SplitsDelimitedAndQuotedFields) {
    EXPECT_EQ(SplitFields("1,2,3"), (Fields{"1", "2", "3"}));
    EXPECT_EQ(SplitFields("1,,3"), (Fields{"1", "", "3"}));
    EXPECT_EQ(SplitFields("1,2,"), (Fields{"1", "2", ""}));
    EXPECT_EQ(SplitFields("  \t 7 , x y \r\n"), (Fields{"7", "x y"}));
    EXPECT_EQ(SplitFields("\"a,b\",7"), (Fields{"a,b", "7"}));
    EXPECT_EQ(SplitFields("\"say \"\"hi\"\"\",1"), (Fields{"say \"hi\"", "1"}));
    EXPECT_EQ(SplitFields("\" padded \" ,2"), (Fields{"padded", "2"}));
    EXPECT_EQ(SplitFields("\"unclosed,1"), (Fields{"unclosed,1"}));
    EXPECT_EQ(SplitFields("1;2", ";"), (Fields{"1", "2"}));
    EXPECT_EQ(SplitFields("1,2", ""), (Fields{"1,2"}));
    // A tab separator is trimmed away before it can separate anything.
    EXPECT_TRUE(SplitFields("1\t2", "\t").empty());
}

TEST(FoundationFieldTools, SplitRejectsMalformedAndEmptyLines) {
    FieldList list;
    EXPECT_EQ(list.Split("a,b", ","), 2);
    EXPECT_EQ(list.Split("   \t ", ","), 0);
    EXPECT_EQ(list.Count(), 2) << "an empty line leaves the list as it was";
    EXPECT_EQ(list.Split("\"ab\"c,1", ","), 0);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_THROW(list.At(0), InternalErrorException);

    std::string forty;
    for (int i = 0; i < 40; ++i) forty += std::to_string(i) + ",";
    EXPECT_EQ(list.Split(forty, ","), 32);
    EXPECT_EQ(list.At(31), "31");
}

TEST(FoundationFieldTools, FieldIndexOutsideTheRecordIsAnInternalError) {
    FieldList list;
    ASSERT_EQ(list.Split("1,2,3,4,5", ","), 5);
    EXPECT_EQ(list.At(4), "5");
    try {
        list.At(5);
        FAIL() << "no exception";
    } catch (const InternalErrorException& error) {
        EXPECT_EQ(error.GetMessage(), "Driver internal error");
        EXPECT_EQ(error.GetLogText().rfind("Internal error in file 'src/tools' line ", 0), 0u);
        EXPECT_EQ(error.GetExitCode(), 1);
    }
    EXPECT_THROW(list.At(-1), InternalErrorException);
}

TEST(FoundationFieldTools, NumberRangeCheck) {
    struct Case {
        const char* text;
        int64_t min, max;
        bool expected;
    } cases[] = {
        {"", 0, 99, true},
        {"99", 0, 99, true},
        {"100", 0, 99, false},
        {"-1", -5, 99, false},
        {"1.5", 0, 99, false},
        {"1 2", 0, 99, false},
        {"5", 6, 10, false},
        {"0007", 7, 7, true},
        {"9223372036854775807", 0, INT64_MAX, true},
        // Past the 64-bit range: never in range, even against the largest limit.
        {"9223372036854775808", 0, INT64_MAX, false},
        {"99999999999999999999", 0, INT64_MAX, false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsNumberInRange(c.text, c.min, c.max), c.expected) << c.text;
}

TEST(FoundationFieldTools, FormatsFieldsForTheEcr) {
    EXPECT_EQ(ToEcrField("7", FieldNumber, 2), "07");
    EXPECT_EQ(ToEcrField("1234", FieldNumber, 2), "1234");
    EXPECT_EQ(ToEcrField("", FieldNumber, 3), "000");
    EXPECT_EQ(ToEcrField(" 12abc", FieldNumber, 4), "0012");
    EXPECT_EQ(ToEcrField("Milk", FieldText, 6), "\"Milk  \"");
    EXPECT_EQ(ToEcrField("Cheesecake", FieldText, 6), "\"Cheese\"");
    EXPECT_EQ(FormatEcrField("5", FieldNumber, 2, true), "\"05\"");
    EXPECT_EQ(FormatEcrField("a\"b", FieldText, 3, false), "a\"b");
    EXPECT_EQ(FormatEcrField("-5", FieldNumber, 4, false), "-005");  // the sign counts in the width
    EXPECT_EQ(FormatEcrField("-0", FieldNumber, 2, false), "00");
    // Numbers beyond 64 bits pass exactly instead of being clipped.
    EXPECT_EQ(FormatEcrField("99999999999999999999", FieldNumber, 1, false), "99999999999999999999");
    EXPECT_EQ(FormatEcrField("-0099999999999999999999", FieldNumber, 24, false), "-00099999999999999999999");
    EXPECT_EQ(FormatEcrField("1", FieldNumber, 45, false), std::string(44, '0') + "1");
    EXPECT_THROW(ToEcrField("1", 2, 2), InternalErrorException);
}

TEST(FoundationFieldTools, FormatsEcrFieldsForDataFiles) {
    EXPECT_EQ(FromEcrField("0012", FieldNumber), "12");
    EXPECT_EQ(FromEcrField("-007", FieldNumber), "-7");
    EXPECT_EQ(FromEcrField("", FieldNumber), "0");
    EXPECT_EQ(FromEcrField("+000", FieldNumber), "0");
    EXPECT_EQ(FromEcrField("-9223372036854775808", FieldNumber), "-9223372036854775808");
    EXPECT_EQ(FromEcrField("000123456789012345678901234", FieldNumber), "123456789012345678901234");
    EXPECT_EQ(FromEcrField("  Milk  ", FieldText), "\"Milk\"");
    EXPECT_EQ(FromEcrField("\tMilk", FieldText), "\"\tMilk\"");
    EXPECT_EQ(FromEcrField("12\" Pizza  ", FieldText), "\"12\"\" Pizza\"");
    EXPECT_THROW(FromEcrField("1", -1), InternalErrorException);
    // A text read back splits into the text the register holds.
    FieldList list;
    ASSERT_EQ(list.Split(FromEcrField("a \"\"b\" ", FieldText) + ",1", ","), 2);
    EXPECT_EQ(list.At(0), "a \"\"b\"");

    const std::string fields[] = {"a", "b", "c"};
    EXPECT_EQ(JoinFields(fields, 3, ";"), "a;b;c");
    EXPECT_EQ(JoinFields(fields, 1, ";"), "a");
    EXPECT_EQ(JoinFields(fields, 0, ";"), "");
}

TEST(FoundationTextTools, LeadingDigitConversion) {
    EXPECT_EQ(ParseLeadingInt("201x"), 201);
    EXPECT_EQ(ParseLeadingInt("  -5"), -5);
    EXPECT_EQ(ParseLeadingInt("abc"), 0);
    EXPECT_EQ(ParseLeadingInt("99999999999"), INT32_MAX);
    EXPECT_EQ(ParseLeadingInt("-99999999999"), INT32_MIN);
    EXPECT_EQ(ParseLeadingInt64("-99999999999999999999"), INT64_MIN);
}

TEST(FoundationTextTools, HexAndFormatting) {
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('a'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('g'), 0);
    EXPECT_EQ(HexDigitChar(10), 'A');
    EXPECT_THROW(HexDigitChar(16), InternalErrorException);
    EXPECT_THROW(HexDigitChar(-1), InternalErrorException);

    EXPECT_EQ(FormatString("%s-%03d", "x", 7), "x-007");
    EXPECT_EQ(FormatString("%s", std::string(5000, 'y').c_str()).size(), 1023u);
    EXPECT_EQ(StripPrefix("OK  done", "OK"), "done");
    EXPECT_EQ(StripPrefix("  other", "OK"), "other");
}

TEST(FoundationTextTools, InPlaceTrimsAndReplace) {
    char text[16] = "  ab  ";
    TrimLeftChars(text, " ");
    EXPECT_STREQ(text, "ab  ");
    EXPECT_EQ(std::memcmp(text + 4, "\0\0\0", 3), 0) << "freed bytes are cleared";
    TrimRightChars(text, " ");
    EXPECT_STREQ(text, "ab");

    char blanks[8] = " \t \r\n";
    TrimChars(blanks, " \t\r\n");
    EXPECT_STREQ(blanks, "");

    char replace[16] = "a-b-c";
    ReplaceChars(replace, "-", '_');
    EXPECT_STREQ(replace, "a_b_c");
    ReplaceChars(replace, "_", '\0');
    EXPECT_STREQ(replace, "a");

    EXPECT_THROW(TrimLeftChars(nullptr, " "), InternalErrorException);
    EXPECT_THROW(TrimRightChars(text, nullptr), InternalErrorException);
    EXPECT_THROW(ReplaceChars(nullptr, " ", 'x'), InternalErrorException);
}

TEST(FoundationTextTools, ModuleDirectoryEndsWithSeparator) {
    std::string directory = GetModuleDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_TRUE(std::filesystem::path(directory).is_absolute()) << directory;
    EXPECT_EQ(directory.back(), platform::PathSeparator);
    EXPECT_TRUE(platform::PathExists(directory));
    EXPECT_FALSE(platform::PathExists(directory + "no-such-file-here"));
}

TEST(FoundationFieldTools, WritesDecimalNumbersWithEveryDigit) {
    EXPECT_EQ(FromEcrField("0012.50", FieldNumber), "12.5");
    EXPECT_EQ(FromEcrField("12345.67", FieldNumber), "12345.67");
    EXPECT_EQ(FromEcrField("1234567.89", FieldNumber), "1234567.89");
    EXPECT_EQ(FromEcrField("2.000", FieldNumber), "2");
    EXPECT_EQ(FromEcrField("-0001234567.500", FieldNumber), "-1234567.5");
    EXPECT_EQ(FromEcrField("0.0000001", FieldNumber), "0.0000001");
    EXPECT_EQ(FromEcrField("123456789012345678901234.5", FieldNumber), "123456789012345678901234.5");
    EXPECT_EQ(FromEcrField("1.2345678e3", FieldNumber), "1234.5678");
    EXPECT_EQ(FromEcrField("12345.678e-7", FieldNumber), "0.0012345678");
    // Beyond the plain form's reach the "%g" form stays.
    EXPECT_EQ(FromEcrField("1.5e200", FieldNumber), "1.5e+200");

    // Whatever "%g" wrote exactly and without an exponent keeps its form.
    for (const char* text : {"12.50", "-0.50",  ".5",      "-.75",    "0.0",   "-0.0",    "000.",    ".",
                             "+1.25", " 3.25",  "100.000", "12.5abc", "1.2.3", "abc.5",   "1.5e3",   "1.5E-3",
                             "1.5e",  "2.5e+x", "0x1.8",   "inf.0",   "-nan.", "99999.9", "0.000123"}) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%g", std::strtod(text, nullptr));
        EXPECT_EQ(FromEcrField(text, FieldNumber), expected) << text;
    }
}
