#pragma once
// Injected faults: KIND[=ARG]@PHASE[#INDEX][*COUNT], counted per driver run.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Chaos.h"

namespace ecrsim {

enum class Phase { Status, Command, Data, End, Read, ReadEnd, Clear, Count };

enum class FaultKind { Nak, Garbage, Silent, Zero, Slow, Drop, Flood, BadSum, LowerSum, LostAck };

struct Fault {
    FaultKind kind = FaultKind::Nak;
    int ms = 0;  // for Slow
    Phase phase = Phase::Data;
    int index = 0;
    int count = 1;
    int applied = 0;     // times used in the current run
    bool chaos = false;  // drawn for this run by the chaos schedule
    std::string text;    // as given, for the log
};

class Faults {
public:
    // Adds one fault given as KIND[=ARG]@PHASE[#INDEX][*COUNT]; false with a
    // message when it is malformed or the kind does not fit the phase.
    bool Add(const std::string& text, std::string& error);

    // Draws a new set of faults for every driver run from `settings`.
    void SetChaos(const ChaosSettings& settings) { chaos = settings; }

    // A status request that is not a retry starts a new run: indices and
    // use counts start again, and the chaos schedule draws the run's faults.
    void NewRun();
    // Index of the current frame of `phase` within the run.
    int Index(Phase phase) const { return indices[static_cast<int>(phase)]; }
    // The frame of `phase` is done (acknowledged or given up): count the next one.
    void Advance(Phase phase) { ++indices[static_cast<int>(phase)]; }
    // The fault to apply to the current frame of `phase`, or null; using it
    // counts one of its repetitions.
    const Fault* Take(Phase phase);

    // Where applied faults and chaos schedules are reported.
    std::function<void(const std::string&)> note;

private:
    void Note(const std::string& text) {
        if (note) note(text);
    }
    std::vector<Fault> faults;
    std::optional<ChaosSettings> chaos;
    int runs = 0;
    int indices[static_cast<int>(Phase::Count)] = {};
};

}  // namespace ecrsim
