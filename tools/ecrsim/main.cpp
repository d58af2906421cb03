// ecrsim: the simulated cash register. Plays the register's side of the
// driver's serial protocol on a pseudo-terminal or a serial device.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <vector>

#include "Clock.h"
#include "Faults.h"
#include "Line.h"
#include "ModemFront.h"
#include "Options.h"
#include "Protocol.h"
#include "Register.h"
#include "Replay.h"
#include "WireLog.h"

using namespace ecrsim;

namespace {

// With --runs: the line counts as idle after this long without a byte.
constexpr int64_t RunsIdleMs = 500;

// How long a dropped line waits for the driver to take what was sent.
constexpr int64_t DropDeliveryMs = 2000;

void OnStopSignal(int) { StopRequested = 1; }

// A pty throws away what its slave has not read yet when the master closes,
// while on a wire the bytes a register sent before it went dead still
// arrive: wait until the driver has read them.
void AwaitDelivery(const Line& line) {
    if (line.SlaveFd() < 0) return;
    const int64_t giveUp = NowMs() + DropDeliveryMs;
    int unread = 0;
    while (!StopRequested && NowMs() < giveUp && ioctl(line.SlaveFd(), FIONREAD, &unread) == 0 && unread > 0)
        SleepUntilNs(NowNs() + 2000000);
}

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: poll returns at once
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return static_cast<bool>(std::ifstream(path));
}

int Fail(const std::string& message) {
    std::printf("ecrsim: %s\n", message.c_str());
    std::fflush(stdout);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        if (error.empty()) {
            std::fputs(UsageText(), stdout);
            return 0;
        }
        std::printf("ecrsim: %s\n%s", error.c_str(), UsageText());
        return 2;
    }
    WireLog log;
    if (!options.logPath.empty() && !log.Open(options.logPath)) return Fail("cannot open log " + options.logPath);
    Faults faults;
    for (const auto& fault : options.faults)
        if (!faults.Add(fault, error)) return Fail(error);
    faults.note = [&log](const std::string& text) { log.Note(text); };
    if (options.chaos) faults.SetChaos(*options.chaos);
    for (const auto& [code, path] : options.serve)
        if (!std::ifstream(path)) return Fail("cannot read " + path);
    std::map<int, std::vector<std::string>> preloads;
    for (const auto& [code, path] : options.preload)
        if (!ReadLines(path, preloads[code])) return Fail("cannot read " + path);

    std::vector<ReplayStep> replay;
    if (!options.replayPath.empty()) {
        std::ifstream recorded(options.replayPath, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(recorded)), std::istreambuf_iterator<char>());
        if (!recorded) return Fail("cannot read " + options.replayPath);
        if (!LoadReplay(text, replay, error)) return Fail(options.replayPath + ": " + error);
    }

    InstallSignals();
    Line line(log);
    line.SetBaud(options.baud);
    bool opened = options.linkPath.empty() ? line.OpenDevice(options.devicePath, options.baud, error)
                                           : line.OpenPty(options.linkPath, error);
    if (!opened) {
        line.Close();
        return Fail(error);
    }

    Register ecr(options.statusText, options.serve, options.showLogo);
    ecr.note = [&log](const std::string& text) { log.Note(text); };
    for (const auto& [code, lines] : preloads) ecr.Store(static_cast<uint8_t>(code), lines);
    ecr.SetStatePath(options.statePath);
    // The first line tells whoever waits for the register that it is ready.
    std::printf("%s\n", line.IsPty() ? line.SlavePath().c_str() : options.devicePath.c_str());
    std::fflush(stdout);
    if (!replay.empty()) {
        int result = RunReplay(line, log, replay);
        line.Close();
        return result;
    }
    Protocol protocol(line, log, ecr, faults, options.statusText);
    protocol.beforeDrop = [&line] { AwaitDelivery(line); };
    std::optional<ModemFront> modem;
    if (options.modem.mode != ModemMode::None) modem.emplace(line, log, protocol, options.modem);

    // The driver's last close of the line ends its run.
    auto takeOpensAndCloses = [&] {
        if (line.TakeNotifyEvents() >= 0) return;
        protocol.OnLineClosed();
        if (modem) modem->Hangup();
        // Unless the next run already has the line and its own settings on it.
        if (!line.DriverHasLine()) line.ResetAfterDriver();
    };

    int64_t lastInputMs = NowMs();
    uint8_t buffer[4096];
    while (!StopRequested) {
        int64_t now = NowMs();
        int64_t deadline = protocol.NextDeadline();
        if (modem && modem->NextDeadline() >= 0)
            deadline = deadline < 0 ? modem->NextDeadline() : std::min(deadline, modem->NextDeadline());
        int64_t timeout = deadline < 0 ? 1000 : std::max<int64_t>(0, deadline - now);
        if (options.runs > 0 || (modem && !line.IsPty())) timeout = std::min<int64_t>(timeout, 100);
        if (protocol.Flooding()) timeout = std::min<int64_t>(timeout, 5);

        pollfd fds[2] = {{line.Fd(), static_cast<short>(POLLIN | (protocol.Flooding() ? POLLOUT : 0)), 0},
                         {line.NotifyFd(), POLLIN, 0}};
        int ready = poll(fds, line.NotifyFd() >= 0 ? 2 : 1, static_cast<int>(timeout));
        if (ready < 0) {
            if (errno == EINTR) continue;  // a signal: the loop condition decides
            log.Note(std::string("poll failed: ") + std::strerror(errno));
            break;  // rather than spin on an error that stays
        }

        // Opens and closes first, so a closed run is finished before new input.
        takeOpensAndCloses();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            size_t n;
            while ((n = line.Receive(buffer, sizeof buffer)) > 0) {
                lastInputMs = NowMs();
                if (modem) modem->OnBytes(buffer, n, lastInputMs);
                else protocol.OnBytes(buffer, n, lastInputMs);
                if (protocol.ExitRequested()) break;
                // The run may have ended (and the next one begun) while these
                // bytes were handled: its close comes before further bytes.
                takeOpensAndCloses();
            }
        }
        if (line.Broken()) {
            log.Note("line closed");
            break;
        }
        if (protocol.Flooding() && (fds[0].revents & POLLOUT)) protocol.FloodStep(NowMs());
        protocol.OnTimer(NowMs());
        if (modem) {
            modem->OnTimer(NowMs());
            modem->CheckPeerLines();
        }
        if (protocol.ExitRequested()) {
            log.Note("line dropped");
            break;
        }
        if (options.runs > 0 && protocol.StatusAnswered() >= options.runs && protocol.Quiet() &&
            NowMs() - lastInputMs >= RunsIdleMs)
            break;
    }
    line.Close();
    std::fflush(stdout);
    return 0;
}
