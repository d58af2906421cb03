#include "trace/TraceLog.h"

#include <cstdio>

namespace trace {

namespace {

constexpr std::string_view StartMarker = " started. Command line: ";
constexpr std::string_view DriverMarker = " driver version ";
constexpr size_t StampLength = 23;  // "DD.MM.YYYY HH:MM:SS.mmm"

std::string LineError(size_t line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Days from 1.1.1970 to the civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// "PC->ECR   5 bytes in    0.1 ms : (ignored) 02 83 37 42 03". Returns false
// when the line does not start like a trace line; `error` is set when it does
// but is damaged.
bool ParseTransfer(std::string_view line, size_t number, LogEvent& event, std::string& error) {
    if (line.size() < 4 || line.substr(0, 2) != "PC" || (line.substr(2, 2) != "->" && line.substr(2, 2) != "<-"))
        return false;
    event.kind = LogEvent::Kind::Transfer;
    event.line = number;
    event.direction = line[2] == '-' ? Direction::Out : Direction::In;
    size_t colon = line.find(" :");
    size_t blank = line.find(' ');
    if (colon == std::string_view::npos || blank == std::string_view::npos || blank > colon) {
        error = LineError(number, "trace line without its ' :' (the log is cut short or damaged)");
        return true;
    }
    event.peer = std::string(line.substr(4, blank - 4));
    std::string_view head = Trim(line.substr(blank, colon - blank));
    // head: "5 bytes in    0.1 ms", "5 bytes" (no clock)
    size_t at = 0;
    long count = 0;
    while (at < head.size() && IsDigit(head[at]) && count < 100000) count = count * 10 + (head[at++] - '0');
    std::string_view rest = Trim(head.substr(at));
    if (at == 0 || rest.substr(0, 5) != "bytes") {
        error = LineError(number, "trace line without a byte count");
        return true;
    }
    rest = Trim(rest.substr(5));
    if (!rest.empty()) {
        double ms = 0;
        char unit[4] = {};
        std::string timing(rest);
        if (rest.substr(0, 3) != "in " || std::sscanf(timing.c_str(), "in %lf %3s", &ms, unit) != 2 ||
            std::string_view(unit) != "ms" || !(ms >= 0)) {
            error = LineError(number, "trace line with an unreadable duration '" + timing + "'");
            return true;
        }
        event.durationMs = ms;
    }
    std::string_view bytes = line.substr(colon + 2);
    constexpr std::string_view IgnoredMark = " (ignored)";
    if (bytes.substr(0, IgnoredMark.size()) == IgnoredMark) {
        event.ignored = true;
        bytes.remove_prefix(IgnoredMark.size());
    }
    while (!bytes.empty()) {
        if (bytes.size() < 3 || bytes[0] != ' ' || (bytes.size() > 3 && bytes[3] != ' ')) {
            size_t end = bytes.find(' ', 1);
            error = LineError(number,
                              "'" + std::string(Trim(bytes.substr(0, end))) + "' is not a byte in hex (two digits)");
            return true;
        }
        int high = HexValue(bytes[1]), low = HexValue(bytes[2]);
        if (high < 0 || low < 0) {
            error = LineError(number, "'" + std::string(bytes.substr(1, 2)) + "' is not a byte in hex");
            return true;
        }
        event.bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        bytes.remove_prefix(3);
    }
    if (event.bytes.size() != static_cast<size_t>(count))
        error = LineError(number, "trace line announces " + std::to_string(count) + " bytes but holds " +
                                      std::to_string(event.bytes.size()) + " (the log is cut short or damaged)");
    return true;
}

}  // namespace

bool ParseStamp(std::string_view text, int64_t& ms) {
    if (text.size() < StampLength) return false;
    static constexpr char Shape[] = "dd.dd.dddd dd:dd:dd.ddd";
    for (size_t i = 0; i < StampLength; ++i) {
        if (Shape[i] == 'd' ? !IsDigit(text[i]) : text[i] != Shape[i]) return false;
    }
    auto number = [&](size_t at, size_t length) {
        int64_t value = 0;
        for (size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    int64_t day = number(0, 2), month = number(3, 2), year = number(6, 4);
    int64_t hour = number(11, 2), minute = number(14, 2), second = number(17, 2), milli = number(20, 3);
    if (day < 1 || day > 31 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 60) return false;
    ms = ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60000 + second * 1000 + milli;
    return true;
}

bool ParseLog(std::string_view text, TraceLog& log, std::string& error) {
    log.runs.clear();
    error.clear();
    bool anyEntry = false, anyTransfer = false;
    size_t number = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        bool lastLineCut = end == std::string_view::npos;
        std::string_view line = text.substr(start, lastLineCut ? std::string_view::npos : end - start);
        start = lastLineCut ? text.size() : end + 1;
        ++number;
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        for (char ch : line) {
            auto byte = static_cast<unsigned char>(ch);
            if ((byte < 0x20 && ch != '\t') || byte == 0x7F) {
                error = LineError(number, "holds binary data: this is not a text log");
                return false;
            }
        }
        if (Trim(line).empty()) continue;

        LogEvent event;
        if (ParseTransfer(line, number, event, error)) {
            if (!error.empty()) {
                if (lastLineCut) error = LineError(number, "the log ends in the middle of a trace line (cut short)");
                return false;
            }
            if (log.runs.empty()) log.runs.push_back(Run{number, "", {}});
            log.runs.back().events.push_back(std::move(event));
            anyTransfer = true;
            continue;
        }
        int64_t stamp = 0;
        if (ParseStamp(line, stamp)) {
            event.kind = LogEvent::Kind::Entry;
            event.line = number;
            event.stampMs = stamp;
            event.text = std::string(Trim(line.substr(StampLength)));
            size_t marker = event.text.find(StartMarker);
            if (marker != std::string::npos && event.text.find(DriverMarker) != std::string::npos &&
                event.text.find(DriverMarker) < marker)
                log.runs.push_back(Run{number, event.text.substr(marker + StartMarker.size()), {}});
            else if (log.runs.empty()) log.runs.push_back(Run{number, "", {}});
            log.runs.back().events.push_back(std::move(event));
            anyEntry = true;
            continue;
        }
        if (lastLineCut && line.size() < StampLength && IsDigit(line.front())) {
            error = LineError(number, "the log ends in the middle of a time stamp");
            return false;
        }
        // An entry's text may span lines; anything else is not the driver's.
        if (log.runs.empty() || log.runs.back().events.empty() ||
            log.runs.back().events.back().kind != LogEvent::Kind::Entry) {
            error = LineError(number,
                              "neither a time-stamped entry nor a trace line: this is not a debug log "
                              "(dbgerror.log) of the driver");
            return false;
        }
        log.runs.back().events.back().text += "\n" + std::string(line);
    }
    if (!anyEntry) {
        error = "the file holds no entry of the driver's log";
        return false;
    }
    if (!anyTransfer) {
        error =
            "the log holds no byte trace: give the debug log dbgerror.log of a run with DbgErrorLog "
            "set to 1, 2 or 3 (the standard log KVT5100.log keeps no trace)";
        return false;
    }
    return true;
}

}  // namespace trace
