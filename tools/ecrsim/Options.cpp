#include "Options.h"

#include <cerrno>
#include <cstdlib>

namespace ecrsim {

bool ParseNumber(const std::string& text, long& value) {
    if (text.empty()) return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* start = text.c_str() + (hex ? 2 : 0);
    if (*start == '\0' || *start == '-' || *start == '+' || *start == ' ') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(start, &end, hex ? 16 : 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

namespace {

bool ParseModem(const std::string& text, ModemOptions& modem, std::string& error) {
    size_t start = 0;
    bool first = true;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (first) {
            if (part == "connect") modem.mode = ModemMode::Connect;
            else if (part == "busy") modem.mode = ModemMode::Busy;
            else if (part == "nocarrier") modem.mode = ModemMode::NoCarrier;
            else if (part == "silent") modem.mode = ModemMode::Silent;
            else {
                error = "unknown modem mode '" + part + "'";
                return false;
            }
            first = false;
        } else if (part.rfind("delay=", 0) == 0) {
            long delay = 0;
            if (!ParseNumber(part.substr(6), delay) || delay < 0 || delay > 3600000) {
                error = "bad modem delay '" + part + "'";
                return false;
            }
            modem.delayMs = static_cast<int>(delay);
        } else if (part == "echo=off") {
            modem.echo = false;
        } else if (part == "echo=on") {
            modem.echo = true;
        } else {
            error = "unknown modem setting '" + part + "'";
            return false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--show-logo") {
            options.showLogo = true;
            continue;
        }
        if (name == "--help" || name == "-h") {
            error = "";
            return false;
        }
        if (i + 1 >= argc) {
            error = "option " + name + " needs a value";
            return false;
        }
        std::string value = argv[++i];
        long number = 0;
        if (name == "--link") {
            options.linkPath = value;
        } else if (name == "--device") {
            options.devicePath = value;
        } else if (name == "--status") {
            options.statusText = value;
        } else if (name == "--log") {
            options.logPath = value;
        } else if (name == "--baud") {
            if (!ParseNumber(value, number) || number < 50 || number > 4000000) {
                error = "bad baud rate '" + value + "'";
                return false;
            }
            options.baud = static_cast<int>(number);
        } else if (name == "--runs") {
            if (!ParseNumber(value, number) || number < 1 || number > 1000000) {
                error = "bad run count '" + value + "'";
                return false;
            }
            options.runs = static_cast<int>(number);
        } else if (name == "--serve" || name == "--preload") {
            size_t equals = value.find('=');
            if (equals == std::string::npos || !ParseNumber(value.substr(0, equals), number) || number < 0 ||
                number > 255 || equals + 1 >= value.size()) {
                error = "bad " + name + " '" + value + "' (CODE=FILE)";
                return false;
            }
            (name == "--serve" ? options.serve : options.preload)[static_cast<int>(number)] = value.substr(equals + 1);
        } else if (name == "--chaos") {
            ChaosSettings chaos;
            if (!ParseChaos(value, chaos, error)) return false;
            options.chaos = chaos;
        } else if (name == "--state") {
            options.statePath = value;
        } else if (name == "--replay") {
            options.replayPath = value;
        } else if (name == "--fault") {
            options.faults.push_back(value);
        } else if (name == "--modem") {
            if (!ParseModem(value, options.modem, error)) return false;
        } else {
            error = "unknown option " + name;
            return false;
        }
    }
    if (options.linkPath.empty() == options.devicePath.empty()) {
        error = "give exactly one of --link PATH and --device PATH";
        return false;
    }
    if (options.statusText.size() > 125) {
        error = "status text longer than a frame";
        return false;
    }
    return true;
}

const char* UsageText() {
    return "usage: ecrsim (--link PATH | --device PATH) [--status TEXT] [--baud N] [--log FILE]\n"
           "              [--serve CODE=FILE]... [--fault FAULT]... [--modem MODE[,delay=MS][,echo=off]]\n"
           "              [--runs N] [--show-logo] [--chaos SEED[,RATE]] [--state FILE]\n"
           "              [--preload CODE=FILE]... [--replay dbgerror.log]\n";
}

}  // namespace ecrsim
