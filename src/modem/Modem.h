#pragma once
// Dialling the ECR through a Hayes-style modem.
#include <cstdint>
#include <string>

class Modem {
public:
    std::string DialCommand;
    std::string PreferencesSection;
    std::string ReplyTranslationSection;
    int32_t ConnectMaxTime = 0;
    int32_t DisconnectTime = 0;
    int32_t FastReplyWaitTime = 0;
    int32_t ReplyByteInterval = 0;
    bool Connected = false;

    void Connect();     // ModemException on failure
    void Disconnect();  // nothing unless connected
    void LoadPreferences();
    void Send(const char* text);
    std::string ReadReply();
    // The reply that follows `firstByte`, which was already read from the
    // line; the byte is part of the reply.
    std::string ReadReply(uint8_t firstByte);
    std::string StripEcho(const std::string& reply) const;
    int TranslateReply(const std::string& reply) const;

private:
    std::string CollectReply(uint8_t* buffer, size_t alreadyRead);
};

Modem& TheModem();

// Exit code of a failed connection when the reply has no usable entry in the
// reply translation section.
inline constexpr int ModemDefaultExitCode = 3;

// True when `reply` can be written as a key of an INI line, so looking it up
// can only find that very key: not empty, no control characters, no '=', no
// blanks at either end, and not starting with '[' (a section header) or ';'
// (a comment).
bool IsUsableReplyKey(const std::string& reply);
