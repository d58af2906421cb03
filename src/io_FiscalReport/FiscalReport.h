#pragma once
// Fiscal report ranges (Z counters or dates) and the fiscal report read.
#include <string>

#include "driver/Operation.h"

int FiscalZRangeSetHandler(int phase, OperationDescriptor* descriptor);     // 701
int FiscalDateRangeSetHandler(int phase, OperationDescriptor* descriptor);  // 702
int FiscalReportReadHandler(int phase, OperationDescriptor* descriptor);    // 703

bool IsFiscalDate(const std::string& text);            // DD-MM-YY: day 1-31, month 1-12, year 0-99
std::string FiscalDateToEcr(const std::string& text);  // without "-", empty when not a date
