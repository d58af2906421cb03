#pragma once
// What a run leaves for the back office once its registers are done: the
// summaries, one consolidated file per read step, and the table on the console.
#include <string>
#include <vector>

#include "fleet/JobFile.h"
#include "fleet/StepRecord.h"

// <step>-<command>-<file name> in the run folder: the records of every
// register whose step completed (with or without data errors), each line
// led by the register number and the data files' delimiter, the rest of its
// bytes unchanged. Byte files (the fiscal memory dump) are not consolidated.
void WriteConsolidatedFiles(const std::string& runDir, const Job& job, const std::vector<StepRecord>& records,
                            const std::string& delimiter);
void PrintFinalTable(const std::vector<StepRecord>& records);
// The state file, summaries and consolidated files, then the table.
void WriteResults(const std::string& runDir, const Job& job, const std::vector<StepRecord>& records,
                  const std::string& delimiter);
