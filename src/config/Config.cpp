#include "config/Config.h"

#include <cstdio>
#include <cstdlib>

#include "config/Profile.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "platform/Files.h"
#include "tools/FieldTools.h"
#include "tools/TextTools.h"

namespace {
constexpr char Module[] = "src/config";
constexpr char EcrSectionPrefix[] = "ECR_";
constexpr size_t SectionNamesBufferSize = 1024;

// Whether a "%d" conversion finds a number: white space, an optional sign,
// then at least one digit.
bool HoldsLeadingNumber(const std::string& text) {
    size_t at = text.find_first_not_of(" \t\r\n\v\f");
    if (at != std::string::npos && (text[at] == '+' || text[at] == '-')) ++at;
    return at < text.size() && text[at] >= '0' && text[at] <= '9';
}

// The field separator is the first character of the value. The INI reader
// trims blanks and tabs around values, so an unquoted tab reads as an empty
// value; the two characters \t stand for a tab, since a tab is hard to see
// and easy to lose in an editor. An empty value joins fields with no
// separator at all, which is rarely meant: the debug log says so.
std::string ReadDelimiter(const std::string& value) {
    if (value == "\\t") return "\t";
    if (value.empty()) LogWrite(LogDebug, "INI-file key Delimiter is empty: data-file fields have no separator", true);
    return value.substr(0, 1);
}

}  // namespace

Config& TheConfig() {
    static Config config;
    return config;
}

void Config::SetFile(const std::string& filePath, bool mustExist) {
    if (mustExist && !platform::PathExists(filePath))
        throw DriverErrorException("INI-file '" + filePath + "' not found");
    path = filePath;
}

void Config::SetSection(const std::string& name, bool mustExist) {
    if (mustExist && !config::ProfileSectionExists(path, name))
        throw DriverErrorException("INI-file section [" + name + "] not found");
    section = name;
}

// Leading digits with an optional sign ("-5" gives -5); 0 when there are none.
int Config::GetInt(const std::string& key, int defaultValue, const std::string& sectionName) const {
    std::string value;
    if (!config::ProfileGetString(path, sectionName.empty() ? section : sectionName, key, value)) return defaultValue;
    return ParseLeadingInt(value);
}

std::string Config::GetString(const std::string& key, const std::string& defaultValue,
                              const std::string& sectionName) const {
    std::string value;
    if (!config::ProfileGetString(path, sectionName.empty() ? section : sectionName, key, value)) return defaultValue;
    return value;
}

std::string IniFilePath() { return GetModuleDirectory() + IniFileName; }

void EnsureIniFile() {
    std::string path = IniFilePath();
    if (platform::PathExists(path)) return;
    std::fputs("Configuration file not found. Creating default INI-file\n\n", stdout);
    CreateDefaultIni(path.c_str());
}

// A failed write is not reported here: LoadConfig then finds no file and says so.
void CreateDefaultIni(const char* path) {
    if (path == nullptr) THROW_INTERNAL_ERROR(Module);
    if (platform::PathExists(path)) platform::RemoveFile(path);
    config::ProfileWriteSection(path, "Common", {"DbgErrorLog = 0", "CodePage = RIM"});
    config::ProfileWriteSection(path, std::string(EcrSectionPrefix) + "1", {"ComNumber = 1"});
}

void LoadConfig(int ecrNumber) {
    TheConfig().SetFile(IniFilePath(), true);
    if (ecrNumber <= 0) ecrNumber = FindSingleEcrSection();
    LoadCommonSettings(ecrNumber);
}

// The number of the only "ECR_<n>" section. A name whose rest holds no
// number leaves the result as it was (-1 at first), so a lone "ECR_x" ends in
// "INI-file section [ECR_-1] not found" when that section is selected.
int FindSingleEcrSection() {
    int count = 0;
    int number = -1;
    for (const std::string& name : config::ProfileSectionNames(TheConfig().GetFilePath(), SectionNamesBufferSize)) {
        if (name.compare(0, 4, EcrSectionPrefix) != 0) continue;
        ++count;
        if (HoldsLeadingNumber(name.substr(4))) number = ParseLeadingInt(name.substr(4));
    }
    if (count != 1) throw DriverErrorException("Incorrect or missing ECR number");
    return number;
}

void LoadCommonSettings(int ecrNumber) {
    Config& config = TheConfig();
    config.SetSection("Common", true);
    LogSettings.standardLog = config.GetInt("StandardLog", 1);
    LogSettings.dbgErrorLog = config.GetInt("DbgErrorLog", 0);
    FileDelimiter = ReadDelimiter(config.GetString("Delimiter", ","));
    IgnoreDuplicates = config.GetInt("IgnoreDuplicates", 0);
    config.SetSection(FormatString("%s%d", EcrSectionPrefix, ecrNumber), true);
}
