#pragma once
// Run-wide flags shared by the parts of one driver run.

// Set when input records were rejected or duplicated: the run ends with exit code 2.
inline bool DataErrorFlag = false;
