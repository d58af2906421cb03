#include <cstdio>

#include "trace/Writers.h"

namespace trace {

namespace {

// Length of the valid UTF-8 sequence at `at`, 0 when it is not one.
size_t Utf8Length(const std::string& text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    return length;
}

// A JSON string; bytes that are not UTF-8 (log text in a register's code
// page) become U+FFFD so the output stays valid JSON.
std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        auto ch = static_cast<unsigned char>(text[at]);
        size_t length = Utf8Length(text, at);
        if (length == 0) {
            out += "\\ufffd";
            ++at;
            continue;
        }
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch < 0x20 || ch == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
            out += escaped;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out + "\"";
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    char digits[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
        out += digits;
    }
    return out;
}

}  // namespace

void WriteJson(std::ostream& out, size_t runNumber, const std::vector<LinkEvent>& events) {
    for (const LinkEvent& event : events) {
        char number[64];
        std::snprintf(number, sizeof number, "%.1f", event.offsetMs);
        out << "{\"run\":" << runNumber << ",\"line\":" << event.line << ",\"offset_ms\":" << number << ",\"kind\":\""
            << KindName(event.kind) << "\"";
        bool frame = event.kind == EventKind::Command || event.kind == EventKind::Data || event.kind == EventKind::End;
        if (event.onLine || frame || event.kind == EventKind::Lost || event.kind == EventKind::Gap)
            out << ",\"direction\":\"" << (event.direction == Direction::Out ? "out" : "in") << "\"";
        if (event.onLine) out << ",\"bytes\":\"" << HexBytes(event.bytes) << "\"";
        if (event.durationMs) {
            std::snprintf(number, sizeof number, "%.1f", *event.durationMs);
            out << ",\"duration_ms\":" << number;
        }
        if (event.kind == EventKind::Command) out << ",\"code\":" << event.code << ",\"name\":" << Quote(event.name);
        if (!event.text.empty()) out << ",\"text\":" << Quote(event.text);
        if (frame)
            out << ",\"checksum\":" << Quote(event.checksumDigits) << ",\"expected\":" << Quote(event.expectedDigits)
                << ",\"checksum_ok\":" << (event.checksumOk ? "true" : "false");
        if (event.retry > 0) out << ",\"retry\":" << event.retry;
        if (event.repeated) out << ",\"repeated\":true";
        out << "}\n";
    }
}

}  // namespace trace
