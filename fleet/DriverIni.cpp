#include "fleet/DriverIni.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/Profile.h"
#include "fleet/FleetError.h"
#include "serial/SerialDevices.h"
#include "tools/FieldTools.h"

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char ch) { return std::tolower(ch); });
    return text;
}

std::string Section(int number) { return "ECR_" + std::to_string(number); }

bool IsComName(const std::string& name) {
    return name.size() > 3 && Lower(name.substr(0, 3)) == "com" &&
           std::all_of(name.begin() + 3, name.end(), [](unsigned char ch) { return std::isdigit(ch); });
}

// The register's section name when `line` is a section header, else "".
std::string SectionHeader(const std::string& line) {
    size_t open = line.find_first_not_of(" \t");
    if (open == std::string::npos || line[open] != '[') return "";
    size_t close = line.find(']', open);
    return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

}  // namespace

std::string NormalisedDevice(const std::string& device) {
    std::string name = device;
    if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
    if (IsComName(name)) {
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::toupper(ch); });
        return name;
    }
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(name, error);
    return error ? name : resolved.string();
}

DriverIni::DriverIni(const std::string& iniPath) : path(iniPath) {
    if (!fs::is_regular_file(path)) throw FleetError("The driver's INI file '" + path + "' was not found");
    if (!config::ProfileSectionExists(path, "Common"))
        throw FleetError("INI-file section [Common] not found in '" + path + "'");
}

std::string DriverIni::Get(const std::string& section, const std::string& key, const std::string& fallback) const {
    std::string value;
    return config::ProfileGetString(path, section, key, value) ? value : fallback;
}

bool DriverIni::HasRegister(int number) const { return config::ProfileSectionExists(path, Section(number)); }

std::string DriverIni::DeviceText(int number) const {
    std::string device = Get(Section(number), "ComDevice", "");
    if (!device.empty()) return device;
    return serial::SerialPortName(ParseLeadingInt(Get(Section(number), "ComNumber", "1")));
}

std::string DriverIni::DeviceKey(int number) const {
    std::string device = DeviceText(number);
    size_t scheme = device.find("://");
    // rfc2217:// and socket:// to one host:port reach one serial port.
    if (scheme != std::string::npos) return "net:" + Lower(device.substr(scheme + 3));
    return "dev:" + NormalisedDevice(device);
}

int DriverIni::TranslateCommand(int typed) const {
    std::string value;
    if (!config::ProfileGetString(path, "CommandNumberTranslation", std::to_string(typed), value)) return typed;
    return ParseLeadingInt(value);
}

std::string DriverIni::Delimiter() const {
    std::string value = Get("Common", "Delimiter", ",");
    if (value == "\\t") return "\t";
    return value.substr(0, 1);
}

std::string DriverIni::WithStatusRequired() const {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::istringstream lines(text.str());
    std::string result;
    std::string line;
    while (std::getline(lines, line)) {
        result += line + "\n";
        std::string section = SectionHeader(line);
        if (Lower(section).rfind("ecr_", 0) != 0) continue;
        std::string value;
        if (config::ProfileGetString(path, section, "StatusRequired", value)) continue;
        bool crlf = !line.empty() && line.back() == '\r';
        result += crlf ? "StatusRequired = 1\r\n" : "StatusRequired = 1\n";
    }
    if (!text.str().empty() && text.str().back() != '\n' && !result.empty()) result.pop_back();
    return result;
}
