#include "platform/Console.h"

#include <windows.h>

namespace platform {

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

}  // namespace platform
