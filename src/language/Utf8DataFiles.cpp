#include "language/Utf8DataFiles.h"

#include <cstring>
#include <string_view>

#include "platform/TextConversion.h"
#include "tools/TextTools.h"

namespace {

int ecrCodePage = 0;

}  // namespace

int Utf8DataFilesCodePage() { return ecrCodePage; }
void SetUtf8DataFiles(int codePage) { ecrCodePage = codePage; }

bool IsUsableEcrCodePage(int codePage) {
    if (!platform::IsSingleByteCodePage(codePage)) return false;
    std::string ascii;
    for (int value = 1; value < 0x80; ++value) ascii += static_cast<char>(value);
    std::string decoded;
    platform::ConversionResult result = platform::CodePageToUtf8(codePage, ascii, decoded);
    return result.fault == platform::ConversionFault::None && decoded == ascii;
}

bool DataLineToEcr(char* text, size_t length, size_t capacity, std::string& why) {
    return DataLineToEcr(ecrCodePage, text, length, capacity, why);
}

bool DataLineToEcr(int codePage, char* text, size_t length, size_t capacity, std::string& why) {
    if (codePage == 0) return true;
    std::string converted;
    platform::ConversionResult result = platform::Utf8ToCodePage(codePage, std::string_view(text, length), converted);
    const unsigned byte = static_cast<unsigned>(result.position + 1);
    switch (result.fault) {
        case platform::ConversionFault::InvalidInput:
            why = FormatString("byte %u is not valid UTF-8", byte);
            return false;
        case platform::ConversionFault::Unmappable:
            why = FormatString("the character at byte %u is not in code page %d", byte, codePage);
            return false;
        case platform::ConversionFault::None: break;
    }
    if (converted.size() >= capacity) {
        why = "the converted line is too long";
        return false;
    }
    memcpy(text, converted.data(), converted.size());
    text[converted.size()] = '\0';
    return true;
}

std::string EcrTextToDataFile(const char* text, std::string& why) {
    if (ecrCodePage == 0) return text;
    std::string converted;
    platform::ConversionResult result = platform::CodePageToUtf8(ecrCodePage, text, converted);
    if (result.fault == platform::ConversionFault::None) return converted;
    // The conversion names the first undefined byte; each byte from there is
    // tried on its own, so that the log names every one.
    std::string bytes;
    size_t count = 0;
    for (size_t at = result.position; text[at] != '\0'; ++at) {
        std::string ignored;
        if (platform::CodePageToUtf8(ecrCodePage, std::string_view(text + at, 1), ignored).fault ==
            platform::ConversionFault::None)
            continue;
        bytes += FormatString("%sbyte %u (0x%02X)", count == 0 ? "" : ", ", static_cast<unsigned>(at + 1),
                              static_cast<unsigned>(static_cast<unsigned char>(text[at])));
        ++count;
    }
    why = count == 1 ? bytes + FormatString(" is no character of code page %d, written as U+FFFD", ecrCodePage)
                     : bytes + FormatString(" are no characters of code page %d, each written as U+FFFD", ecrCodePage);
    return converted;
}
