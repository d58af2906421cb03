#include "platform/TextConversion.h"

#include <windows.h>

namespace platform {

namespace {

constexpr std::string_view ReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Bytes of the UTF-8 character that starts with `lead`, as the lead byte
// announces it; whether they form a character is left to the system.
size_t AnnouncedLength(unsigned char lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

// One character to UTF-16; 0 when the bytes are not a character.
int ToWide(UINT codePage, const char* bytes, size_t length, wchar_t (&wide)[2]) {
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(length), wide, 2);
}

// Windows decodes a byte that a code page leaves undefined to the C1 control
// of the same value, where iconv refuses it; no printable character of a
// Windows code page is a C1 control, so both systems treat these alike.
bool IsC1Control(const wchar_t (&wide)[2], int units) { return units == 1 && wide[0] >= 0x80 && wide[0] <= 0x9F; }

}  // namespace

bool IsSingleByteCodePage(int codePage) {
    // 0 to 3 are aliases of the system's current code pages, not code page numbers.
    if (codePage <= 3 || codePage > 65535) return false;
    CPINFO info;
    return GetCPInfo(static_cast<UINT>(codePage), &info) != 0 && info.MaxCharSize == 1;
}

ConversionResult Utf8ToCodePage(int codePage, std::string_view text, std::string& out) {
    out.clear();
    // Character by character, so that a fault is known by its position.
    for (size_t at = 0; at < text.size();) {
        const size_t announced = AnnouncedLength(static_cast<unsigned char>(text[at]));
        const size_t length = announced < text.size() - at ? announced : text.size() - at;
        wchar_t wide[2];
        const int units = ToWide(CP_UTF8, text.data() + at, length, wide);
        if (units == 0) return {ConversionFault::InvalidInput, at};
        char bytes[4];
        BOOL usedDefault = FALSE;
        const int count = WideCharToMultiByte(static_cast<UINT>(codePage), WC_NO_BEST_FIT_CHARS, wide, units, bytes,
                                              sizeof bytes, nullptr, &usedDefault);
        if (count == 0 || usedDefault || IsC1Control(wide, units)) return {ConversionFault::Unmappable, at};
        out.append(bytes, static_cast<size_t>(count));
        at += length;
    }
    return {};
}

ConversionResult CodePageToUtf8(int codePage, std::string_view text, std::string& out) {
    out.clear();
    ConversionResult result;
    for (size_t at = 0; at < text.size(); ++at) {
        wchar_t wide[2];
        const int units = ToWide(static_cast<UINT>(codePage), text.data() + at, 1, wide);
        char bytes[8];
        const bool defined = units != 0 && !IsC1Control(wide, units);
        const int count =
            defined ? WideCharToMultiByte(CP_UTF8, 0, wide, units, bytes, sizeof bytes, nullptr, nullptr) : 0;
        if (count == 0) {
            if (result.fault == ConversionFault::None) result = {ConversionFault::InvalidInput, at};
            out.append(ReplacementCharacter);
        } else {
            out.append(bytes, static_cast<size_t>(count));
        }
    }
    return result;
}

}  // namespace platform
