// Field splitter, field checks and converters, hexadecimal and trim tools.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "errors/Exceptions.h"
#include "tools/FieldTools.h"
#include "tools/TextTools.h"

namespace {

bool IsBlank(char ch) { return std::strchr(BlankChars, ch) != nullptr && ch != '\0'; }

// An optional minus sign and at least one digit.
bool IsSignedInteger(const std::string& text) {
    size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > digits && IsDigits(text.substr(digits));
}

void CheckSplit(const std::string& line, const std::string& separators) {
    FieldList list;
    int count = list.Split(line, separators);
    FUZZ_CHECK(count >= 0 && count <= FieldListCapacity);
    FUZZ_CHECK(count == list.Count() || count == 0);
    for (int i = 0; i < count; ++i) {
        const std::string& field = list.At(i);
        FUZZ_CHECK(field.empty() || (!IsBlank(field.front()) && !IsBlank(field.back())));
    }
    bool refused = false;
    try {
        list.At(list.Count());
    } catch (const InternalErrorException&) {
        refused = true;
    }
    FUZZ_CHECK(refused);
    // Joining and splitting again keeps plain fields (no quotes or separators),
    // when the joining separator is neither a blank nor a quote.
    if (count > 1 && !separators.empty() && !IsBlank(separators[0]) && separators[0] != '"') {
        std::vector<std::string> fields;
        bool plain = true;
        for (int i = 0; i < count; ++i) {
            fields.push_back(list.At(i));
            plain = plain && fields.back().find_first_of(separators + "\"") == std::string::npos;
        }
        if (plain) {
            FieldList again;
            std::string joined = JoinFields(fields.data(), count, separators.substr(0, 1));
            FUZZ_CHECK(again.Split(joined, separators) == count);
            for (int i = 0; i < count; ++i) FUZZ_CHECK(again.At(i) == fields[static_cast<size_t>(i)]);
        }
    }
}

void CheckNumbers(const std::string& text, int64_t min, int64_t max) {
    bool inRange = IsNumberInRange(text, min, max);
    if (inRange) FUZZ_CHECK(IsDigits(text));
    // Up to 18 digits the value always fits: it must agree with the plain conversion.
    if (IsDigits(text) && text.size() <= 18) {
        int64_t value = ParseLeadingInt64(text);
        FUZZ_CHECK(inRange == (min <= value && value <= max));
    }
    int converted = ParseLeadingInt(text);
    (void)converted;
}

void CheckConverters(const std::string& text, int width, bool quoted) {
    const size_t quotes = quoted ? 2 : 0;
    const size_t expectedWidth = width < 0 ? 0 : static_cast<size_t>(width);
    std::string number = FormatEcrField(text, FieldNumber, width, quoted);
    FUZZ_CHECK(number.size() >= expectedWidth + quotes);
    std::string textField = FormatEcrField(text, FieldText, width, quoted);
    FUZZ_CHECK(textField.size() == expectedWidth + quotes);
    FUZZ_CHECK(FormatEcrField(text, 7, width, quoted).size() == quotes);

    FUZZ_CHECK(ToEcrField(text, FieldNumber, width) == FormatEcrField(text, FieldNumber, width, false));
    FUZZ_CHECK(ToEcrField(text, FieldText, width) == FormatEcrField(text, FieldText, width, true));

    std::string fromNumber = FromEcrField(text, FieldNumber);
    FUZZ_CHECK(!fromNumber.empty());
    if (text.find('.') == std::string::npos) FUZZ_CHECK(IsSignedInteger(fromNumber));
    FUZZ_CHECK(IsSignedInteger(FormatEcrField(text, FieldNumber, width, false)));
    // A plain decimal keeps no zero or point at its end that carries no digit.
    if (fromNumber.find('.') != std::string::npos && fromNumber.find_first_of("eEnN") == std::string::npos)
        FUZZ_CHECK(fromNumber.back() != '0' && fromNumber.back() != '.');
    std::string fromText = FromEcrField(text, FieldText);
    FUZZ_CHECK(fromText.size() >= 2 && fromText.front() == '"' && fromText.back() == '"');
    // A text written to a data file splits back into the same text.
    std::string rest = fromText;
    FUZZ_CHECK(NextField(rest, ",") == TrimString(text, BlankChars) && rest.empty());

    int refused = 0;
    for (int kind : {-1, 2}) {
        try {
            ToEcrField(text, kind, width);
        } catch (const InternalErrorException&) {
            ++refused;
        }
        try {
            FromEcrField(text, kind);
        } catch (const InternalErrorException&) {
            ++refused;
        }
    }
    FUZZ_CHECK(refused == 4);
}

void CheckHexAndTrims(const std::string& text, const std::string& set) {
    for (char ch : text) {
        int value = HexDigitValue(ch);
        FUZZ_CHECK(value >= 0 && value <= 15);
        if ((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F')) FUZZ_CHECK(HexDigitChar(value) == ch);
    }
    // The C-string tools see the text up to its first NUL; the set likewise.
    std::string visible = text.substr(0, text.find('\0'));
    std::string cset = set.substr(0, set.find('\0'));
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    TrimChars(buffer.data(), cset.c_str());
    FUZZ_CHECK(std::string(buffer.data()) == TrimString(visible, cset.c_str()));

    std::vector<char> replaced(text.begin(), text.end());
    replaced.push_back('\0');
    ReplaceChars(replaced.data(), cset.c_str(), '_');
    FUZZ_CHECK(std::strlen(replaced.data()) == visible.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    const uint8_t choice = input.Byte();
    std::string separators = input.Text(3);
    const int width = static_cast<int>(input.Byte()) - 16;
    const bool quoted = input.Bool();
    const int64_t min = static_cast<int8_t>(input.Byte()) * 1000003LL;
    const int64_t max = min + static_cast<int64_t>(input.Byte()) * 7919LL * (choice & 0x10 ? 1000000000LL : 1);
    const std::string text = input.Rest();

    if (choice & 1) separators = ",";
    CheckSplit(text, separators);
    CheckNumbers(text, min, max);
    CheckConverters(text, width, quoted);
    CheckHexAndTrims(text, separators);
    return 0;
}
