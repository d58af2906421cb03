#include "modem/Modem.h"

#include <cstdio>
#include <cstring>

#include "comport/ComPort.h"
#include "config/Config.h"
#include "config/Profile.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "platform/Clock.h"
#include "tools/TextTools.h"

namespace {

constexpr char ModuleName[] = "src/modem";
constexpr char PreferencesBase[] = "ModemPreferences";
constexpr char TranslationBase[] = "ModemDialReplyTranslation";

// Replies are collected into a zeroed buffer of this size; one byte always
// stays free for the terminating zero.
constexpr size_t ReplyBufferSize = 256;

std::string WithSuffix(const char* base, const std::string& suffix) {
    return suffix.empty() ? std::string(base) : std::string(base) + "_" + suffix;
}

// A negative time in the INI would turn into an endless wait on the port.
int32_t NotNegative(int value) { return value < 0 ? 0 : value; }

}  // namespace

Modem& TheModem() {
    static Modem modem;
    return modem;
}

bool IsUsableReplyKey(const std::string& reply) {
    if (reply.empty() || reply.size() > config::ProfileValueMaxLength) return false;
    if (reply.front() == '[' || reply.front() == ';') return false;
    if (reply.front() == ' ' || reply.back() == ' ') return false;
    for (char ch : reply) {
        unsigned char byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7F || ch == '=') return false;
    }
    return true;
}

void Modem::LoadPreferences() {
    Config& config = TheConfig();
    const std::string ecrSection = config.GetSection();

    const std::string dialNumber = config.GetString("ModemDialNumber", "");
    ConnectMaxTime = NotNegative(config.GetInt("ModemConnectMaxTime", 65000));
    DisconnectTime = NotNegative(config.GetInt("ModemDisconnectTime", 1500));
    FastReplyWaitTime = NotNegative(config.GetInt("ModemFastReplyWaitTime", 100));
    ReplyByteInterval = NotNegative(config.GetInt("ModemReplyMaxByteInterval", 100));
    const std::string preferences = config.GetString("ModemPreferences", "");

    PreferencesSection = WithSuffix(PreferencesBase, preferences);
    config.SetSection(PreferencesSection, false);
    DialCommand = config.GetString("DialString", "ATDT") + dialNumber;
    ReplyTranslationSection = WithSuffix(TranslationBase, config.GetString("DialReplyTranslation", ""));

    config.SetSection(ecrSection, false);
}

void Modem::Send(const char* text) {
    if (text == nullptr) THROW_INTERNAL_ERROR(ModuleName);
    const size_t length = std::strlen(text);
    if (length == 0) return;
    TheComPort().Write(reinterpret_cast<const uint8_t*>(text), length);
}

std::string Modem::ReadReply() {
    uint8_t buffer[ReplyBufferSize] = {};
    return CollectReply(buffer, 0);
}

std::string Modem::ReadReply(uint8_t firstByte) {
    uint8_t buffer[ReplyBufferSize] = {};
    buffer[0] = firstByte;
    return CollectReply(buffer, 1);
}

std::string Modem::CollectReply(uint8_t* buffer, size_t alreadyRead) {
    const size_t capacity = ReplyBufferSize - 1;
    size_t count = alreadyRead;
    if (count < capacity) count += TheComPort().ReadPending(buffer + count, capacity - count, ReplyByteInterval);
    if (count == 0) return "";
    if (count > capacity) count = capacity;

    // A NUL from a noisy line counts as a line end: it must neither cut off
    // the rest of the reply nor reach the logs and the INI lookup.
    for (size_t i = 0; i < count; ++i)
        if (buffer[i] == 0) buffer[i] = '\n';
    buffer[count] = 0;

    char* text = reinterpret_cast<char*>(buffer);
    TrimChars(text, " \r\n");
    ReplaceChars(text, "\r\n", ' ');
    std::string reply(text);
    LogWrite(LogDebug, "Modem reply: " + reply, true);
    return reply;
}

std::string Modem::StripEcho(const std::string& reply) const {
    std::string rest = reply;
    if (rest.compare(0, DialCommand.size(), DialCommand) == 0) rest.erase(0, DialCommand.size());
    const size_t firstNonBlank = rest.find_first_not_of(' ');
    return firstNonBlank == std::string::npos ? std::string() : rest.substr(firstNonBlank);
}

int Modem::TranslateReply(const std::string& reply) const {
    // A reply that no INI line can hold as its key has no entry; it is not
    // handed to the INI reader at all.
    if (!IsUsableReplyKey(reply)) return ModemDefaultExitCode;

    Config& config = TheConfig();
    const std::string previous = config.GetSection();
    config.SetSection(ReplyTranslationSection, false);
    const int code = config.GetInt(reply, ModemDefaultExitCode);
    config.SetSection(previous, false);

    // 0 (also what a value that is no number reads as) would report the
    // failed connection as a completed run, and the process keeps only the
    // low eight bits of its exit code.
    if (code < 1 || code > 255) return ModemDefaultExitCode;
    return code;
}

void Modem::Connect() {
    LoadPreferences();
    LogWrite(LogDebug, "Modem dial string: " + DialCommand, true);
    std::fputs("Connecting...", stdout);
    std::fflush(stdout);
    TracePeerName = "MDM";

    ComPort& port = TheComPort();
    Send((DialCommand + "\r").c_str());
    platform::SleepMilliseconds(FastReplyWaitTime);
    std::string reply = StripEcho(ReadReply());

    if (reply.empty()) {
        // Only the echo (or nothing) so far: wait for the modem's answer.
        port.SetReadTimeout(static_cast<uint32_t>(ConnectMaxTime));
        uint8_t firstByte = 0;
        if (port.Read(&firstByte, 1) == 0) {
            std::fputs("\r", stdout);
            throw ModemException("Connection failure: CONNECTION TIMEOUT", ModemDefaultExitCode);
        }
        port.RestoreReadTimeout();
        // The byte that ended the wait starts the answer; usually it is the
        // CR of the answer's leading line end, which the trim removes.
        reply = ReadReply(firstByte);
    }

    if (!port.IsCarrierOn()) {
        std::fputs("\r", stdout);
        throw ModemException("Connection failure: " + reply, TranslateReply(reply));
    }

    std::printf("\rConnected: %s\n\n", reply.c_str());
    std::fflush(stdout);
    LogWrite(LogStandard, "Connected: " + reply, true);
    LogWrite(LogDebug, "Modem is connected", true);
    TracePeerName = "ECR";
    Connected = true;
}

void Modem::Disconnect() {
    if (!Connected) return;
    LogWrite(LogDebug, "Disconnecting modem", true);
    TheComPort().DropDtr();
    platform::SleepMilliseconds(DisconnectTime);
    Connected = false;
}
