#pragma once
// Data files in UTF-8: their text lines are converted to the ECR's
// single-byte code page before they are checked and sent, and received text
// records are converted back before they are written.
#include <cstddef>
#include <string>

// The ECR's code page while data files are UTF-8; 0 while they hold the ECR's bytes.
int Utf8DataFilesCodePage();
void SetUtf8DataFiles(int ecrCodePage);  // 0 switches the conversion off

// True when the system converts `codePage`, each of its characters is one
// byte, and its bytes 0x01 to 0x7F are ASCII (digits, quotes and separators
// must reach the ECR as they are).
bool IsUsableEcrCodePage(int codePage);

// Replaces the line `text` (`length` bytes) by its ECR bytes, NUL-terminated
// within `capacity`. False, with `why` naming the byte position (counted
// from 1) and the reason, when the line cannot be converted.
bool DataLineToEcr(char* text, size_t length, size_t capacity, std::string& why);
// The same from UTF-8 to `ecrCodePage` (0: the line is left as it is).
bool DataLineToEcr(int ecrCodePage, char* text, size_t length, size_t capacity, std::string& why);

// The NUL-terminated ECR text as a data-file line. A byte that the ECR's code
// page leaves undefined becomes U+FFFD and `why` names every such byte.
std::string EcrTextToDataFile(const char* text, std::string& why);
