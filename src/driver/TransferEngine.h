#pragma once
// Send and read transfers between a data file and the ECR.
#include "driver/Operation.h"

void RunSendTransfer(OperationHandler handler, OperationDescriptor* descriptor);
void RunReadTransfer(OperationHandler handler, OperationDescriptor* descriptor);
