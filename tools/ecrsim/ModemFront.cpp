#include "ModemFront.h"

#include <cctype>

#include "Clock.h"

namespace ecrsim {

namespace {

constexpr size_t MaxCommandLine = 256;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

ModemFront::ModemFront(Line& l, WireLog& w, Protocol& p, const ModemOptions& o)
    : line(l), log(w), protocol(p), options(o) {
    // No call yet: our DTR (the carrier the driver sees on a real cable) stays down.
    line.SetDtr(false);
    protocol.idleDataHook = [this](const Token& token) {
        // A dial command while the register idles: the previous call ended unnoticed.
        if (token.bytes.size() >= 2 && std::toupper(token.bytes[0]) == 'A' && std::toupper(token.bytes[1]) == 'T') {
            Hangup();
            Feed(token.bytes.data(), token.bytes.size(), NowMs(), false);
            return true;
        }
        return false;
    };
}

void ModemFront::Feed(const uint8_t* data, size_t count, int64_t nowMs, bool logInput) {
    if (online) {
        protocol.OnBytes(data, count, nowMs);
        return;
    }
    if (answerDueMs >= 0) {
        if (logInput) log.In(data, count);
        held.append(reinterpret_cast<const char*>(data), count);
        return;
    }
    size_t i = 0;
    std::string echo;
    while (i < count && !online && answerDueMs < 0) {
        char c = static_cast<char>(data[i++]);
        echo += c;
        if (c == '\r') {
            if (logInput) log.In(data, i);
            if (options.echo) line.Send(echo);
            echo.clear();
            OnCommandLine(command, nowMs);
            command.clear();
            data += i;
            count -= i;
            i = 0;
            continue;
        }
        if (c == '\n' && command.empty()) continue;
        command += c;
        if (command.size() > MaxCommandLine) command.clear();
    }
    if (i > 0) {
        if (logInput) log.In(data, i);
        if (options.echo) line.Send(echo);
        data += i;
        count -= i;
    }
    if (count > 0) Feed(data, count, nowMs, logInput);
}

void ModemFront::OnCommandLine(const std::string& text, int64_t nowMs) {
    std::string upper = Upper(text);
    size_t start = upper.find("AT");
    if (start == std::string::npos) return;
    upper.erase(0, start);
    if (upper.size() > 2 && upper[2] == 'D') {
        answerDueMs = nowMs + options.delayMs;
        if (options.delayMs == 0) AnswerDial(nowMs);
        return;
    }
    line.Send("\r\nOK\r\n");
}

void ModemFront::AnswerDial(int64_t nowMs) {
    answerDueMs = -1;
    switch (options.mode) {
        case ModemMode::Connect:
            line.SetDtr(true);
            line.Send("\r\nCONNECT 9600\r\n");
            online = true;
            peerSeenUp = false;
            break;
        case ModemMode::Busy: line.Send("\r\nBUSY\r\n"); break;
        case ModemMode::NoCarrier: line.Send("\r\nNO CARRIER\r\n"); break;
        default: break;
    }
    std::string rest;
    rest.swap(held);
    if (!rest.empty()) Feed(reinterpret_cast<const uint8_t*>(rest.data()), rest.size(), nowMs, false);
}

void ModemFront::OnTimer(int64_t nowMs) {
    if (answerDueMs >= 0 && nowMs >= answerDueMs) AnswerDial(nowMs);
}

void ModemFront::Hangup() {
    answerDueMs = -1;
    held.clear();
    command.clear();
    if (!online) return;
    online = false;
    line.SetDtr(false);
    protocol.OnLineClosed();
}

void ModemFront::CheckPeerLines() {
    if (!online || line.IsPty()) return;
    if (line.PeerLinesUp()) {
        peerSeenUp = true;
    } else if (peerSeenUp) {
        log.Note("peer dropped its modem lines: call ended");
        Hangup();
    }
}

}  // namespace ecrsim
