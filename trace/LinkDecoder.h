#pragma once
// Turns the parsed events of one run into what the link saw: command, data
// and end-of-data frames with their checksum verdicts, replies, retries,
// discarded input, long waits, the modem dialogue, the network notes, the
// statistics and the outcome.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trace/TraceLog.h"

namespace trace {

enum class EventKind {
    RunStart,  // text: the command line
    Command,   // code, name
    Data,      // text, checksumDigits, expectedDigits, checksumOk
    End,       // checksumDigits, expectedDigits (the frames' sum), checksumOk
    Ack,
    Nak,
    Garbage,     // a reply that is neither ACK nor NAK
    Lost,        // a read that brought nothing (or a NUL reply), or a frame cut short
    Discarded,   // stray input thrown away before a write
    Gap,         // a wait for the peer longer than the byte interval
    Modem,       // text: the dialogue line or the driver's modem note
    Network,     // text: a note of the serial device server connection
    Note,        // text: any other entry of the driver
    Statistics,  // text
    Outcome,     // text: "Completed OK" / "Completed with errors"
    Unfinished,  // the log ends before the run's outcome
};

const char* KindName(EventKind kind);

struct LinkEvent {
    EventKind kind = EventKind::Note;
    size_t line = 0;      // log line it comes from
    double offsetMs = 0;  // from the run's first time stamp (see README: lower bound for trace lines)
    double clockMs = 0;   // local clock time, milliseconds since 1.1.1970
    Direction direction = Direction::Out;
    bool onLine = false;  // bytes that crossed the serial line
    std::vector<uint8_t> bytes;
    std::optional<double> durationMs;
    int code = -1;
    std::string name;
    std::string text;
    std::string checksumDigits;
    std::string expectedDigits;
    bool checksumOk = true;
    int retry = 0;          // 1 for the first resending of the same frame, ...
    bool repeated = false;  // a data frame the peer sent again after it was acknowledged
};

struct DecodeOptions {
    int codePage = 1257;         // the ECR's code page; 0 shows the bytes as they are
    double byteIntervalMs = 57;  // longer waits are reported as gaps
};

// The events of `run`, in order.
std::vector<LinkEvent> DecodeRun(const Run& run, const DecodeOptions& options);

// A frame's data as printable UTF-8 text: the ECR's code page converted,
// control bytes and backslashes as \xNN.
std::string DataText(const std::vector<uint8_t>& data, int codePage);

}  // namespace trace
