#pragma once
// The register's side of the frame protocol: answers command frames, takes
// the data frames of send transfers, sends the frames of read transfers and
// applies injected faults.
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Faults.h"
#include "Frames.h"
#include "Line.h"
#include "Register.h"
#include "WireLog.h"

namespace ecrsim {

// How long the register waits for the driver's ACK before it sends a frame again.
constexpr int64_t AckWaitMs = 250;
// Resends of one frame of a read after NAK or silence.
constexpr int MaxResends = 5;
// An incomplete frame that gets no further byte for this long is thrown away.
constexpr int64_t PartialFrameMs = 1000;

class Protocol {
public:
    Protocol(Line& line, WireLog& log, Register& ecr, Faults& faults, const std::string& statusText);

    void OnBytes(const uint8_t* data, size_t count, int64_t nowMs);
    void OnTimer(int64_t nowMs);
    // Next time OnTimer has work, -1 when none.
    int64_t NextDeadline() const;
    // The driver closed the line: whatever was under way is over.
    void OnLineClosed();

    bool Flooding() const { return state == State::Flooding; }
    void FloodStep(int64_t nowMs);
    bool ExitRequested() const { return exitRequested; }
    int StatusAnswered() const { return statusAnswered; }
    // Nothing under way that the register itself still has to finish.
    bool Quiet() const { return !pending && state != State::Sending && state != State::Flooding; }

    // Offered every data frame that arrives outside a transfer; returns true
    // when it took it (the modem front uses it to see a new dial command).
    std::function<bool(const Token&)> idleDataHook;
    // Called before a dropped line sends its half frame; returns once the
    // driver has read what was sent before it (a pty would throw it away).
    std::function<void()> beforeDrop;

private:
    enum class State { Idle, Receiving, Sending, Flooding, Dead };

    struct Pending {
        int64_t dueMs;
        Bytes bytes;
        std::function<void(int64_t)> then;
    };

    void Process(const Token& token, int64_t nowMs);
    void OnCommand(const Token& token, int64_t nowMs);
    void OnData(const Token& token, int64_t nowMs);
    void OnEnd(const Token& token, int64_t nowMs);
    void OnAnswer(bool acknowledged, int64_t nowMs);
    // Answers a frame of the driver: ACK when `good`, NAK otherwise, unless a
    // fault says differently. `accepted` runs once the ACK has gone out.
    void Answer(const Fault* fault, bool good, int64_t nowMs, std::function<void(int64_t)> accepted,
                bool* retryExpected = nullptr);
    void StartRead(std::vector<std::string> frames, bool isStatus, int64_t nowMs);
    void SendReadFrame(int64_t nowMs);
    void Abandon(const std::string& why);
    void StartFlood(int64_t nowMs);
    void Drain(int64_t nowMs);

    Line& line;
    WireLog& log;
    Register& ecr;
    Faults& faults;
    std::string statusText;

    Tokenizer tokenizer;
    int64_t lastInputMs = 0;
    std::deque<Token> queued;
    std::optional<Pending> pending;
    State state = State::Idle;
    bool exitRequested = false;
    int statusAnswered = 0;
    bool statusRetryExpected = false;

    // Send transfer
    uint8_t sendCode = 0;
    Phase sendPhase = Phase::Data;
    std::vector<std::string> received;
    uint8_t receivedSum = 0;

    // Read transfer
    std::vector<std::string> frames;
    size_t next = 0;
    int resends = 0;
    bool readIsStatus = false;
    uint8_t readBlockSum = 0;
    int64_t ackDeadlineMs = -1;
    // The driver's answer to the frame just sent will be taken as garbled.
    bool ackLost = false;

    // Flood
    int64_t floodStartNs = 0;
    int64_t floodSent = 0;
};

}  // namespace ecrsim
