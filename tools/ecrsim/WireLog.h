#pragma once
// The --log file: every byte sequence as it happens, flushed at once.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace ecrsim {

class WireLog {
public:
    WireLog() = default;
    ~WireLog();
    WireLog(const WireLog&) = delete;
    WireLog& operator=(const WireLog&) = delete;

    bool Open(const std::string& path);  // appends; false when it cannot be opened
    // "IN  xx xx ..." for what arrived from the driver.
    void In(const uint8_t* data, size_t count);
    // "OUT xx xx ..." for what the simulator sent.
    void Out(const uint8_t* data, size_t count);
    // "NOTE text": what the register noticed (bad records, checksum mismatches).
    void Note(const std::string& text);

private:
    void Line(const char* prefix, const uint8_t* data, size_t count);
    std::FILE* file = nullptr;
};

}  // namespace ecrsim
