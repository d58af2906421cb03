#include "platform/SystemError.h"

#include <windows.h>

namespace platform {

unsigned LastSystemError() { return static_cast<unsigned>(GetLastError()); }

void SetLastSystemError(unsigned code) { SetLastError(static_cast<DWORD>(code)); }

std::string SystemErrorText(unsigned code) {
    wchar_t* message = nullptr;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text;
    if (length > 0 && message != nullptr) {
        int size = WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        if (size > 0) {
            text.resize(static_cast<size_t>(size));
            WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(length), text.data(), size, nullptr, nullptr);
        }
    }
    if (message != nullptr) LocalFree(message);
    // System messages end in a line end.
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.empty() ? "Unknown error " + std::to_string(code) : text;
}

const unsigned ErrorInvalidParameter = ERROR_INVALID_PARAMETER;
const unsigned ErrorNotOpen = ERROR_INVALID_HANDLE;

}  // namespace platform
