#include "trace/LinkDecoder.h"

#include <cstdio>

#include "ecrcomm/EcrComm.h"
#include "language/Utf8DataFiles.h"
#include "trace/CommandNames.h"

namespace trace {

namespace {

// The longest frame the link carries, with room: longer input is garbage.
constexpr size_t LongestFrame = 260;

std::string HexPair(uint8_t value) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", value);
    return digits;
}

std::string Printable(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        if (byte == '\r') text += "\\r";
        else if (byte == '\n') text += "\\n";
        else if (byte >= 0x20 && byte < 0x7F && byte != '\\') text += static_cast<char>(byte);
        else text += "\\x" + HexPair(byte);
    }
    return text;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool IsNetworkNote(const std::string& text) {
    return StartsWith(text, "Telnet ") || StartsWith(text, "RFC 2217 ") ||
           text.find("erial device server") != std::string::npos;
}

class Decoder {
public:
    Decoder(const Run& run, const DecodeOptions& options)
        : options(options), runCommand(CommandNumberOf(run.commandLine)) {}

    std::vector<LinkEvent> Decode(const Run& run) {
        for (const LogEvent& event : run.events) {
            if (event.kind == LogEvent::Kind::Entry) OnEntry(event, run);
            else OnTransfer(event);
        }
        FlushPending("frame cut short: the log ends");
        if (!finished)
            Add(EventKind::Unfinished, lastLine, Direction::Out).text =
                "the log ends before the run's outcome (the driver was stopped, or the log is cut short)";
        return events;
    }

private:
    LinkEvent& Add(EventKind kind, size_t line, Direction direction) {
        LinkEvent event;
        event.kind = kind;
        event.line = line;
        event.direction = direction;
        event.clockMs = clock;
        event.offsetMs = haveBase ? clock - static_cast<double>(base) : clock;
        events.push_back(std::move(event));
        return events.back();
    }

    void OnEntry(const LogEvent& entry, const Run& run) {
        lastLine = entry.line;
        if (!haveBase) {
            base = entry.stampMs;
            haveBase = true;
        }
        // Trace lines carry no time; the clock only moves forward.
        if (static_cast<double>(entry.stampMs) > clock) clock = static_cast<double>(entry.stampMs);
        const std::string& text = entry.text;
        if (entry.line == run.firstLine && !run.commandLine.empty()) {
            Add(EventKind::RunStart, entry.line, Direction::Out).text = run.commandLine;
        } else if (text == "NAK received" || text == "Garbage received") {
            // Already shown by the reply it names.
        } else if (StartsWith(text, "Modem ") || StartsWith(text, "Disconnecting modem")) {
            Add(EventKind::Modem, entry.line, Direction::Out).text = text;
        } else if (IsNetworkNote(text)) {
            Add(EventKind::Network, entry.line, Direction::Out).text = text;
        } else if (StartsWith(text, "I/O statistics")) {
            Add(EventKind::Statistics, entry.line, Direction::Out).text = text;
        } else if (StartsWith(text, "Completed ")) {
            Add(EventKind::Outcome, entry.line, Direction::Out).text = text;
            finished = true;
        } else {
            // A failure logged while a frame waits for its reply: the reply
            // never came (a read that failed leaves no trace line).
            if (awaitingReply) {
                awaitingReply = false;
                Add(EventKind::Lost, entry.line, Direction::In).text = "no reply";
            }
            Add(EventKind::Note, entry.line, Direction::Out).text = text;
        }
    }

    void OnTransfer(const LogEvent& transfer) {
        lastLine = transfer.line;
        if (transfer.durationMs) clock += *transfer.durationMs;
        if (transfer.peer != "ECR") {
            FlushPending("frame cut short");
            LinkEvent& event = Add(EventKind::Modem, transfer.line, transfer.direction);
            SetBytes(event, transfer);
            event.text = Printable(transfer.bytes);
            return;
        }
        if (transfer.direction == Direction::In && transfer.ignored) {
            LinkEvent& event = Add(EventKind::Discarded, transfer.line, Direction::In);
            SetBytes(event, transfer);
            event.text = Printable(transfer.bytes);
            return;
        }
        if (transfer.direction == Direction::Out) OnWrite(transfer);
        else if (awaitingReply) OnReply(transfer);
        else OnFramePiece(transfer);
    }

    static void SetBytes(LinkEvent& event, const LogEvent& transfer) {
        event.bytes = transfer.bytes;
        event.durationMs = transfer.durationMs;
        event.onLine = !transfer.bytes.empty();
    }

    void NoteWait(const LogEvent& transfer, const char* what) {
        if (!transfer.durationMs || *transfer.durationMs <= options.byteIntervalMs || transfer.bytes.empty()) return;
        char text[96];
        std::snprintf(text, sizeof text, "waited %.1f ms for %s", *transfer.durationMs, what);
        // Shown where the wait began.
        LinkEvent& gap = Add(EventKind::Gap, transfer.line, Direction::In);
        gap.text = text;
        gap.offsetMs -= *transfer.durationMs;
        gap.clockMs -= *transfer.durationMs;
    }

    void OnWrite(const LogEvent& transfer) {
        FlushPending("frame cut short: the driver wrote before its end");
        const std::vector<uint8_t>& b = transfer.bytes;
        awaitingReply = false;
        if (b.size() == 1 && (b[0] == ACK || b[0] == NAK)) {
            SetBytes(Add(b[0] == ACK ? EventKind::Ack : EventKind::Nak, transfer.line, Direction::Out), transfer);
            return;
        }
        if (b.empty()) {
            Add(EventKind::Lost, transfer.line, Direction::Out).text = "the write did not go out";
            return;
        }
        bool retry = b == lastOut && lastReplyFailed;
        outRetry = retry ? outRetry + 1 : 0;
        lastOut = b;
        awaitingReply = true;
        if (b.size() == 5 && b[0] == STX && b[4] == ETX) {
            LinkEvent& event = Add(EventKind::Command, transfer.line, Direction::Out);
            SetBytes(event, transfer);
            event.code = b[1];
            event.name = CommandName(b[1], runCommand);
            uint8_t sum = ComputeChecksum(b.data(), 2);
            SetVerdict(event, b[2], b[3], sum);
            event.retry = outRetry;
            inBlock = 0;
        } else if (b.size() == 3 && b[2] == SUB) {
            LinkEvent& event = Add(EventKind::End, transfer.line, Direction::Out);
            SetBytes(event, transfer);
            SetVerdict(event, b[0], b[1], outBlock);
            event.retry = outRetry;
        } else if (b.size() >= 3 && b.back() == CR) {
            LinkEvent& event = Add(EventKind::Data, transfer.line, Direction::Out);
            SetBytes(event, transfer);
            DescribeData(event, b);
            event.retry = outRetry;
            if (!retry) outBlock = static_cast<uint8_t>(outBlock + ComputeChecksum(b.data(), b.size() - 3));
        } else {
            LinkEvent& event = Add(EventKind::Garbage, transfer.line, Direction::Out);
            SetBytes(event, transfer);
            event.text = Printable(b);
        }
    }

    void OnReply(const LogEvent& transfer) {
        awaitingReply = false;
        const std::vector<uint8_t>& b = transfer.bytes;
        NoteWait(transfer, "the reply");
        EventKind kind = EventKind::Garbage;
        if (b.empty() || b[0] == 0x00) kind = EventKind::Lost;
        else if (b[0] == ACK) kind = EventKind::Ack;
        else if (b[0] == NAK) kind = EventKind::Nak;
        LinkEvent& event = Add(kind, transfer.line, Direction::In);
        SetBytes(event, transfer);
        if (b.empty()) event.text = "no reply";
        else if (b[0] == 0x00) event.text = "NUL reply";
        else if (kind == EventKind::Garbage) event.text = Printable(b);
        lastReplyFailed = kind == EventKind::Nak || kind == EventKind::Garbage;
    }

    void OnFramePiece(const LogEvent& transfer) {
        const std::vector<uint8_t>& b = transfer.bytes;
        if (b.empty()) {
            if (pending.empty()) {
                LinkEvent& event = Add(EventKind::Lost, transfer.line, Direction::In);
                event.durationMs = transfer.durationMs;
                event.text = "no frame";
            } else {
                FlushPending("frame cut short");
            }
            return;
        }
        if (pending.empty()) {
            NoteWait(transfer, "the frame");
            pendingLine = transfer.line;
            pendingDuration = 0;
        }
        pending.insert(pending.end(), b.begin(), b.end());
        if (transfer.durationMs) pendingDuration += *transfer.durationMs;

        if (pending.size() == 3 && pending[2] == SUB) {
            LinkEvent& event = Add(EventKind::End, pendingLine, Direction::In);
            TakePending(event);
            SetVerdict(event, event.bytes[0], event.bytes[1], inBlock);
        } else if (pending.size() > 3 && pending.back() == CR) {
            LinkEvent& event = Add(EventKind::Data, pendingLine, Direction::In);
            TakePending(event);
            DescribeData(event, event.bytes);
            event.retry = lastInGarbled ? inRetry + 1 : 0;
            inRetry = event.retry;
            lastInGarbled = !event.checksumOk;
            if (event.checksumOk) {
                event.repeated = event.bytes == lastGoodIn;
                lastGoodIn = event.bytes;
                inBlock = static_cast<uint8_t>(inBlock + ComputeChecksum(event.bytes.data(), event.bytes.size() - 3));
            }
        } else if (pending.size() > LongestFrame) {
            LinkEvent& event = Add(EventKind::Garbage, pendingLine, Direction::In);
            TakePending(event);
            event.text = Printable(event.bytes);
        }
    }

    void TakePending(LinkEvent& event) {
        event.bytes = std::move(pending);
        event.durationMs = pendingDuration;
        event.onLine = true;
        pending.clear();
    }

    void FlushPending(const char* why) {
        if (pending.empty()) return;
        LinkEvent& event = Add(EventKind::Lost, pendingLine, Direction::In);
        TakePending(event);
        event.text = std::string(why) + ": " + Printable(event.bytes);
    }

    void DescribeData(LinkEvent& event, const std::vector<uint8_t>& frame) {
        std::vector<uint8_t> data(frame.begin(), frame.end() - 3);
        event.text = DataText(data, options.codePage);
        // Over the frame itself: an empty frame's data has no storage to point at.
        uint8_t sum = ComputeChecksum(frame.data(), data.size());
        SetVerdict(event, frame[frame.size() - 3], frame[frame.size() - 2], sum);
    }

    static void SetVerdict(LinkEvent& event, uint8_t high, uint8_t low, uint8_t expected) {
        event.checksumDigits = Printable({high, low});
        event.expectedDigits = HexPair(expected);
        event.checksumOk = event.checksumDigits == event.expectedDigits;
    }

    const DecodeOptions& options;
    int runCommand;
    std::vector<LinkEvent> events;
    int64_t base = 0;
    bool haveBase = false;
    double clock = 0;
    size_t lastLine = 0;
    bool finished = false;

    bool awaitingReply = false;
    std::vector<uint8_t> lastOut;
    bool lastReplyFailed = false;
    int outRetry = 0;
    uint8_t outBlock = 0;

    std::vector<uint8_t> pending;
    size_t pendingLine = 0;
    double pendingDuration = 0;
    bool lastInGarbled = false;
    int inRetry = 0;
    std::vector<uint8_t> lastGoodIn;
    uint8_t inBlock = 0;
};

}  // namespace

const char* KindName(EventKind kind) {
    switch (kind) {
        case EventKind::RunStart: return "run";
        case EventKind::Command: return "command";
        case EventKind::Data: return "data";
        case EventKind::End: return "end";
        case EventKind::Ack: return "ack";
        case EventKind::Nak: return "nak";
        case EventKind::Garbage: return "garbage";
        case EventKind::Lost: return "lost";
        case EventKind::Discarded: return "discarded";
        case EventKind::Gap: return "gap";
        case EventKind::Modem: return "modem";
        case EventKind::Network: return "network";
        case EventKind::Note: return "note";
        case EventKind::Statistics: return "statistics";
        case EventKind::Outcome: return "outcome";
        case EventKind::Unfinished: return "unfinished";
    }
    return "note";
}

std::string DataText(const std::vector<uint8_t>& data, int codePage) {
    std::string ascii;  // control bytes escaped; high bytes left for the code page
    for (uint8_t byte : data) {
        if (byte < 0x20 || byte == 0x7F || byte == '\\' || (byte >= 0x80 && codePage == 0))
            ascii += "\\x" + HexPair(byte);
        else ascii += static_cast<char>(byte);
    }
    if (codePage == 0) return ascii;
    SetUtf8DataFiles(codePage);
    std::string why;
    return EcrTextToDataFile(ascii.c_str(), why);
}

std::vector<LinkEvent> DecodeRun(const Run& run, const DecodeOptions& options) {
    return Decoder(run, options).Decode(run);
}

}  // namespace trace
