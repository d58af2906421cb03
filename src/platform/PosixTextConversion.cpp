#include "platform/TextConversion.h"

#include <iconv.h>

#include <cerrno>
#include <map>
#include <memory>
#include <utility>

namespace platform {

namespace {

constexpr std::string_view ReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// One iconv conversion descriptor, reset before each text.
class Converter {
public:
    Converter(const std::string& to, const std::string& from) : cd(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (Usable()) iconv_close(cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Usable() const { return cd != reinterpret_cast<iconv_t>(-1); }

    // Appends the conversion of `in` to `out`; 0, or the errno of a fault,
    // with `in` then starting at the bytes that could not be converted.
    int Convert(std::string_view& in, std::string& out) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* next = const_cast<char*>(in.data());
        size_t left = in.size();
        int fault = 0;
        bool flushing = false;
        for (;;) {
            char chunk[256];
            char* put = chunk;
            size_t room = sizeof chunk;
            // The call without input hands out a character that the converter
            // still holds back (code pages that combine accents with letters).
            size_t done = flushing ? iconv(cd, nullptr, nullptr, &put, &room) : iconv(cd, &next, &left, &put, &room);
            const int error = done == static_cast<size_t>(-1) ? errno : 0;
            out.append(chunk, static_cast<size_t>(put - chunk));
            if (error == E2BIG) continue;
            if (flushing) break;
            if (error != 0) fault = error;
            flushing = true;
        }
        in = std::string_view(next, left);
        return fault;
    }

private:
    iconv_t cd;
};

std::string IconvName(int codePage) { return "CP" + std::to_string(codePage); }

// Descriptors are opened once per code page and direction and kept for the run.
Converter& CachedConverter(const std::string& to, const std::string& from) {
    static std::map<std::pair<std::string, std::string>, std::unique_ptr<Converter>> cache;
    std::unique_ptr<Converter>& slot = cache[{to, from}];
    if (!slot) slot = std::make_unique<Converter>(to, from);
    return *slot;
}

size_t Offset(std::string_view text, std::string_view rest) { return text.size() - rest.size(); }

}  // namespace

bool IsSingleByteCodePage(int codePage) {
    if (codePage <= 0) return false;
    Converter& decode = CachedConverter("UTF-8", IconvName(codePage));
    if (!decode.Usable() || !CachedConverter(IconvName(codePage), "UTF-8").Usable()) return false;
    // A byte that only starts a character (an incomplete sequence on its own)
    // belongs to a multi-byte code page. Undefined bytes are allowed.
    for (int value = 0; value < 256; ++value) {
        const char byte = static_cast<char>(value);
        std::string_view in(&byte, 1);
        std::string out;
        if (decode.Convert(in, out) == EINVAL) return false;
    }
    return true;
}

ConversionResult Utf8ToCodePage(int codePage, std::string_view text, std::string& out) {
    out.clear();
    Converter& encode = CachedConverter(IconvName(codePage), "UTF-8");
    if (!encode.Usable()) return {ConversionFault::Unmappable, 0};
    std::string_view rest = text;
    if (encode.Convert(rest, out) == 0) return {};
    // iconv reports bad UTF-8 and a missing character alike: the rest is
    // decoded on its own to tell them apart.
    const size_t at = Offset(text, rest);
    std::string_view probe = rest;
    std::string scratch;
    CachedConverter("UTF-32LE", "UTF-8").Convert(probe, scratch);
    const bool invalid = probe.data() == rest.data();
    return {invalid ? ConversionFault::InvalidInput : ConversionFault::Unmappable, at};
}

ConversionResult CodePageToUtf8(int codePage, std::string_view text, std::string& out) {
    out.clear();
    ConversionResult result;
    Converter& decode = CachedConverter("UTF-8", IconvName(codePage));
    if (!decode.Usable()) return {ConversionFault::InvalidInput, 0};
    std::string_view rest = text;
    while (decode.Convert(rest, out) != 0) {
        if (result.fault == ConversionFault::None) result = {ConversionFault::InvalidInput, Offset(text, rest)};
        out.append(ReplacementCharacter);
        rest.remove_prefix(1);
    }
    return result;
}

}  // namespace platform
