#pragma once
// An error of kvtfleet's own input or surroundings (job file, INI, archive):
// reported on the console before any register is touched.
#include <stdexcept>
#include <string>

struct FleetError : std::runtime_error {
    explicit FleetError(const std::string& text) : std::runtime_error(text) {}
};
