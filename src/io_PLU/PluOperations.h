#pragma once
// PLU table send, single record send, table read, sales report read (and clear).
#include "driver/Operation.h"

int PluTableSendHandler(int phase, OperationDescriptor* descriptor);       // 200
int PluRecordSendHandler(int phase, OperationDescriptor* descriptor);      // 201
int PluTableReadHandler(int phase, OperationDescriptor* descriptor);       // 207
int PluSalesReadHandler(int phase, OperationDescriptor* descriptor);       // 502
int PluSalesReadClearHandler(int phase, OperationDescriptor* descriptor);  // 503
