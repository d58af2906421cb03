#include "ecrcomm/EcrComm.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "comport/ComPort.h"
#include "config/Config.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "modem/Modem.h"
#include "platform/Clock.h"
#include "serial/SerialDevice.h"
#include "serial/SerialDevices.h"
#include "tools/TextTools.h"

namespace {

// A time or multiplier setting; a negative value (a typing slip) counts as 0
// instead of wrapping round to a wait of weeks.
int TimeSetting(const char* key, int defaultValue) { return std::max(0, TheConfig().GetInt(key, defaultValue)); }

constexpr char Module[] = "src/ecrcomm";
constexpr char HexDigits[] = "0123456789ABCDEF";
constexpr uint8_t StatusCommand = 0x83;
constexpr size_t EndFrameLength = 3;
// The status text the level and name length are read from; a register may
// send more, which is noted and not used.
constexpr size_t StatusTextLength = 8;
constexpr uint32_t ReplyFrameAllowance = 1400;

void PutChecksumDigits(uint8_t checksum, uint8_t* out) {
    out[0] = static_cast<uint8_t>(HexDigits[checksum >> 4]);
    out[1] = static_cast<uint8_t>(HexDigits[checksum & 0x0F]);
}

// Received text for a log line: bytes outside printable ASCII as '?'.
std::string Printable(const char* text) {
    std::string shown;
    for (const char* p = text; *p != '\0'; ++p) {
        unsigned char byte = static_cast<unsigned char>(*p);
        shown += byte >= 0x20 && byte < 0x7F ? *p : '?';
    }
    return shown;
}

}  // namespace

EcrComm& TheEcrComm() {
    static EcrComm link;
    return link;
}

uint8_t ComputeChecksum(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr) THROW_INTERNAL_ERROR(Module);
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(-sum);
}

bool VerifyChecksum(const uint8_t* frame, size_t length) {
    if (frame == nullptr || length <= EndFrameLength) THROW_INTERNAL_ERROR(Module);
    uint8_t digits[2];
    PutChecksumDigits(ComputeChecksum(frame, length - 3), digits);
    return frame[length - 3] == digits[0] && frame[length - 2] == digits[1];
}

// ---------------------------------------------------------------- link life

void EcrComm::Open() {
    Config& config = TheConfig();
    ComPort& port = TheComPort();
    useModem = !config.GetString("ModemDialNumber", "").empty();
    if (useModem) {
        commMaxTime = TimeSetting("ModemEcrCommMaxTime", 1000);
        port.DefaultSettings = ModemSettingsString;
    } else {
        commMaxTime = TimeSetting("LocalEcrCommMaxTime", 100);
        port.DefaultSettings = DirectSettingsString;
    }
    port.ByteTimeMultiplier = TimeSetting("ComByteTimeMult", 100);
    port.WriteTotalConstant = static_cast<uint32_t>(TimeSetting("ComWTTC", 1000));
    port.ReadTotalConstant = static_cast<uint32_t>(commMaxTime) + ReplyFrameAllowance;
    // A raw TCP line has neither carrier nor DTR: dialling on it could
    // never be seen to connect nor be hung up.
    if (useModem && !serial::DeviceHasModemLines(port.DevicePath()))
        throw DriverErrorException("A modem cannot be used on " + port.DevicePath() +
                                   ": a socket:// line has no modem lines (use rfc2217://)");
    port.Open();
    if (useModem) TheModem().Connect();
    port.SetEofChar(static_cast<char>(CR));
}

void EcrComm::Init() {
    ReadSettings();
    ReadStatus();
}

void EcrComm::ReadSettings() {
    Config& config = TheConfig();
    retryCount = config.GetInt("ComRetryCount", 5);
    nakSleepTime = config.GetInt("ComNakSleepTime", 250);
    garbageSleepTime = config.GetInt("ComGarbageSleepTime", 100);
    sleepBetweenCommands = config.GetInt("SleepBetweenCommands", 400);
}

void EcrComm::ReadStatus() {
    ComPort& port = TheComPort();
    LogWrite(LogDebug, "----- Reading ECR status -----", true);
    port.SetReadTimeout(static_cast<uint32_t>(commMaxTime));
    bool answered = true;
    try {
        SendCommand(StatusCommand);
    } catch (const CommunicationException&) {
        // An ECR that does not answer the status still gets the command,
        // unless the INI says its status is needed.
        LogWrite(LogBoth, "ECR didn't respond to status request.", true);
        if (TheConfig().GetInt("StatusRequired", 0) != 0)
            throw CommunicationException("ECR status required (StatusRequired = 1), no answer: nothing was sent");
        answered = false;
    }
    port.SetReadTimeout(static_cast<uint32_t>(commMaxTime) + ReplyFrameAllowance);

    // Room for the longest variable frame, so that a long status text is
    // read whole (and acknowledged) instead of breaking the run.
    char status[VariableRestLength + 1] = {};
    if (answered) {
        ReadFrame(status, VariableRestLength, VariableFrameLength);
        char endData[EndFrameLength + 1];
        ReadFrame(endData, EndFrameLength, EndFrameLength);
    }
    size_t length = std::strlen(status);
    if (length > StatusTextLength)
        LogWrite(LogDebug,
                 FormatString("ECR status text has %u characters, only the first four are used: %s",
                              static_cast<unsigned>(length), Printable(status).c_str()),
                 true);
    LogWrite(LogDebug, "------------------------------", true);
    platform::SleepMilliseconds(sleepBetweenCommands);

    ecrLevel = 0;
    ecrLanguage = -1;
    ecrNameLength = 20;
    // Each pair of characters is read as two hexadecimal-like digits.
    auto digit = [&](size_t i) { return static_cast<unsigned char>(status[i]) - '0'; };
    if (length >= 2) ecrLevel = 16 * digit(0) + digit(1);
    if (length >= 4) ecrNameLength = 16 * digit(2) + digit(3);
}

void EcrComm::SetOperationTimeout(int32_t ms) {
    TheComPort().SetReadTimeout(static_cast<uint32_t>(ms) + static_cast<uint32_t>(commMaxTime));
}

void EcrComm::Close() {
    ComPort& port = TheComPort();
    if (port.IsOpen()) {
        try {
            port.ClearEofChar();
        } catch (const SystemErrorException& error) {
            // The port is closed next anyway (a hung-up line refuses new
            // settings); closing must still finish so the statistics follow.
            LogWrite(LogDebug, error.GetLogText(), true);
            LogWrite(LogDebug, error.GetDebugDetail(), true);
        }
    }
    if (useModem) TheModem().Disconnect();
    platform::SleepMilliseconds(sleepBetweenCommands);
    port.Close();
}

void EcrComm::LogStatistics(int destinations) const {
    char line[160];
    int used = std::snprintf(line, sizeof line, "I/O statistics : OUT frames = %d, IN frames = %d", stats.outFrames,
                             stats.inFrames);
    auto append = [&](const char* format, int value) {
        if (value != 0 && used >= 0 && static_cast<size_t>(used) < sizeof line)
            used += std::snprintf(line + used, sizeof line - used, format, value);
    };
    append(", NAK = %d", stats.nakCount);
    append(", LOST = %d", stats.lostCount);
    append(", GARB = %d", stats.garbageCount);
    LogWrite(destinations, line, true);
}

int EcrComm::ErrorCount() const { return stats.nakCount + stats.lostCount + stats.garbageCount; }

// ------------------------------------------------------------------- frames

void EcrComm::SendCommand(uint8_t commandCode) {
    readBlockChecksum = 0;
    readBlockMatched = false;
    frameBuffer[0] = STX;
    frameBuffer[1] = commandCode;
    PutChecksumDigits(ComputeChecksum(frameBuffer, 2), frameBuffer + 2);
    frameBuffer[4] = ETX;
    SendFrame(frameBuffer, 5);
}

void EcrComm::SendDataFrame(const void* data, uint16_t length) {
    if (data == nullptr || length > MaxDataFrameLength) THROW_INTERNAL_ERROR(Module);
    std::memmove(frameBuffer, data, length);
    uint8_t checksum = ComputeChecksum(frameBuffer, length);
    PutChecksumDigits(checksum, frameBuffer + length);
    frameBuffer[length + 2] = CR;
    blockChecksum = static_cast<uint8_t>(blockChecksum + checksum);
    SendFrame(frameBuffer, length + 3u);
}

void EcrComm::SendEndFrame() {
    PutChecksumDigits(blockChecksum, frameBuffer);
    frameBuffer[2] = SUB;
    SendFrame(frameBuffer, EndFrameLength);
}

void EcrComm::SendFrame(const uint8_t* bytes, size_t length) {
    int attempt = 0;
    while (true) {
        uint8_t reply = 0;
        bool replied = WriteBytes(bytes, length) && ReadBytes(&reply, 1);
        if (!replied || reply == 0x00) {
            LogWrite(LogDebug, "ECR response lost", true);
            throw CommunicationException("Data frame send error");
        }
        if (reply == ACK) return;
        if (reply == NAK) {
            ++stats.nakCount;
            LogWrite(LogDebug, "NAK received", true);
            platform::SleepMilliseconds(nakSleepTime);
        } else {
            ++stats.garbageCount;
            LogWrite(LogDebug, "Garbage received", true);
            platform::SleepMilliseconds(garbageSleepTime);
        }
        if (++attempt > retryCount) throw CommunicationException("Data frame send error");
    }
}

bool EcrComm::ReadFrame(char* destination, uint16_t largestLength, uint16_t expectedLength) {
    if (destination == nullptr || largestLength < EndFrameLength) THROW_INTERNAL_ERROR(Module);
    // A fixed length must fit the frame buffer; refused before anything is read.
    if (expectedLength != VariableFrameLength && (expectedLength < EndFrameLength || expectedLength > FrameBufferSize))
        THROW_INTERNAL_ERROR(Module);

    int attempt = 0;
    while (true) {
        size_t frameLength = 0;
        bool complete = false;
        bool garbage = false;
        bool endFrame = false;
        if (ReadBytes(frameBuffer, EndFrameLength)) {
            if (frameBuffer[2] == SUB) {
                frameLength = EndFrameLength;
                complete = true;
                endFrame = true;
            } else {
                --stats.inFrames;  // the frame counts once, when it is complete
                if (expectedLength == VariableFrameLength) {
                    // Checksum digits "00" and then silence: the empty data frame.
                    size_t rest = 0;
                    bool more = true;
                    if (frameBuffer[0] == '0' && frameBuffer[1] == '0') {
                        more = NextByteFollows(frameBuffer + EndFrameLength);
                        rest = more ? 1 : 0;
                    }
                    if (!more) {
                        ++stats.inFrames;
                    } else if (rest == 0) {
                        rest = ReadUpTo(frameBuffer + EndFrameLength, VariableRestLength);
                    } else {
                        // The byte that followed is part of the frame already: the frame
                        // arrived, whatever comes with it.
                        rest += TheComPort().Read(frameBuffer + EndFrameLength + rest, VariableRestLength - rest);
                        ++stats.inFrames;
                    }
                    complete = rest > 0 || !more;
                    frameLength = EndFrameLength + rest;
                } else {
                    complete = ReadBytes(frameBuffer + EndFrameLength, expectedLength - EndFrameLength);
                    frameLength = expectedLength;
                }
                garbage = complete && frameLength > EndFrameLength && !VerifyChecksum(frameBuffer, frameLength);
            }
        }
        if (!complete) {
            LogWrite(LogDebug, "ECR response lost", true);
            throw CommunicationException("Data frame read error");
        }
        if (!garbage) {
            size_t dataLength = frameLength - EndFrameLength;
            if (dataLength > largestLength) THROW_INTERNAL_ERROR(Module);
            uint8_t ack = ACK;
            WriteBytes(&ack, 1);
            TallyReadBlock(frameLength, endFrame);
            std::memcpy(destination, frameBuffer, dataLength);
            destination[dataLength] = '\0';
            lastDataLength = dataLength;
            return !endFrame;
        }
        ++stats.garbageCount;
        --stats.inFrames;
        LogWrite(LogDebug, "Garbage received", true);
        platform::SleepMilliseconds(garbageSleepTime);
        if (++attempt > retryCount) throw CommunicationException("Data frame read error");
    }
}

bool EcrComm::NextByteFollows(uint8_t* buffer) {
    ComPort& port = TheComPort();
    const uint32_t phaseTimeout = port.Timeouts().readTotalTimeoutConstant;
    // Without its constant part the read of one byte waits one byte time.
    port.SetReadTimeout(0);
    size_t received = 0;
    try {
        received = port.Read(buffer, 1);
    } catch (...) {
        port.SetReadTimeout(phaseTimeout);
        throw;
    }
    port.SetReadTimeout(phaseTimeout);
    return received == 1;
}

void EcrComm::TallyReadBlock(size_t frameLength, bool endFrame) {
    if (endFrame) {
        uint8_t digits[2];
        PutChecksumDigits(readBlockChecksum, digits);
        readEndDigits[0] = frameBuffer[0];
        readEndDigits[1] = frameBuffer[1];
        readBlockMatched = frameBuffer[0] == digits[0] && frameBuffer[1] == digits[1];
    } else {
        uint8_t checksum = ComputeChecksum(frameBuffer, frameLength - EndFrameLength);
        readBlockChecksum = static_cast<uint8_t>(readBlockChecksum + checksum);
    }
}

// ------------------------------------------------------ counted port access

bool EcrComm::WriteBytes(const uint8_t* bytes, size_t count) {
    if (bytes == nullptr) THROW_INTERNAL_ERROR(Module);
    if (TheComPort().Write(bytes, count) == count) {
        ++stats.outFrames;
        return true;
    }
    ++stats.lostCount;
    return false;
}

bool EcrComm::ReadBytes(uint8_t* buffer, size_t count) {
    if (buffer == nullptr) THROW_INTERNAL_ERROR(Module);
    if (TheComPort().Read(buffer, count) == count) {
        ++stats.inFrames;
        return true;
    }
    ++stats.lostCount;
    return false;
}

size_t EcrComm::ReadUpTo(uint8_t* buffer, size_t limit) {
    if (buffer == nullptr || limit == 0) THROW_INTERNAL_ERROR(Module);
    size_t received = TheComPort().Read(buffer, limit);
    if (received > 0) ++stats.inFrames;
    else ++stats.lostCount;
    return received;
}
