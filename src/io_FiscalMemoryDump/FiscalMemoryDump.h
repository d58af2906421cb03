#pragma once
// Fiscal memory dump into a byte file.
#include "driver/Operation.h"

int FiscalMemoryDumpHandler(int phase, OperationDescriptor* descriptor);  // 700
