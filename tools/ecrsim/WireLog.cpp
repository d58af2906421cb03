#include "WireLog.h"

namespace ecrsim {

WireLog::~WireLog() {
    if (file != nullptr) std::fclose(file);
}

bool WireLog::Open(const std::string& path) {
    file = std::fopen(path.c_str(), "a");
    return file != nullptr;
}

void WireLog::Line(const char* prefix, const uint8_t* data, size_t count) {
    if (file == nullptr || count == 0) return;
    std::string text = prefix;
    char hex[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", data[i]);
        if (i > 0) text += ' ';
        text += hex;
    }
    text += '\n';
    std::fputs(text.c_str(), file);
    std::fflush(file);
}

void WireLog::In(const uint8_t* data, size_t count) { Line("IN  ", data, count); }

void WireLog::Out(const uint8_t* data, size_t count) { Line("OUT ", data, count); }

void WireLog::Note(const std::string& text) {
    if (file == nullptr) return;
    std::fprintf(file, "NOTE %s\n", text.c_str());
    std::fflush(file);
}

}  // namespace ecrsim
