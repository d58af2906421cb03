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
    std::string StripEcho(const std::string& reply) const;
    int TranslateReply(const std::string& reply) const;
};

Modem& TheModem();
