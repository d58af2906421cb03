#pragma once
// Send and read transfers between a data file and the ECR.
#include "driver/Operation.h"

void RunSendTransfer(OperationHandler handler, OperationDescriptor* descriptor);
void RunReadTransfer(OperationHandler handler, OperationDescriptor* descriptor);
// The check of a send without the send: loads and checks the input file
// exactly as RunSendTransfer does and prints every refused line with its
// reason, how many records would be sent and the first and last of them.
// Nothing goes to the ECR.
void RunSendCheck(OperationHandler handler, OperationDescriptor* descriptor);
