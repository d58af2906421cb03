#include <cstdio>

#include "trace/Writers.h"

namespace trace {

namespace {

std::string Checksum(const LinkEvent& event) {
    if (event.checksumOk) return "checksum " + event.checksumDigits + " ok";
    return "checksum " + event.checksumDigits + " WRONG (should be " + event.expectedDigits + ")";
}

std::string DirectionLabel(const LinkEvent& event) {
    if (!event.onLine && event.kind != EventKind::Lost && event.kind != EventKind::Gap) return "";
    std::string peer = event.kind == EventKind::Modem ? "MDM" : "ECR";
    return event.direction == Direction::Out ? "PC->" + peer : "PC<-" + peer;
}

}  // namespace

std::string Describe(const LinkEvent& event) {
    std::string text;
    switch (event.kind) {
        case EventKind::RunStart: text = "run: " + event.text; break;
        case EventKind::Command: {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", event.code);
            text = std::string("command ") + code + " " + (event.name.empty() ? "(unknown command)" : event.name) +
                   ", " + Checksum(event);
            break;
        }
        case EventKind::Data: text = "data \"" + event.text + "\", " + Checksum(event); break;
        case EventKind::End:
            text = "end of data, block checksum " + event.checksumDigits +
                   (event.checksumOk ? " matches the frames"
                                     : " does NOT match the frames (" + event.expectedDigits + ")");
            break;
        case EventKind::Ack: text = "ACK"; break;
        case EventKind::Nak: text = "NAK"; break;
        case EventKind::Garbage: text = "garbage: " + event.text; break;
        case EventKind::Lost: text = "lost: " + event.text; break;
        case EventKind::Discarded:
            text = "discarded " + std::to_string(event.bytes.size()) + " byte(s) before a write: " + event.text;
            break;
        case EventKind::Gap: text = "gap: " + event.text; break;
        case EventKind::Modem: text = "modem: " + event.text; break;
        case EventKind::Network: text = "network: " + event.text; break;
        case EventKind::Note: text = "note: " + event.text; break;
        case EventKind::Statistics: text = "statistics: " + event.text; break;
        case EventKind::Outcome: text = "outcome: " + event.text; break;
        case EventKind::Unfinished: text = "unfinished: " + event.text; break;
    }
    if (event.retry > 0) text += " [retry " + std::to_string(event.retry) + "]";
    if (event.repeated) text += " [same frame again after its ACK]";
    return text;
}

void WriteText(std::ostream& out, size_t runNumber, const std::vector<LinkEvent>& events) {
    out << "=== Run " << runNumber << "\n";
    int outFrames = 0, inFrames = 0, naks = 0, garbage = 0, lost = 0, retries = 0, badSums = 0;
    for (const LinkEvent& event : events) {
        char head[48];
        std::snprintf(head, sizeof head, "%+10.1f ms  %-8s", event.offsetMs, DirectionLabel(event).c_str());
        std::string text = Describe(event);
        // Continuation lines of a note stay under its text.
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
            text.insert(at + 1, std::string(23, ' '));
        out << head << text << "\n";
        bool frame = event.kind == EventKind::Command || event.kind == EventKind::Data || event.kind == EventKind::End;
        if (frame) ++(event.direction == Direction::Out ? outFrames : inFrames);
        if (frame && !event.checksumOk) ++badSums;
        if (event.kind == EventKind::Nak) ++naks;
        if (event.kind == EventKind::Garbage) ++garbage;
        if (event.kind == EventKind::Lost) ++lost;
        if (event.retry > 0) ++retries;
    }
    out << "--- frames: " << outFrames << " sent, " << inFrames << " received; NAK " << naks << ", garbage " << garbage
        << ", lost " << lost << ", bad checksums " << badSums << ", retries " << retries << "\n";
}

}  // namespace trace
