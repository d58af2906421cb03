#pragma once
// Financial, periodical, hourly and clerk reports, each with a clearing form.
#include "driver/Operation.h"

int FinancialReadHandler(int phase, OperationDescriptor* descriptor);        // 232
int FinancialReadClearHandler(int phase, OperationDescriptor* descriptor);   // 233
int PeriodicalReadHandler(int phase, OperationDescriptor* descriptor);       // 234
int PeriodicalReadClearHandler(int phase, OperationDescriptor* descriptor);  // 235
int HourlyReadHandler(int phase, OperationDescriptor* descriptor);           // 562
int HourlyReadClearHandler(int phase, OperationDescriptor* descriptor);      // 563
int ClerkReadHandler(int phase, OperationDescriptor* descriptor);            // 750
int ClerkReadClearHandler(int phase, OperationDescriptor* descriptor);       // 751
