#pragma once
// ECR language and the code page translation of records.
#include <cstddef>
#include <string>

inline constexpr int LanguageLatvian = 0;

// Translation tables, the identity until SetupCodePage fills them.
unsigned char* ToEcrTable();
unsigned char* FromEcrTable();

int GetLanguage();
std::string GetCodePageName();
// ecrLanguage is the link's reported language index; -1 takes the INI's.
void SetupCodePage(int ecrLanguage);
// The ECR's code page that UTF-8 data files are converted to: the one in use
// with CodePage = UTF-8, otherwise EcrCodePage (1257 for Latvian). Throws
// "Unknown INI-file code page" when there is none.
int EcrCodePageOfUtf8Files();
void TranslateBytes(const unsigned char* table, char* buffer, size_t len);
void ToEcrCodePage(char* text, size_t len);
void ToPcCodePage(char* text, size_t len);
// Back to the identity, with data files in the ECR's bytes (used by tests).
void ResetCodePageTables();
