#include "comport/ComPort.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/Config.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "platform/Clock.h"
#include "platform/SystemError.h"
#include "serial/BytePacing.h"
#include "serial/DeviceLog.h"
#include "serial/SerialDevices.h"
#include "tools/Stopwatch.h"
#include "tools/TextTools.h"

namespace {

constexpr char Module[] = "src/comport";
constexpr size_t QueueSize = 256;

// Closes a freshly opened device again when Open fails half-way, keeping
// the system error code for the exception that follows.
class OpenGuard {
public:
    explicit OpenGuard(serial::SerialDevice& device) : device(device) {}
    ~OpenGuard() {
        if (armed) {
            unsigned error = platform::LastSystemError();
            device.Close();
            platform::SetLastSystemError(error);
        }
    }
    void Dismiss() { armed = false; }

private:
    serial::SerialDevice& device;
    bool armed = true;
};

// Writes " %3d bytes in %6.1f ms :" for `ticks` of a counter running at
// `frequency`, as snprintf prints the milliseconds as a double, but with
// whole numbers: the float formatting cost more than the rest of a trace
// line. False, and nothing written, where only snprintf gives the same text:
// a tenth exactly half-way, a negative time or more than 10 s.
bool FormatTimedHeader(int count, int64_t ticks, int64_t frequency, char* out, size_t size) {
    // Beyond this the double's rounding could differ from exact arithmetic.
    constexpr int64_t LargestFrequency = 10'000'000'000LL;
    if (ticks < 0 || frequency <= 0 || frequency > LargestFrequency || ticks > frequency * 10) return false;
    const int64_t scaled = ticks * 10000;  // tenths of a millisecond, times frequency
    int64_t tenths = scaled / frequency;
    const int64_t rest = scaled % frequency;
    if (2 * rest == frequency) return false;
    if (2 * rest > frequency) ++tenths;
    std::snprintf(out, size, " %3d bytes in %4lld.%lld ms :", count, static_cast<long long>(tenths / 10),
                  static_cast<long long>(tenths % 10));
    return true;
}

// The device's own notes (a network connection, its telnet negotiation).
void LogDeviceNote(const std::string& text) { LogWrite(LogDebug, text, true); }

}  // namespace

ComPort& TheComPort() {
    static ComPort port;
    return port;
}

void ApplySettingsString(const std::string& text, serial::SerialSettings& settings) {
    // The parser takes every key, the handshake values "rts=hs" and "dtr=hs"
    // too, and changes nothing when any part cannot be read.
    std::string rest = text;
    const char* blanks = " \t\r\n\f\v";
    size_t first = rest.find_first_not_of(blanks);
    if (first == std::string::npos) return;
    rest = rest.substr(first, rest.find_last_not_of(blanks) - first + 1);
    if (!serial::ParseSerialSettings(rest, settings))
        throw SystemErrorException("Unable to decode serial port configuration string",
                                   platform::ErrorInvalidParameter);
}

std::string ComPort::DevicePath() const {
    std::string device = TheConfig().GetString("ComDevice", "");
    if (!device.empty()) return device;
    return serial::SerialPortName(PortNumber);
}

void ComPort::UseDevice(std::unique_ptr<serial::SerialDevice> replacement) { device = std::move(replacement); }

bool ComPort::IsOpen() const { return device && device->IsOpen(); }

void ComPort::Open() {
    PortNumber = TheConfig().GetInt("ComNumber", 1);
    GarbageByteInterval = TheConfig().GetInt("GarbageMaxByteInterval", 100);
    TraceNote = "";
    std::string path = DevicePath();
    LogWrite(LogDebug, "Opening serial port " + path, true);

    serial::SetDeviceLog(LogDeviceNote);
    if (!device) device = serial::CreateSystemSerialDevice();
    if (device->IsOpen()) device->Close();
    if (!device->Open(path)) throw SystemErrorException("Unable to open serial port");
    OpenGuard guard(*device);

    settings = serial::SerialSettings{};
    settings.binaryMode = true;
    settings.parityCheck = true;
    ApplySettingsString(DefaultSettings, settings);
    ApplySettingsString(TheConfig().GetString("ComSettings", ""), settings);
    if (!device->Apply(settings)) throw SystemErrorException("SetCommState failed");
    if (!device->SetQueueSizes(QueueSize, QueueSize)) throw SystemErrorException("SetupComm failed");

    uint32_t byteTime = serial::ByteTimeoutMs(settings, ByteTimeMultiplier);
    serial::SerialTimeouts values;
    values.readIntervalTimeout = byteTime;
    values.readTotalTimeoutMultiplier = byteTime;
    values.readTotalTimeoutConstant = ReadTotalConstant;
    values.writeTotalTimeoutMultiplier = byteTime;
    values.writeTotalTimeoutConstant = WriteTotalConstant;
    if (!device->SetTimeouts(values)) throw SystemErrorException("SetCommTimeouts failed");
    timeouts = values;
    guard.Dismiss();
}

void ComPort::Close() {
    if (!IsOpen()) return;
    LogWrite(LogDebug, "Closing serial port", true);
    device->Flush();
    platform::SleepMilliseconds(10);
    device->Close();
}

size_t ComPort::Read(uint8_t* buffer, size_t size) {
    if (buffer == nullptr || size == 0) THROW_INTERNAL_ERROR(Module);
    if (!IsOpen()) throw SystemErrorException("Serial port read error", platform::ErrorNotOpen);
    int64_t start = Stopwatch::Now();
    size_t received = 0;
    if (!device->Read(buffer, size, received)) throw SystemErrorException("Serial port read error");
    int64_t end = Stopwatch::Now();
    TraceTransfer("PC<-%s", buffer, received, start, end);
    return received;
}

size_t ComPort::ReadPending(uint8_t* buffer, size_t size, int byteInterval, int64_t maxMs, bool* stillComing) {
    if (buffer == nullptr || size == 0) THROW_INTERNAL_ERROR(Module);
    if (!IsOpen()) throw SystemErrorException("GetCommTimeouts failed", platform::ErrorNotOpen);
    serial::SerialTimeouts saved;
    if (!device->GetTimeouts(saved)) throw SystemErrorException("GetCommTimeouts failed");
    serial::SerialTimeouts immediate = saved;
    immediate.readIntervalTimeout = serial::TimeoutImmediate;
    immediate.readTotalTimeoutMultiplier = 0;
    immediate.readTotalTimeoutConstant = 0;
    if (!device->SetTimeouts(immediate)) throw SystemErrorException("SetCommTimeouts failed");

    int64_t start = Stopwatch::Now();
    const int64_t giveUpMs = maxMs >= 0 ? platform::MonotonicMilliseconds() + maxMs : -1;
    size_t total = 0;
    bool coming = false;
    while (total < size) {
        size_t received = 0;
        if (!device->Read(buffer + total, size - total, received)) {
            unsigned error = platform::LastSystemError();
            device->SetTimeouts(saved);
            throw SystemErrorException("Serial port read error", error);
        }
        total += received;
        coming = received > 0;
        if (received == 0) break;
        if (giveUpMs >= 0 && platform::MonotonicMilliseconds() >= giveUpMs) break;
        platform::SleepMilliseconds(byteInterval);
    }
    if (stillComing != nullptr) *stillComing = coming;
    int64_t end = Stopwatch::Now();
    if (total > 0) TraceTransfer("PC<-%s", buffer, total, start, end);
    if (!device->SetTimeouts(saved)) throw SystemErrorException("SetCommTimeouts failed");
    return total;
}

size_t ComPort::Write(const uint8_t* buffer, size_t count) {
    if (buffer == nullptr || count == 0) THROW_INTERNAL_ERROR(Module);
    if (!IsOpen()) throw SystemErrorException("Serial port write error", platform::ErrorNotOpen);

    // Whatever arrived unasked (a late reply, line noise) must not be taken
    // for the answer to this write. Noise that keeps coming is drained for
    // the phase's read time-out at most, then the write goes ahead.
    uint8_t scratch[QueueSize];
    TraceNote = "(ignored)";
    const int64_t drainStart = platform::MonotonicMilliseconds();
    size_t drained = 0;
    bool stillComing = false;
    try {
        drained =
            ReadPending(scratch, sizeof scratch, GarbageByteInterval, timeouts.readTotalTimeoutConstant, &stillComing);
    } catch (...) {
        TraceNote = "";
        throw;
    }
    TraceNote = "";
    if (stillComing) {
        const long long drainMs = platform::MonotonicMilliseconds() - drainStart;
        LogWrite(LogDebug,
                 FormatString("Stray input: %u bytes in %lld ms thrown away and still coming; the write goes ahead",
                              static_cast<unsigned>(drained), drainMs),
                 true);
    }

    int64_t start = Stopwatch::Now();
    size_t written = 0;
    if (!device->Write(buffer, count, written)) throw SystemErrorException("Serial port write error");
    int64_t end = Stopwatch::Now();
    TraceTransfer("PC->%s", buffer, written, start, end);
    return written;
}

void ComPort::SetReadTimeout(uint32_t ms) {
    if (!IsOpen()) throw SystemErrorException("GetCommTimeouts failed", platform::ErrorNotOpen);
    serial::SerialTimeouts values;
    if (!device->GetTimeouts(values)) throw SystemErrorException("GetCommTimeouts failed");
    values.readTotalTimeoutConstant = ms;
    if (!device->SetTimeouts(values)) throw SystemErrorException("SetCommTimeouts failed");
    timeouts = values;
}

void ComPort::RestoreReadTimeout() { SetReadTimeout(ReadTotalConstant); }

int ComPort::SetEofChar(char ch) {
    settings.eofChar = ch;
    if (!IsOpen()) throw SystemErrorException("SetCommState failed", platform::ErrorNotOpen);
    if (!device->Apply(settings)) throw SystemErrorException("SetCommState failed");
    return 1;
}

int ComPort::ClearEofChar() { return SetEofChar(0); }

bool ComPort::IsCarrierOn() {
    if (!IsOpen()) throw SystemErrorException("GetCommModemStatus failed", platform::ErrorNotOpen);
    uint32_t status = 0;
    if (!device->GetModemStatus(status)) throw SystemErrorException("GetCommModemStatus failed");
    return (status & serial::ModemStatusCarrier) != 0;
}

void ComPort::DropDtr() {
    if (!IsOpen()) throw SystemErrorException("EscapeCommFunction failed", platform::ErrorNotOpen);
    if (!device->ClearDtr()) throw SystemErrorException("EscapeCommFunction failed");
}

void ComPort::TraceTransfer(const char* directionFormat, const uint8_t* buffer, size_t count, int64_t start,
                            int64_t end) {
    if (!TraceWanted()) return;
    // The direction format holds the peer's name as "%s".
    std::string direction = directionFormat;
    size_t peerAt = direction.find("%s");
    if (peerAt != std::string::npos) direction.replace(peerAt, 2, TracePeerName);

    char header[64];
    int64_t frequency = Stopwatch::Frequency();
    if (frequency != 0 && start != 0 && end != 0 &&
        FormatTimedHeader(static_cast<int>(count), end - start, frequency, header, sizeof header)) {
        // Written by whole numbers.
    } else if (frequency != 0 && start != 0 && end != 0) {
        double ms = static_cast<double>(end - start) * 1000.0 / static_cast<double>(frequency);
        std::snprintf(header, sizeof header,
                      ms <= 10000.0 ? " %3d bytes in %6.1f ms :" : " %3d bytes in %6.0f ms :", static_cast<int>(count),
                      ms);
    } else {
        // As wide as the timed form.
        std::snprintf(header, sizeof header, " %3d bytes              :", static_cast<int>(count));
    }
    // The whole trace line goes to the log at once, and trace lines reach
    // the file in batches: a write per byte, and then one per line, made
    // the trace the largest part of the driver's CPU time.
    std::string line;
    line.reserve(1 + direction.size() + std::strlen(header) + TraceNote.size() + 1 + 3 * count);
    line += '\n';
    line += direction;
    line += header;
    if (!TraceNote.empty()) {
        line += ' ';
        line += TraceNote;
    }
    if (buffer != nullptr) {
        static const char digits[] = "0123456789abcdef";
        size_t at = line.size();
        line.resize(at + 3 * count);
        for (size_t i = 0; i < count; ++i, at += 3) {
            line[at] = ' ';
            line[at + 1] = digits[buffer[i] >> 4];
            line[at + 2] = digits[buffer[i] & 0x0F];
        }
    }
    LogTrace(line);
}
