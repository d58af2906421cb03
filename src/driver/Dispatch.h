#pragma once
// Finding and running the operation of a command number; the help text.

void LoadOperationSettings();
int TranslateCommandNumber(int commandNumber);
void Dispatch(int commandNumber, const char* fileName);
void ShowHelp(int kind);

// INI EcrOperationMaxTime as read by LoadOperationSettings.
int EcrOperationMaxTime();
