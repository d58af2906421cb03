#include "driver/Version.h"

namespace {

const char* buildDate = __DATE__;
const char* buildTime = __TIME__;

}  // namespace

const char* BuildDate() { return buildDate; }
const char* BuildTime() { return buildTime; }

void SetBuildStamp(const char* date, const char* time) {
    if (date != nullptr) buildDate = date;
    if (time != nullptr) buildTime = time;
}

std::string VersionBanner() {
    return std::string(ProgramName) + " driver. Version " + ProgramVersion + ProgramVersionSuffix +
           " (Compiled: " + BuildDate() + " " + BuildTime() + ")";
}
