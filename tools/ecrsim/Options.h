#pragma once
// The command line of ecrsim.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Chaos.h"

namespace ecrsim {

enum class ModemMode { None, Connect, Busy, NoCarrier, Silent };

struct ModemOptions {
    ModemMode mode = ModemMode::None;
    int delayMs = 0;
    bool echo = true;
};

struct Options {
    std::string linkPath;
    std::string devicePath;
    std::string statusText = "0314";
    int baud = 0;  // 0: no wire-speed emulation
    std::string logPath;
    std::map<int, std::string> serve;    // ECR code -> file of frame lines
    std::vector<std::string> faults;     // fault specifications, parsed by Faults
    std::optional<ChaosSettings> chaos;  // random faults for every run
    std::string statePath;               // where the register writes what it holds
    std::map<int, std::string> preload;  // send code -> file of lines stored at start
    ModemOptions modem;
    int runs = 0;  // 0: serve until killed
    bool showLogo = false;
    std::string replayPath;  // a driver's debug log to play back instead of the register
};

// Parses argv; on failure returns false with a message in `error`.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

// Parses a whole decimal number or a 0x-prefixed hexadecimal one.
bool ParseNumber(const std::string& text, long& value);

const char* UsageText();

}  // namespace ecrsim
