#include "Faults.h"

#include "Options.h"

namespace ecrsim {

namespace {

bool ParsePhase(const std::string& text, Phase& phase) {
    static const struct {
        const char* name;
        Phase phase;
    } names[] = {{"status", Phase::Status}, {"command", Phase::Command}, {"data", Phase::Data},  {"end", Phase::End},
                 {"read", Phase::Read},     {"readend", Phase::ReadEnd}, {"clear", Phase::Clear}};
    for (const auto& entry : names) {
        if (text == entry.name) {
            phase = entry.phase;
            return true;
        }
    }
    return false;
}

bool SentByRegister(Phase phase) { return phase == Phase::Read || phase == Phase::ReadEnd; }

}  // namespace

bool Faults::Add(const std::string& text, std::string& error) {
    error = "bad fault '" + text + "': ";
    Fault fault;
    size_t at = text.find('@');
    if (at == std::string::npos) {
        error += "no @PHASE";
        return false;
    }
    std::string kindText = text.substr(0, at);
    std::string rest = text.substr(at + 1);

    size_t star = rest.find('*');
    if (star != std::string::npos) {
        long count = 0;
        if (!ParseNumber(rest.substr(star + 1), count) || count < 1 || count > 1000000) {
            error += "bad *COUNT";
            return false;
        }
        fault.count = static_cast<int>(count);
        rest.erase(star);
    }
    size_t hash = rest.find('#');
    if (hash != std::string::npos) {
        long index = 0;
        if (!ParseNumber(rest.substr(hash + 1), index) || index < 0 || index > 100000000) {
            error += "bad #INDEX";
            return false;
        }
        fault.index = static_cast<int>(index);
        rest.erase(hash);
    }
    if (!ParsePhase(rest, fault.phase)) {
        error += "unknown phase '" + rest + "'";
        return false;
    }

    std::string argument;
    size_t equals = kindText.find('=');
    if (equals != std::string::npos) {
        argument = kindText.substr(equals + 1);
        kindText.erase(equals);
    }
    bool registerSide = SentByRegister(fault.phase);
    if (kindText == "nak" && !registerSide) fault.kind = FaultKind::Nak;
    else if (kindText == "garbage" && !registerSide) fault.kind = FaultKind::Garbage;
    else if (kindText == "zero" && !registerSide) fault.kind = FaultKind::Zero;
    else if (kindText == "badsum" && registerSide) fault.kind = FaultKind::BadSum;
    else if (kindText == "lowersum" && registerSide) fault.kind = FaultKind::LowerSum;
    else if (kindText == "lostack" && registerSide) fault.kind = FaultKind::LostAck;
    else if (kindText == "silent") fault.kind = FaultKind::Silent;
    else if (kindText == "slow") fault.kind = FaultKind::Slow;
    else if (kindText == "drop") fault.kind = FaultKind::Drop;
    else if (kindText == "flood") fault.kind = FaultKind::Flood;
    else {
        error += "kind '" + kindText + "' does not exist for phase '" + rest + "'";
        return false;
    }
    if (fault.kind == FaultKind::Slow) {
        long ms = 0;
        if (!ParseNumber(argument, ms) || ms < 0 || ms > 3600000) {
            error += "slow needs =MS";
            return false;
        }
        fault.ms = static_cast<int>(ms);
    } else if (!argument.empty()) {
        error += "kind '" + kindText + "' takes no argument";
        return false;
    }
    fault.text = text;
    faults.push_back(fault);
    error.clear();
    return true;
}

void Faults::NewRun() {
    for (auto& fault : faults) fault.applied = 0;
    for (int& index : indices) index = 0;
    if (!chaos) return;
    std::erase_if(faults, [](const Fault& fault) { return fault.chaos; });
    std::string drawn;
    for (const std::string& text : ChaosFaults(*chaos, runs)) {
        std::string error;
        if (!Add(text, error)) {
            Note("chaos: " + error);
            continue;
        }
        faults.back().chaos = true;
        drawn += " " + text;
    }
    Note("chaos run " + std::to_string(runs) + ":" + drawn);
    ++runs;
}

const Fault* Faults::Take(Phase phase) {
    int index = Index(phase);
    for (auto& fault : faults) {
        if (fault.phase == phase && fault.index == index && fault.applied < fault.count) {
            ++fault.applied;
            Note("fault " + fault.text);
            return &fault;
        }
    }
    return nullptr;
}

}  // namespace ecrsim
