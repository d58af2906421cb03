#include "config/Config.h"

#include <cstdio>
#include <cstdlib>

#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "tools/FieldTools.h"
#include "tools/TextTools.h"

namespace {
constexpr char Module[] = "src/config";
constexpr char EcrSectionPrefix[] = "ECR_";
constexpr size_t SectionNamesBufferSize = 1024;
}  // namespace

Config& TheConfig() {
    static Config config;
    return config;
}

void Config::SetFile(const std::string& filePath, bool mustExist) {
    if (mustExist && !FileExists(filePath)) throw DriverErrorException("INI-file '" + filePath + "' not found");
    path = filePath;
}

void Config::SetSection(const std::string& name, bool mustExist) {
    if (mustExist && !platform::ProfileSectionExists(path, name))
        throw DriverErrorException("INI-file section [" + name + "] not found");
    section = name;
}

// Leading digits with an optional sign ("-5" gives -5); 0 when there are none.
int Config::GetInt(const std::string& key, int defaultValue, const std::string& sectionName) const {
    std::string value;
    if (!platform::ProfileGetString(path, sectionName.empty() ? section : sectionName, key, value))
        return defaultValue;
    return ParseLeadingInt(value);
}

std::string Config::GetString(const std::string& key, const std::string& defaultValue,
                              const std::string& sectionName) const {
    std::string value;
    if (!platform::ProfileGetString(path, sectionName.empty() ? section : sectionName, key, value))
        return defaultValue;
    return value;
}

std::string IniFilePath() { return GetModuleDirectory() + IniFileName; }

void EnsureIniFile() {
    std::string path = IniFilePath();
    if (FileExists(path)) return;
    std::fputs("Configuration file not found. Creating default INI-file\n\n", stdout);
    CreateDefaultIni(path.c_str());
}

// A failed write is not reported here: LoadConfig then finds no file and says so.
void CreateDefaultIni(const char* path) {
    if (path == nullptr) THROW_INTERNAL_ERROR(Module);
    if (FileExists(path)) platform::RemoveFile(path);
    platform::ProfileWriteSection(path, "Common", {"DbgErrorLog = 0", "CodePage = RIM"});
    platform::ProfileWriteSection(path, std::string(EcrSectionPrefix) + "1", {"ComNumber = 1"});
}

void LoadConfig(int ecrNumber) {
    TheConfig().SetFile(IniFilePath(), true);
    if (ecrNumber <= 0) ecrNumber = FindSingleEcrSection();
    LoadCommonSettings(ecrNumber);
}

// The number of the only "ECR_<n>" section. A single section whose name holds
// no number is refused here too, rather than reported later as a missing
// section "ECR_-1".
int FindSingleEcrSection() {
    int count = 0;
    int number = -1;
    bool numberRead = false;
    for (const std::string& name :
         platform::ProfileSectionNames(TheConfig().GetFilePath(), SectionNamesBufferSize)) {
        if (name.compare(0, 4, EcrSectionPrefix) != 0) continue;
        ++count;
        std::string rest = name.substr(4);
        size_t first = rest.find_first_not_of(" \t");
        size_t digits = first == std::string::npos ? rest.size() : first;
        if (digits < rest.size() && (rest[digits] == '+' || rest[digits] == '-')) ++digits;
        if (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') {
            number = ParseLeadingInt(rest);
            numberRead = true;
        }
    }
    if (count != 1 || !numberRead) throw DriverErrorException("Incorrect or missing ECR number");
    return number;
}

void LoadCommonSettings(int ecrNumber) {
    Config& config = TheConfig();
    config.SetSection("Common", true);
    LogSettings.standardLog = config.GetInt("StandardLog", 1);
    LogSettings.dbgErrorLog = config.GetInt("DbgErrorLog", 0);
    FileDelimiter = config.GetString("Delimiter", ",").substr(0, 1);
    IgnoreDuplicates = config.GetInt("IgnoreDuplicates", 0);
    config.SetSection(FormatString("%s%d", EcrSectionPrefix, ecrNumber), true);
}
