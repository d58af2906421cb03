#include "language/CodePage.h"

#include "config/Config.h"
#include "errors/Exceptions.h"
#include "language/Utf8DataFiles.h"
#include "tools/FieldTools.h"
#include "tools/TextTools.h"

namespace {

const char* const LanguageNames[] = {
    "Latvian", "English", "German",   "French", "Spanish",    "Greek",
    "Silver",  "Finland", "Estonian", "Czech",  "Lithuanian",
};

// The 22 Latvian letters with diacritics: their code on the ECR
// (Windows-1257) and in DOS code page data files, row by row.
constexpr int LetterCount = 22;
const unsigned char EcrLetters[LetterCount] = {
    0xC2, 0xC8, 0xC7, 0xCC, 0xCE, 0xCD, 0xCF, 0xD2, 0xD0, 0xDB, 0xDE,
    0xE2, 0xE8, 0xE7, 0xEC, 0xEE, 0xED, 0xEF, 0xF2, 0xF0, 0xFB, 0xFE,
};
const unsigned char DosLetters[LetterCount] = {
    0xB5, 0xD3, 0xF0, 0xF2, 0xD7, 0xF4, 0xF6, 0xFC, 0xD0, 0xDE, 0xF8,
    0xC6, 0xD2, 0xF1, 0xD6, 0xD8, 0xF3, 0xF5, 0xB7, 0xFD, 0xDD, 0xF7,
};

struct Tables {
    unsigned char toEcr[256];
    unsigned char fromEcr[256];
    Tables() { Reset(); }
    void Reset() {
        for (int i = 0; i < 256; ++i) {
            toEcr[i] = static_cast<unsigned char>(i);
            fromEcr[i] = static_cast<unsigned char>(i);
        }
    }
};

Tables& TheTables() {
    static Tables tables;
    return tables;
}

// The data files use `pcLetters`; the ECR always uses EcrLetters.
void MapLetters(const unsigned char* pcLetters) {
    Tables& t = TheTables();
    for (int i = 0; i < LetterCount; ++i) t.toEcr[pcLetters[i]] = EcrLetters[i];
    for (int i = 0; i < LetterCount; ++i) t.fromEcr[EcrLetters[i]] = pcLetters[i];
}

// The code page of EcrLetters: the default ECR code page of Latvian registers.
constexpr int LatvianEcrCodePage = 1257;

[[noreturn]] void ThrowUnknownCodePage() { throw DriverErrorException("Unknown INI-file code page"); }

bool IsUtf8Name(const std::string& codePage) { return codePage == "UTF-8" || codePage == "UTF8"; }

// The ECR's code page for UTF-8 data files: `EcrCodePage`, a Windows code
// page number, with a default for Latvian registers only.
int GetEcrCodePage(int language) {
    std::string value = TrimString(TheConfig().GetString("EcrCodePage", "", "Common"), BlankChars);
    if (value.empty() && language == LanguageLatvian) value = std::to_string(LatvianEcrCodePage);
    if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos)
        ThrowUnknownCodePage();
    const int codePage = std::stoi(value);
    if (!IsUsableEcrCodePage(codePage)) ThrowUnknownCodePage();
    return codePage;
}

// The language SetupCodePage worked with; -1 before it ran.
int setupLanguage = -1;

}  // namespace

unsigned char* ToEcrTable() { return TheTables().toEcr; }
unsigned char* FromEcrTable() { return TheTables().fromEcr; }

void ResetCodePageTables() {
    TheTables().Reset();
    SetUtf8DataFiles(0);
}

int GetLanguage() {
    std::string name = ToUpper(TrimString(TheConfig().GetString("Language", "Latvian", "Common"), BlankChars));
    int index = 0;
    for (const char* candidate : LanguageNames) {
        if (name == ToUpper(candidate)) return index;
        ++index;
    }
    throw DriverErrorException("Unsupported INI-file ECR language");
}

std::string GetCodePageName() {
    return ToUpper(TrimString(TheConfig().GetString("CodePage", "RIM", "Common"), BlankChars));
}

void SetupCodePage(int ecrLanguage) {
    int language = ecrLanguage == -1 ? GetLanguage() : ecrLanguage;
    setupLanguage = language;
    std::string codePage = GetCodePageName();
    if (IsUtf8Name(codePage)) {
        // Whole lines are converted in the data files; the letter tables stay the identity.
        SetUtf8DataFiles(GetEcrCodePage(language));
        return;
    }
    if (language == LanguageLatvian) {
        if (codePage == "DOS") {
            MapLetters(DosLetters);
        } else if (codePage == "RIM") {
            MapLetters(EcrLetters);  // identity entries: nothing changes
        } else if (!codePage.empty()) {
            ThrowUnknownCodePage();
        }
    } else if (!codePage.empty()) {
        ThrowUnknownCodePage();
    }
}

int EcrCodePageOfUtf8Files() {
    const int active = Utf8DataFilesCodePage();
    if (active != 0) return active;
    return GetEcrCodePage(setupLanguage == -1 ? GetLanguage() : setupLanguage);
}

void TranslateBytes(const unsigned char* table, char* buffer, size_t len) {
    if (table == nullptr || buffer == nullptr) THROW_INTERNAL_ERROR("src/language");
    for (size_t i = 0; i < len && buffer[i] != '\0'; ++i)
        buffer[i] = static_cast<char>(table[static_cast<unsigned char>(buffer[i])]);
}

void ToEcrCodePage(char* text, size_t len) { TranslateBytes(ToEcrTable(), text, len); }
void ToPcCodePage(char* text, size_t len) { TranslateBytes(FromEcrTable(), text, len); }
