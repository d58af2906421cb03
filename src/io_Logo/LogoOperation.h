#pragma once
// Logo bitmap send.
#include "driver/Operation.h"

int LogoSendHandler(int phase, OperationDescriptor* descriptor);  // 670
