#pragma once
// Seeded random fault schedules: every driver run gets its own few faults,
// drawn from a small deterministic generator so that the same seed gives the
// same schedule on every machine and compiler.
#include <cstdint>
#include <string>
#include <vector>

namespace ecrsim {

// splitmix64: tiny, fast, and the same everywhere.
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed) : state(seed) {}
    uint64_t Next();
    // A number from 0 to bound - 1 (bound > 0).
    uint64_t Below(uint64_t bound) { return Next() % bound; }

private:
    uint64_t state;
};

struct ChaosSettings {
    uint64_t seed = 0;
    int rate = 3;  // faults per run on average
};

// Parses SEED[,RATE]; false with a message when malformed.
bool ParseChaos(const std::string& text, ChaosSettings& settings, std::string& error);

// The faults of driver run `run` (counted from 0), each in the --fault form
// KIND[=ARG]@PHASE[#INDEX][*COUNT].
std::vector<std::string> ChaosFaults(const ChaosSettings& settings, int run);

}  // namespace ecrsim
