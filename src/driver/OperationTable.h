#pragma once
// Every operation the driver knows, in dispatch order; the raw command
// handler stands last.
#include <cstddef>

#include "driver/Operation.h"

extern const OperationHandler OperationTable[];
extern const size_t OperationTableSize;
