#include "Chaos.h"

#include "Options.h"

namespace ecrsim {

uint64_t SplitMix64::Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool ParseChaos(const std::string& text, ChaosSettings& settings, std::string& error) {
    size_t comma = text.find(',');
    long seed = 0, rate = settings.rate;
    bool good = ParseNumber(text.substr(0, comma), seed) && seed >= 0;
    if (good && comma != std::string::npos) good = ParseNumber(text.substr(comma + 1), rate) && rate >= 1 && rate <= 20;
    if (!good) {
        error = "bad --chaos '" + text + "' (SEED[,RATE])";
        return false;
    }
    settings.seed = static_cast<uint64_t>(seed);
    settings.rate = static_cast<int>(rate);
    return true;
}

namespace {

struct Choice {
    const char* text;
    int weight;
};

template <size_t N>
const char* Pick(SplitMix64& random, const Choice (&choices)[N]) {
    int total = 0;
    for (const Choice& choice : choices) total += choice.weight;
    int roll = static_cast<int>(random.Below(static_cast<uint64_t>(total)));
    for (const Choice& choice : choices) {
        if (roll < choice.weight) return choice.text;
        roll -= choice.weight;
    }
    return choices[0].text;
}

// Phases by weight: data and read frames are the most numerous on a line.
const Choice Phases[] = {{"status", 1}, {"command", 1}, {"data", 4}, {"end", 1},
                         {"read", 4},   {"readend", 1}, {"clear", 1}};
// What can go wrong with a frame of the driver. Most faults are the kind a
// retry recovers from; "slow" comes in two flavours, well inside and well
// beyond the time-outs of a quick INI.
const Choice DriverKinds[] = {{"nak", 5},    {"garbage", 4}, {"zero", 1}, {"silent", 1},
                              {"slowin", 2}, {"slowout", 1}, {"drop", 1}, {"flood", 1}};
const Choice RegisterKinds[] = {{"badsum", 4}, {"lowersum", 2}, {"lostack", 2}, {"silent", 2},
                                {"slowin", 2}, {"slowout", 1},  {"drop", 1},    {"flood", 1}};

}  // namespace

std::vector<std::string> ChaosFaults(const ChaosSettings& settings, int run) {
    SplitMix64 random(settings.seed ^ (0xD1B54A32D192ED03ull * static_cast<uint64_t>(run + 1)));
    int count = 1 + static_cast<int>(random.Below(static_cast<uint64_t>(2 * settings.rate - 1)));
    std::vector<std::string> faults;
    for (int i = 0; i < count; ++i) {
        std::string phase = Pick(random, Phases);
        bool registerSide = phase == "read" || phase == "readend";
        std::string kind = Pick(random, registerSide ? RegisterKinds : DriverKinds);
        int repeat = 1;
        if (kind == "slowin") {
            kind = "slow=" + std::to_string(20 + random.Below(50));
        } else if (kind == "slowout") {
            kind = "slow=" + std::to_string(2000 + random.Below(500));
        } else if (kind == "silent" && registerSide) {
            repeat = 1 + static_cast<int>(random.Below(4));  // the register sends again after each
        } else if (kind == "nak" || kind == "garbage" || kind == "badsum" || kind == "lowersum" || kind == "lostack") {
            // Mostly once, sometimes as often as a retry count of 2 allows, or once more.
            repeat = random.Below(10) < 6 ? 1 : 2 + static_cast<int>(random.Below(2));
        }
        std::string fault = kind + "@" + phase;
        if (phase == "data" || phase == "read") fault += "#" + std::to_string(random.Below(8));
        if (repeat > 1) fault += "*" + std::to_string(repeat);
        faults.push_back(fault);
    }
    return faults;
}

}  // namespace ecrsim
