#include "Protocol.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "Clock.h"

namespace ecrsim {

namespace {

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace

Protocol::Protocol(Line& l, WireLog& w, Register& r, Faults& f, const std::string& status)
    : line(l), log(w), ecr(r), faults(f), statusText(status) {}

void Protocol::OnBytes(const uint8_t* data, size_t count, int64_t nowMs) {
    lastInputMs = nowMs;
    tokenizer.Feed(data, count);
    Drain(nowMs);
}

void Protocol::Drain(int64_t nowMs) {
    while (true) {
        // While a delayed answer is due, later frames wait their turn.
        while (!pending && !queued.empty() && state != State::Dead && !exitRequested) {
            Token next = std::move(queued.front());
            queued.pop_front();
            Process(next, nowMs);
        }
        // Cut the next frame only now: how depends on whether a send transfer is under way.
        tokenizer.SetDataMode(state == State::Receiving);
        Token token;
        if (!tokenizer.Next(token)) break;
        log.In(token.bytes.data(), token.bytes.size());
        if (state != State::Dead) queued.push_back(std::move(token));
    }
}

void Protocol::OnTimer(int64_t nowMs) {
    if (tokenizer.HasPartial() && nowMs - lastInputMs >= PartialFrameMs) {
        Token rest = tokenizer.TakePartial();
        log.In(rest.bytes.data(), rest.bytes.size());
    }
    if (pending && nowMs >= pending->dueMs) {
        Pending due = std::move(*pending);
        pending.reset();
        line.Send(due.bytes.data(), due.bytes.size());
        if (due.then) due.then(NowMs());
        Drain(NowMs());
    }
    if (state == State::Sending && !pending && ackDeadlineMs >= 0 && nowMs >= ackDeadlineMs) OnAnswer(false, nowMs);
}

int64_t Protocol::NextDeadline() const {
    int64_t deadline = -1;
    auto consider = [&deadline](int64_t t) {
        if (t >= 0 && (deadline < 0 || t < deadline)) deadline = t;
    };
    if (tokenizer.HasPartial()) consider(lastInputMs + PartialFrameMs);
    if (pending) consider(pending->dueMs);
    if (state == State::Sending && !pending) consider(ackDeadlineMs);
    return deadline;
}

void Protocol::OnLineClosed() {
    if (tokenizer.HasPartial()) {
        Token rest = tokenizer.TakePartial();
        log.In(rest.bytes.data(), rest.bytes.size());
    }
    queued.clear();
    pending.reset();
    ackDeadlineMs = -1;
    // The next status request opens a new run even when this one gave up on a refused status.
    statusRetryExpected = false;
    if (state == State::Receiving || state == State::Sending) log.Note("line closed during a transfer");
    if (state != State::Dead) state = State::Idle;
}

void Protocol::Process(const Token& token, int64_t nowMs) {
    if (token.kind == TokenKind::Command) {
        OnCommand(token, nowMs);
        return;
    }
    switch (state) {
        case State::Receiving:
            if (token.kind == TokenKind::Data) OnData(token, nowMs);
            else if (token.kind == TokenKind::End) OnEnd(token, nowMs);
            break;
        case State::Sending:
            if (token.kind == TokenKind::Control) {
                bool acknowledged = token.bytes[0] == ACK && !ackLost;
                // What the driver took, whatever becomes of its ACK on the way.
                if (token.bytes[0] == ACK && !readIsStatus)
                    log.Note(next < frames.size() ? "read frame delivered: " + Printable(frames[next])
                                                  : std::string("read end delivered"));
                if (token.bytes[0] == ACK && ackLost) log.Note("lostack: ACK taken as garbled, frame sent again");
                OnAnswer(acknowledged, nowMs);
            } else if (token.kind == TokenKind::Garbage) OnAnswer(false, nowMs);
            break;
        case State::Idle:
            if (token.kind == TokenKind::Data && idleDataHook) idleDataHook(token);
            break;
        default: break;
    }
}

void Protocol::Answer(const Fault* fault, bool good, int64_t nowMs, std::function<void(int64_t)> accepted,
                      bool* retryExpected) {
    bool retry = false;
    if (fault == nullptr) {
        line.Send(good ? &ACK : &NAK, 1);
        if (good) accepted(nowMs);
        else retry = true;
    } else {
        static const uint8_t garbage = 0x3F, zero = 0x00;
        switch (fault->kind) {
            case FaultKind::Nak:
                line.Send(&NAK, 1);
                retry = true;
                break;
            case FaultKind::Garbage:
                line.Send(&garbage, 1);
                retry = true;
                break;
            case FaultKind::Zero: line.Send(&zero, 1); break;
            case FaultKind::Silent: break;
            case FaultKind::Slow:
                pending = Pending{nowMs + fault->ms, Bytes{good ? ACK : NAK}, good ? accepted : nullptr};
                retry = !good;
                break;
            case FaultKind::Drop:
                exitRequested = true;
                state = State::Dead;
                break;
            case FaultKind::Flood: StartFlood(nowMs); break;
            default: break;
        }
    }
    if (retryExpected != nullptr) *retryExpected = retry;
}

void Protocol::OnCommand(const Token& token, int64_t nowMs) {
    uint8_t code = token.bytes[1];
    bool good = DigitsMatch(Checksum(token.bytes.data(), 2), token.bytes[2], token.bytes[3]);
    if (state == State::Receiving || state == State::Sending) log.Note("transfer broken off by a new command");
    state = State::Idle;
    ackDeadlineMs = -1;

    CodeKind kind = KindOfCode(code);
    if (kind == CodeKind::Other && ecr.Serves(code)) kind = CodeKind::Read;
    if (kind == CodeKind::Clear && good) {
        char text[40];
        std::snprintf(text, sizeof text, "clear command 0x%02X received", code);
        log.Note(text);
    }
    Phase phase = kind == CodeKind::Status ? Phase::Status : kind == CodeKind::Clear ? Phase::Clear : Phase::Command;
    // A status request opens a driver run, unless it repeats one we refused.
    if (kind == CodeKind::Status && !statusRetryExpected) faults.NewRun();
    const Fault* fault = good ? faults.Take(phase) : nullptr;

    auto accepted = [this, code, kind, phase](int64_t t) {
        faults.Advance(phase);
        switch (kind) {
            case CodeKind::Status:
                ++statusAnswered;
                StartRead(ecr.Serves(code) ? ecr.ReadFrames(code) : std::vector<std::string>{statusText}, true, t);
                break;
            case CodeKind::Read: StartRead(ecr.ReadFrames(code), false, t); break;
            case CodeKind::Clear: ecr.Clear(code); break;
            case CodeKind::Send:
            case CodeKind::Other:
                // Command-only codes need nothing more; should data frames
                // follow anyway, they are kept like those of a send.
                state = State::Receiving;
                sendCode = code;
                received.clear();
                receivedSum = 0;
                break;
        }
    };
    bool retry = false;
    Answer(fault, good, nowMs, accepted, &retry);
    if (kind == CodeKind::Status) statusRetryExpected = retry;
}

void Protocol::OnData(const Token& token, int64_t nowMs) {
    size_t n = token.bytes.size();
    std::string data(token.bytes.begin(), token.bytes.begin() + static_cast<std::ptrdiff_t>(n - 3));
    uint8_t sum = Checksum(data);
    bool good = DigitsMatch(sum, token.bytes[n - 3], token.bytes[n - 2]);
    const Fault* fault = faults.Take(Phase::Data);
    Answer(fault, good, nowMs, [this, data, sum](int64_t) {
        faults.Advance(Phase::Data);
        received.push_back(data);
        receivedSum = static_cast<uint8_t>(receivedSum + sum);
    });
}

void Protocol::OnEnd(const Token& token, int64_t nowMs) {
    uint8_t hi = token.bytes[0], lo = token.bytes[1];
    const Fault* fault = faults.Take(Phase::End);
    Answer(fault, true, nowMs, [this, hi, lo](int64_t) {
        faults.Advance(Phase::End);
        // Every data frame passed its own check, so the records are kept even
        // when the block checksum disagrees; the mismatch is noted.
        if (!DigitsMatch(receivedSum, hi, lo)) {
            char text[96];
            std::snprintf(text, sizeof text, "block checksum mismatch: received %c%c, expected %s",
                          std::isprint(hi) ? hi : '?', std::isprint(lo) ? lo : '?',
                          ChecksumDigits(receivedSum).c_str());
            log.Note(text);
        }
        ecr.Store(sendCode, received);
        received.clear();
        state = State::Idle;
    });
}

void Protocol::StartRead(std::vector<std::string> data, bool isStatus, int64_t nowMs) {
    frames = std::move(data);
    next = 0;
    resends = 0;
    readIsStatus = isStatus;
    readBlockSum = 0;
    for (const auto& frame : frames) readBlockSum = static_cast<uint8_t>(readBlockSum + Checksum(frame));
    state = State::Sending;
    SendReadFrame(nowMs);
}

void Protocol::SendReadFrame(int64_t nowMs) {
    bool end = next >= frames.size();
    Bytes frame = end ? EndFrame(readBlockSum) : DataFrame(frames[next]);
    const Fault* fault = readIsStatus ? nullptr : faults.Take(end ? Phase::ReadEnd : Phase::Read);
    ackDeadlineMs = -1;
    ackLost = false;
    if (fault != nullptr) {
        size_t hi = frame.size() - 3;
        switch (fault->kind) {
            case FaultKind::BadSum: {
                uint8_t right = end ? readBlockSum : Checksum(frames[next]);
                std::string wrong = ChecksumDigits(static_cast<uint8_t>(right ^ 0x5A));
                frame[hi] = static_cast<uint8_t>(wrong[0]);
                frame[hi + 1] = static_cast<uint8_t>(wrong[1]);
                break;
            }
            case FaultKind::LowerSum: {
                Bytes before = frame;
                frame[hi] = static_cast<uint8_t>(std::tolower(frame[hi]));
                frame[hi + 1] = static_cast<uint8_t>(std::tolower(frame[hi + 1]));
                if (before == frame) log.Note("lowersum: checksum digits have no letters");
                break;
            }
            case FaultKind::Silent: frame.clear(); break;
            case FaultKind::Slow:
                pending = Pending{nowMs + fault->ms, frame, [this](int64_t t) { ackDeadlineMs = t + AckWaitMs; }};
                return;
            case FaultKind::Drop:
                if (beforeDrop) beforeDrop();
                line.Send(frame.data(), frame.size() / 2);
                exitRequested = true;
                state = State::Dead;
                return;
            case FaultKind::Flood: StartFlood(nowMs); return;
            case FaultKind::LostAck: ackLost = true; break;
            default: break;
        }
    }
    if (!frame.empty()) line.Send(frame.data(), frame.size());
    ackDeadlineMs = NowMs() + AckWaitMs;
}

void Protocol::OnAnswer(bool acknowledged, int64_t nowMs) {
    ackDeadlineMs = -1;
    bool end = next >= frames.size();
    if (acknowledged) {
        if (!readIsStatus) faults.Advance(end ? Phase::ReadEnd : Phase::Read);
        if (end) {
            state = State::Idle;
            return;
        }
        ++next;
        resends = 0;
        SendReadFrame(nowMs);
        return;
    }
    if (++resends > MaxResends) {
        if (!readIsStatus) faults.Advance(end ? Phase::ReadEnd : Phase::Read);
        Abandon(end ? "end-of-data frame not acknowledged, read given up"
                    : "frame '" + Printable(frames[next]) + "' not acknowledged, read given up");
        return;
    }
    SendReadFrame(nowMs);
}

void Protocol::Abandon(const std::string& why) {
    log.Note(why);
    state = State::Idle;
    ackDeadlineMs = -1;
}

void Protocol::StartFlood(int64_t) {
    state = State::Flooding;
    pending.reset();
    floodStartNs = NowNs();
    floodSent = 0;
}

void Protocol::FloodStep(int64_t) {
    static const Bytes junk(256, 0x55);
    int64_t allowed = 256;
    if (line.ByteTimeNs() > 0)
        allowed = std::min<int64_t>(64, (NowNs() - floodStartNs) / line.ByteTimeNs() + 1 - floodSent);
    if (allowed <= 0) return;
    floodSent += static_cast<int64_t>(line.SendSome(junk.data(), static_cast<size_t>(allowed)));
}

}  // namespace ecrsim
