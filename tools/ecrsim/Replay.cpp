#include "Replay.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "Clock.h"

namespace ecrsim {

namespace {

constexpr uint8_t CarriageReturn = 0x0D;
constexpr uint8_t EndOfData = 0x1A;

std::string HexText(const std::vector<uint8_t>& bytes, size_t from = 0, size_t count = 16) {
    std::string text;
    char digits[4];
    for (size_t i = from; i < bytes.size() && i < from + count; ++i) {
        std::snprintf(digits, sizeof digits, i == from ? "%02x" : " %02x", bytes[i]);
        text += digits;
    }
    if (bytes.size() > from + count) text += " ...";
    return text.empty() ? "(nothing)" : text;
}

// True when `sofar` ends what the register sends in one go: a frame up to
// its CR, an end-of-data frame, or a single reply byte.
bool EndsFrame(const std::vector<uint8_t>& sofar) {
    if (sofar.size() == 1) return true;
    if (sofar.size() == 3 && sofar[2] == EndOfData) return true;
    return !sofar.empty() && sofar.back() == CarriageReturn;
}

// One trace line; false when `line` is not one. `error` set when it is damaged.
bool ParseTraceLine(const std::string& line, bool& fromDriver, std::vector<uint8_t>& bytes, double& ms,
                    std::string& error) {
    if (line.compare(0, 4, "PC->") != 0 && line.compare(0, 4, "PC<-") != 0) return false;
    fromDriver = line[2] == '-';
    size_t colon = line.find(" :");
    if (colon == std::string::npos) {
        error = "trace line without ' :'";
        return true;
    }
    ms = 0;
    size_t in = line.find(" in ");
    if (in != std::string::npos && in < colon) ms = std::atof(line.c_str() + in + 4);
    std::istringstream words(line.substr(colon + 2));
    std::string word;
    bytes.clear();
    while (words >> word) {
        if (word == "(ignored)") continue;
        char* end = nullptr;
        unsigned long value = std::strtoul(word.c_str(), &end, 16);
        if (word.size() != 2 || *end != '\0' || value > 0xFF) {
            error = "'" + word + "' is not a byte in hex";
            return true;
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return true;
}

class Player {
public:
    Player(Line& line, WireLog& log, const std::vector<ReplayStep>& steps) : line(line), log(log), steps(steps) {}

    int Run() {
        readyMs = NowMs();
        uint8_t buffer[4096];
        while (!StopRequested) {
            int64_t timeout = 200;
            if (Sending()) timeout = std::max<int64_t>(0, readyMs + steps[next].pauseMs - NowMs());
            pollfd fds[2] = {{line.Fd(), POLLIN, 0}, {line.NotifyFd(), POLLIN, 0}};
            int ready = poll(fds, line.NotifyFd() >= 0 ? 2 : 1, static_cast<int>(timeout));
            if (ready < 0 && errno != EINTR) break;
            int opens = line.TakeNotifyEvents();
            if (opens > 0) driverSeen = true;
            size_t n;
            while ((n = line.Receive(buffer, sizeof buffer)) > 0) OnBytes(buffer, n);
            if (opens < 0) OnDriverClosed();
            if (Sending() && NowMs() >= readyMs + steps[next].pauseMs) {
                line.Send(steps[next].bytes.data(), steps[next].bytes.size());
                ++next;
                readyMs = NowMs();
            }
            if (line.Broken()) break;
            if ((next >= steps.size() || diverged) && driverSeen && !line.DriverHasLine()) break;
        }
        if (!diverged && next < steps.size()) {
            Report("the replay stopped at step " + std::to_string(next + 1) + " of " + std::to_string(steps.size()));
        }
        if (!diverged && next >= steps.size())
            log.Note("replay complete: " + std::to_string(steps.size()) + " steps as recorded");
        return diverged || next < steps.size() ? 1 : 0;
    }

private:
    bool Sending() const { return !diverged && next < steps.size() && !steps[next].fromDriver; }

    void Report(const std::string& text) {
        std::fprintf(stderr, "ecrsim: replay: %s\n", text.c_str());
        std::fflush(stderr);
        log.Note("replay: " + text);
    }

    std::string Where(const ReplayStep& step) const {
        return "frame " + std::to_string(step.driverFrame) + " of the driver (run " + std::to_string(step.run) +
               ", log line " + std::to_string(step.logLine) + ")";
    }

    void OnBytes(const uint8_t* data, size_t count) {
        if (diverged) return;
        received.insert(received.end(), data, data + count);
        while (!received.empty() && !diverged) {
            if (next >= steps.size() || !steps[next].fromDriver) {
                std::string at = next >= steps.size() ? "after the end of the recording"
                                                      : "where the register sends next (log line " +
                                                            std::to_string(steps[next].logLine) + ")";
                Diverge("the driver sent " + HexText(received) + " " + at);
                return;
            }
            const std::vector<uint8_t>& want = steps[next].bytes;
            size_t common = std::min(want.size(), received.size());
            auto differ = std::mismatch(want.begin(), want.begin() + static_cast<long>(common), received.begin());
            if (differ.first != want.begin() + static_cast<long>(common)) {
                size_t at = static_cast<size_t>(differ.first - want.begin());
                char detail[96];
                std::snprintf(detail, sizeof detail, "byte %zu is %02x, the recording has %02x", at + 1, *differ.second,
                              *differ.first);
                size_t from = at > 8 ? at - 8 : 0;  // the excerpts start shortly before the difference
                Diverge(Where(steps[next]) + " differs: " + detail + "; from byte " + std::to_string(from + 1) +
                        " recorded " + HexText(want, from) + ", sent " + HexText(received, from));
                return;
            }
            if (received.size() < want.size()) return;  // the rest is still on its way
            log.In(want.data(), want.size());
            received.erase(received.begin(), received.begin() + static_cast<long>(want.size()));
            ++next;
            readyMs = NowMs();
        }
    }

    void OnDriverClosed() {
        if (!diverged && !received.empty() && next < steps.size() && steps[next].fromDriver)
            Diverge(Where(steps[next]) + " came short: recorded " + HexText(steps[next].bytes) + ", sent " +
                    HexText(received) + " before the driver closed the line");
        else if (!diverged && next < steps.size() && next > 0 && steps[next].run == steps[next - 1].run)
            Diverge("the driver closed the line at log line " + std::to_string(steps[next].logLine) +
                    ", before the end of its recorded run " + std::to_string(steps[next].run));
        received.clear();
        if (!line.DriverHasLine()) line.ResetAfterDriver();
    }

    void Diverge(const std::string& text) {
        Report(text);
        diverged = true;
    }

    Line& line;
    WireLog& log;
    const std::vector<ReplayStep>& steps;
    size_t next = 0;
    int64_t readyMs = 0;
    std::vector<uint8_t> received;
    bool diverged = false;
    bool driverSeen = false;
};

}  // namespace

bool LoadReplay(const std::string& text, std::vector<ReplayStep>& steps, std::string& error) {
    steps.clear();
    std::istringstream lines(text);
    std::string line;
    size_t number = 0;
    int run = 0, driverFrames = 0;
    std::vector<uint8_t> sofar;  // what the register has sent of its current frame
    while (std::getline(lines, line)) {
        ++number;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find(" started. Command line: ") != std::string::npos) ++run;
        ReplayStep step;
        double ms = 0;
        std::string damage;
        if (!ParseTraceLine(line, step.fromDriver, step.bytes, ms, damage)) continue;
        if (!damage.empty()) {
            error = "line " + std::to_string(number) + ": " + damage;
            return false;
        }
        if (step.bytes.empty()) continue;  // a read that timed out: the driver waits by itself
        step.logLine = number;
        step.run = std::max(run, 1);
        if (step.fromDriver) {
            step.driverFrame = ++driverFrames;
            sofar.clear();
        } else {
            // The driver's wait for the first bytes of a frame is the
            // register's pause; later pieces of the same frame follow at once.
            step.pauseMs = sofar.empty() ? static_cast<int64_t>(ms) : 0;
            sofar.insert(sofar.end(), step.bytes.begin(), step.bytes.end());
            if (EndsFrame(sofar)) sofar.clear();
        }
        steps.push_back(std::move(step));
    }
    if (steps.empty()) {
        error = "the log holds no byte trace (a debug log written with DbgErrorLog 1 to 3 is needed)";
        return false;
    }
    return true;
}

int RunReplay(Line& line, WireLog& log, const std::vector<ReplayStep>& steps) { return Player(line, log, steps).Run(); }

}  // namespace ecrsim
