#pragma once
// Why a data-file line was refused: the check that finds the fault names it,
// and the input file that asked for the check reads it with the line.
#include <string>

// Records `why` as the reason the line being checked is refused. Returns 0,
// a check's answer for a refused line, so that a check can end with
// `return RefuseLine(...)`.
int RefuseLine(const std::string& why);
// The reason recorded since the last call, then forgotten; "" when none.
std::string TakeLineRefusal();
