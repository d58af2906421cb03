#pragma once
// Finding and running the operation of a command number; the help text.

void LoadOperationSettings();
int TranslateCommandNumber(int commandNumber);
// With `checkOnly` (switch /C) a send command only checks its file
// (RunSendCheck) and any other command is refused: nothing goes to the ECR.
void Dispatch(int commandNumber, const char* fileName, bool checkOnly = false);
void ShowHelp(int kind);

// INI EcrOperationMaxTime as read by LoadOperationSettings.
int EcrOperationMaxTime();
