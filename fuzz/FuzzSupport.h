#pragma once
// Helpers shared by the fuzz targets: taking typed values off the front of
// the input, a scratch file per process, and a check that stops the run.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Reads the fuzz input from the front; past its end every value is 0 or empty.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data(data), size(size) {}

    uint8_t Byte() { return at < size ? data[at++] : 0; }
    bool Bool() { return (Byte() & 1) != 0; }
    // A text of up to `longest` bytes, its length taken from the input first.
    std::string Text(size_t longest) {
        size_t length = Byte() % (longest + 1);
        return Bytes(length);
    }
    std::string Bytes(size_t length) {
        if (length > size - at) length = size - at;
        std::string text(reinterpret_cast<const char*>(data + at), length);
        at += length;
        return text;
    }
    std::string Rest() { return Bytes(size - at); }
    bool Empty() const { return at >= size; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

// A scratch path in /tmp for this process and tag.
inline std::string ScratchPath(const char* tag) {
    return std::string("/tmp/kvt-fuzz-") + tag + "-" + std::to_string(getpid());
}

// A scratch file removed again when the process ends.
class ScratchFile {
public:
    explicit ScratchFile(const char* tag) : path(ScratchPath(tag)) {}
    ~ScratchFile() { std::remove(path.c_str()); }
    const std::string path;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (!content.empty() && std::fwrite(content.data(), 1, content.size(), file) != content.size()) std::abort();
    std::fclose(file);
}

// A broken promise of the code under test: report it and stop, so the fuzzer
// keeps the input.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

}  // namespace fuzz
