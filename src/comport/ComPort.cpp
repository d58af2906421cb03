#include "comport/ComPort.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

#include "config/Config.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "platform/Clock.h"
#include "platform/SystemError.h"
#include "tools/Stopwatch.h"
#include "tools/TextTools.h"
#include "serial/SerialDevices.h"
#include "serial/DeviceLog.h"

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

// Removes the first occurrence of `key`; true when it was there.
bool TakeOut(std::string& text, const std::string& key) {
    size_t at = text.find(key);
    if (at == std::string::npos) return false;
    text.erase(at, key.size());
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
    std::string rest = text;
    for (char& ch : rest) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    // The handshake values are honoured here whatever the parser would make of them.
    if (TakeOut(rest, "rts=hs")) settings.rtsControl = serial::LineControl::Handshake;
    if (TakeOut(rest, "dtr=hs")) settings.dtrControl = serial::LineControl::Handshake;
    const char* blanks = " \t\r\n\f\v";
    size_t first = rest.find_first_not_of(blanks);
    if (first == std::string::npos) return;
    rest = rest.substr(first, rest.find_last_not_of(blanks) - first + 1);
    if (!serial::ParseSerialSettings(rest, settings))
        throw SystemErrorException("Unable to decode serial port configuration string", platform::ErrorInvalidParameter);
}

uint32_t ByteTime(const serial::SerialSettings& settings, int32_t multiplier) {
    if (settings.baudRate == 0) return 1;
    double ms = serial::BitsPerCharacter(settings) * 1000.0 / settings.baudRate * multiplier;
    // Stay below the value that means "return at once" for the byte interval.
    const double largest = static_cast<double>(std::numeric_limits<uint32_t>::max() - 1);
    if (ms >= largest) return static_cast<uint32_t>(largest);
    uint32_t truncated = ms > 0 ? static_cast<uint32_t>(ms) : 0;
    return truncated == 0 ? 1 : truncated;
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

    uint32_t byteTime = ByteTime(settings, ByteTimeMultiplier);
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
        drained = ReadPending(scratch, sizeof scratch, GarbageByteInterval, timeouts.readTotalTimeoutConstant,
                              &stillComing);
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
    char direction[32];
    std::snprintf(direction, sizeof direction, directionFormat, TracePeerName.c_str());

    char duration[32] = "            ";  // as wide as the timed form
    int64_t frequency = Stopwatch::Frequency();
    if (frequency != 0 && start != 0 && end != 0) {
        double ms = static_cast<double>(end - start) * 1000.0 / static_cast<double>(frequency);
        std::snprintf(duration, sizeof duration, ms <= 10000.0 ? "in %6.1f ms" : "in %6.0f ms", ms);
    }

    char header[96];
    std::snprintf(header, sizeof header, "\n%s %3d bytes %s :", direction, static_cast<int>(count), duration);
    // The whole trace line goes to the log in one write: a write per byte
    // made the trace the largest part of the driver's CPU time.
    std::string line = header;
    if (!TraceNote.empty()) line += " " + TraceNote;
    if (buffer != nullptr) {
        static const char digits[] = "0123456789abcdef";
        line.reserve(line.size() + 3 * count);
        for (size_t i = 0; i < count; ++i) {
            line += ' ';
            line += digits[buffer[i] >> 4];
            line += digits[buffer[i] & 0x0F];
        }
    }
    LogWrite(LogDebug, line, false);
}
