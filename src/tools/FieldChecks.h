#pragma once
// Checks of the fields of one input line that name what is wrong: a check
// that fails records its reason (RefuseLine) for the input file to report.
#include <cstdint>
#include <string>

// Splits `line` into the shared field list with FileDelimiter; false, with
// the reason recorded, unless it holds exactly `expected` fields.
bool SplitIntoFields(const std::string& line, int expected);

// Field `index` (0-based) of the last split is a whole number min..max (an
// empty field counts as 0); otherwise "field 2 (price) must be a whole
// number 0 to 99999999" is recorded.
bool CheckNumberField(int index, const char* name, int64_t min, int64_t max);

// Field `index` is a name the register can show and print: at most
// `maxLength` characters and no control byte (below 0x20, or 0x7F).
bool CheckNameField(int index, int64_t maxLength);
