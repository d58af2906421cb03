#pragma once
// Text conversion between UTF-8 and a single-byte code page, named by its
// Windows code page number, through the system's own converter.
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

enum class ConversionFault {
    None,
    InvalidInput,  // bytes that are no character of the source encoding
    Unmappable,    // a character that the target code page lacks
};

struct ConversionResult {
    ConversionFault fault = ConversionFault::None;
    size_t position = 0;  // byte offset in the input of the first fault
};

// True when the system converts `codePage` and each of its characters is one byte.
bool IsSingleByteCodePage(int codePage);

// Stops at the first fault; `out` then holds what was converted before it.
ConversionResult Utf8ToCodePage(int codePage, std::string_view text, std::string& out);

// Converts every byte: a byte that the code page leaves undefined becomes
// U+FFFD, and the result reports the first one.
ConversionResult CodePageToUtf8(int codePage, std::string_view text, std::string& out);

}  // namespace platform
