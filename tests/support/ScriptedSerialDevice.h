#pragma once
// An in-process serial device for unit tests. The test keeps the script (a
// shared state object) while the port owns the device: it queues the bytes
// the far end answers to each write, sets modem lines and failures, and
// reads back what was written and configured.
//
// Input arrives in chunks. A read takes bytes from the current chunk only and
// stops at its end, as a real read stops when the gap after the last byte
// exceeds the interval time-out; a read with no chunk waiting returns 0 bytes
// at once (a time-out). The next read continues with the next chunk.
#include <cerrno>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "serial/SerialDevice.h"

using Chunk = std::vector<uint8_t>;

struct SerialScript {
    // Far end: what it answers to each write, in order (one entry per write,
    // each a list of chunks; an empty list answers nothing). Writes beyond
    // the queue get no answer.
    std::deque<std::vector<Chunk>> replies;
    std::deque<Chunk> input;  // chunks waiting to be read now

    // Line state.
    uint32_t modemStatus = 0;
    bool hasModemLines = true;  // false: modem line calls fail with ENOTTY, like a pty
    bool dtrOn = false;

    // Failures: the named call fails with this system error code (0: succeeds).
    int openError = 0;
    int applyError = 0;
    int readError = 0;
    int writeError = 0;
    size_t writeLimit = static_cast<size_t>(-1);  // a write passes at most this many bytes
    int readDelayMs = 0;                          // real sleep at the start of each read

    // What the device saw.
    std::string openedPath;
    bool open = false;
    int openCount = 0;
    int closeCount = 0;
    int flushCount = 0;
    std::vector<Chunk> writes;
    std::vector<serial::SerialSettings> applied;
    std::vector<serial::SerialTimeouts> timeoutsSet;
    serial::SerialTimeouts timeouts;

    // Convenience: queue the answer to the next write.
    void Reply(const Chunk& bytes) { replies.push_back({bytes}); }
    void Reply(const std::vector<Chunk>& chunks) { replies.push_back(chunks); }
    void Silence() { replies.push_back({}); }
    // Bytes that arrive unasked before the next write.
    void Stray(const Chunk& bytes) { input.push_back(bytes); }
};

class ScriptedSerialDevice : public serial::SerialDevice {
public:
    explicit ScriptedSerialDevice(std::shared_ptr<SerialScript> script) : script(std::move(script)) {}

    bool Open(const std::string& path) override;
    bool Apply(const serial::SerialSettings& settings) override;
    bool SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) override;
    bool SetTimeouts(const serial::SerialTimeouts& timeouts) override;
    bool GetTimeouts(serial::SerialTimeouts& timeouts) override;
    bool Read(uint8_t* buffer, size_t size, size_t& received) override;
    bool Write(const uint8_t* buffer, size_t count, size_t& written) override;
    bool GetModemStatus(uint32_t& status) override;
    bool ClearDtr() override;
    bool Flush() override;
    void Close() override;
    bool IsOpen() const override { return script->open; }

private:
    std::shared_ptr<SerialScript> script;
};

// Bytes from a text, for scripting ("06", "\x02...") in tests.
inline Chunk ChunkOf(const std::string& text) { return Chunk(text.begin(), text.end()); }
