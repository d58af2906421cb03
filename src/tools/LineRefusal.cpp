#include "tools/LineRefusal.h"

#include <utility>

namespace {

std::string& Reason() {
    static std::string reason;
    return reason;
}

}  // namespace

int RefuseLine(const std::string& why) {
    Reason() = why;
    return 0;
}

std::string TakeLineRefusal() { return std::exchange(Reason(), std::string()); }
