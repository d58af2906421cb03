#pragma once
// What the register keeps in memory while it runs: PLU table, departments,
// report totals, fiscal report range, logo and the blocks of the service
// commands; and the frames it sends for each read command.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ecrsim {

enum class CodeKind { Status, Send, Read, Clear, Other };

CodeKind KindOfCode(uint8_t code);

// Splits a frame at commas outside double quotes; quotes are removed.
// Returns false for an unterminated quote.
bool SplitFrameFields(const std::string& frame, std::vector<std::string>& fields);

// As SplitFrameFields for a record whose field `nameField` is a name of
// exactly `nameLength` characters between quotes, as the register reads it:
// by its width, so a quote inside the name belongs to the name.
bool SplitNamedRecord(const std::string& frame, size_t nameField, size_t nameLength, std::vector<std::string>& fields);

struct PluRecord {
    uint64_t code = 0;
    uint64_t price = 0;
    std::string name;
    int department = 0;
    int field5 = 0;
    int field6 = 1;
};

struct Department {
    int number = 0;
    uint64_t value = 0;
    std::string name;
    int field4 = 0;
    int field5 = 0;
};

class Register {
public:
    Register(const std::string& statusText, std::map<int, std::string> serveFiles, bool showLogo);

    // Level and item name length as the status text tells them to the driver.
    int Level() const { return level; }
    int NameLength() const { return nameLength; }

    // Applies the records of a complete send transfer with ECR code `code`.
    void Store(uint8_t code, const std::vector<std::string>& lines);
    // The data frames of a read command.
    std::vector<std::string> ReadFrames(uint8_t code);
    // A clear command.
    void Clear(uint8_t code);

    // Where the register reports records it could not use.
    std::function<void(const std::string&)> note;

    // With a path set, the register writes what it holds to that file now
    // and after every change (see SaveState).
    void SetStatePath(const std::string& path) {
        statePath = path;
        SaveState();
    }
    // Writes the PLU table, departments, report clear flags, Z counters, logo,
    // fiscal range and stored blocks, one item a line, to the state file.
    void SaveState() const;

    // True when --serve gave the frames of read code `code`.
    bool Serves(uint8_t code) const { return serveFiles.count(code) > 0; }

private:
    void Note(const std::string& text) {
        if (note) note(text);
    }
    void StorePlus(const std::vector<std::string>& lines, bool replace);
    void StoreDepartments(const std::vector<std::string>& lines);
    void ShowLogo(const std::vector<std::string>& rows);
    std::string PluFrame(const PluRecord& plu) const;
    std::string DepartmentFrame(const Department& department) const;
    std::vector<std::string> PluSales() const;
    std::vector<std::string> Financial(bool cleared, int zCount) const;
    std::vector<std::string> Hourly() const;
    std::vector<std::string> Clerks() const;
    std::vector<std::string> FiscalDump() const;
    std::vector<std::string> FiscalReport() const;
    std::string FitName(const std::string& name) const;

    int level = 0;
    int nameLength = 20;
    bool showLogo = false;
    std::map<int, std::string> serveFiles;
    std::map<uint64_t, PluRecord> plus;
    Department departments[8];
    std::string fiscalRange;  // the last range frame, "" when none was set
    std::vector<std::string> logo;
    std::map<int, std::vector<std::string>> blocks;  // lines stored by send code
    bool pluSalesCleared = false;
    bool financialCleared = false;
    bool periodicalCleared = false;
    bool hourlyCleared = false;
    bool clerksCleared = false;
    int financialZ = 1;
    int periodicalZ = 1;
    std::string statePath;
};

}  // namespace ecrsim
