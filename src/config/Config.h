#pragma once
// The INI file KVT5100.ini beside the program: the settings of all parts.
#include <string>

inline constexpr char IniFileName[] = "KVT5100.ini";

class Config {
public:
    void SetFile(const std::string& path, bool mustExist);
    void SetSection(const std::string& name, bool mustExist);
    // An empty section name reads the current section.
    int GetInt(const std::string& key, int defaultValue, const std::string& sectionName = "") const;
    std::string GetString(const std::string& key, const std::string& defaultValue,
                          const std::string& sectionName = "") const;
    std::string GetFilePath() const { return path; }
    const std::string& GetSection() const { return section; }

private:
    std::string path;
    std::string section;
};

Config& TheConfig();

// Non-zero: duplicate record numbers of an input file do not set DataErrorFlag.
inline int IgnoreDuplicates = 0;

std::string IniFilePath();  // GetModuleDirectory() + "KVT5100.ini"
void EnsureIniFile();
void CreateDefaultIni(const char* path);
void LoadConfig(int ecrNumber);
int FindSingleEcrSection();
void LoadCommonSettings(int ecrNumber);
