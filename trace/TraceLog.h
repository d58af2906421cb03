#pragma once
// Reads the text of a debug log (dbgerror.log) into runs of events: the
// time-stamped entries and the byte trace lines, as the driver wrote them.
// Pure parsing: nothing here knows what the bytes mean.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trace {

enum class Direction { Out, In };  // PC->peer, PC<-peer

struct LogEvent {
    enum class Kind { Entry, Transfer } kind = Kind::Entry;
    size_t line = 0;  // line number in the log, counted from 1
    // Entry: the time stamp (milliseconds since 1.1.1970 of the local clock)
    // and the text, with any continuation lines joined by '\n'.
    int64_t stampMs = 0;
    std::string text;
    // Transfer: one read or write of the serial line.
    Direction direction = Direction::Out;
    std::string peer;                  // "ECR", or "MDM" while a modem dials
    std::optional<double> durationMs;  // absent when the driver had no clock
    bool ignored = false;              // stray input thrown away before a write
    std::vector<uint8_t> bytes;
};

struct Run {
    size_t firstLine = 0;
    std::string commandLine;  // as the start entry gives it; empty when the log begins mid-run
    std::vector<LogEvent> events;
};

struct TraceLog {
    std::vector<Run> runs;
};

// Parses a whole log, LF or CR LF line ends. False with `error` (naming the
// line) when the text is not a driver's debug log or a line is damaged.
bool ParseLog(std::string_view text, TraceLog& log, std::string& error);

// The stamp "DD.MM.YYYY HH:MM:SS.mmm" as milliseconds; false when malformed.
bool ParseStamp(std::string_view text, int64_t& ms);

}  // namespace trace
