#pragma once
// Department records modify and read.
#include "driver/Operation.h"

int DepartmentSendHandler(int phase, OperationDescriptor* descriptor);  // 211
int DepartmentReadHandler(int phase, OperationDescriptor* descriptor);  // 217
