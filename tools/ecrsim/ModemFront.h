#pragma once
// A Hayes-style modem in front of the register: echoes the dial command,
// answers CONNECT, BUSY, NO CARRIER or nothing, and after CONNECT hands the
// line to the register until the call ends.
#include <cstdint>
#include <string>

#include "Line.h"
#include "Options.h"
#include "Protocol.h"
#include "WireLog.h"

namespace ecrsim {

class ModemFront {
public:
    ModemFront(Line& line, WireLog& log, Protocol& protocol, const ModemOptions& options);

    void OnBytes(const uint8_t* data, size_t count, int64_t nowMs) { Feed(data, count, nowMs, true); }
    void OnTimer(int64_t nowMs);
    int64_t NextDeadline() const { return answerDueMs; }
    // The call is over (the driver closed the line or dropped its DTR).
    void Hangup();
    // On a real device: a peer that dropped DSR/DCD has hung up.
    void CheckPeerLines();

private:
    void Feed(const uint8_t* data, size_t count, int64_t nowMs, bool logInput);
    void OnCommandLine(const std::string& text, int64_t nowMs);
    void AnswerDial(int64_t nowMs);

    Line& line;
    WireLog& log;
    Protocol& protocol;
    ModemOptions options;
    bool online = false;
    bool peerSeenUp = false;
    std::string command;
    std::string held;  // bytes that came while the dial answer was due
    int64_t answerDueMs = -1;
};

}  // namespace ecrsim
