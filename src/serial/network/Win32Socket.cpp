#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include "platform/Clock.h"
#include "platform/Win32Path.h"
#include "serial/network/Socket.h"

namespace serial {

namespace {

// Winsock is started once for the process and left running to its end.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET Raw(intptr_t handle) { return static_cast<SOCKET>(handle); }

int PollTimeout(int64_t ms) { return ms < 0 ? -1 : static_cast<int>(std::min<int64_t>(ms, INT_MAX)); }

// The system's message in UTF-8, as the debug log holds all its text.
std::string ErrorText(int code) {
    wchar_t text[256] = {};
    std::string result = "error " + std::to_string(code);
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0,
                       text, sizeof text / sizeof text[0], nullptr) != 0)
        result = platform::Utf8FromWide(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result;
}

// Connects `socket` (non-blocking) within `timeoutMs`; 0 or the error code.
int ConnectWithin(SOCKET socket, const addrinfo& address, int64_t timeoutMs) {
    if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return 0;
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return error;
    WSAPOLLFD wait{socket, POLLWRNORM, 0};
    int ready = WSAPoll(&wait, 1, PollTimeout(timeoutMs));
    if (ready < 0) return WSAGetLastError();
    if (ready == 0) return WSAETIMEDOUT;
    int result = 0;
    int length = sizeof result;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &length) != 0)
        return WSAGetLastError();
    return result;
}

}  // namespace

bool Socket::Connect(const std::string& host, const std::string& port, int64_t timeoutMs, std::string& reason) {
    Close();
    if (!StartWinsock()) {
        reason = "Winsock could not be started";
        SetSystemError(WSASYSNOTREADY);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (resolved != 0) {
        reason = "host not found (" + ErrorText(resolved) + ")";
        SetSystemError(resolved);
        return false;
    }
    int64_t deadline = platform::MonotonicMilliseconds() + timeoutMs;
    int error = WSAETIMEDOUT;
    for (addrinfo* address = list; address != nullptr; address = address->ai_next) {
        int64_t left = deadline - platform::MonotonicMilliseconds();
        if (left <= 0) {
            error = WSAETIMEDOUT;
            break;
        }
        SOCKET socket = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (socket == INVALID_SOCKET) {
            error = WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        ioctlsocket(socket, FIONBIO, &nonBlocking);
        error = ConnectWithin(socket, *address, left);
        if (error == 0) {
            BOOL on = TRUE;
            setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
            handle = static_cast<intptr_t>(socket);
            break;
        }
        closesocket(socket);
    }
    freeaddrinfo(list);
    if (IsOpen()) return true;
    reason = error == WSAETIMEDOUT ? "timed out" : ErrorText(error);
    SetSystemError(error);
    return false;
}

long Socket::Receive(uint8_t* buffer, size_t size, bool& closed) {
    closed = false;
    int n = ::recv(Raw(handle), reinterpret_cast<char*>(buffer), static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
    if (n > 0) return n;
    if (n == 0) {
        closed = true;
        SetSystemError(WSAECONNRESET);
        return -1;
    }
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    closed = error == WSAECONNRESET;
    SetSystemError(error);
    return -1;
}

long Socket::Send(const uint8_t* buffer, size_t size) {
    int n = ::send(Raw(handle), reinterpret_cast<const char*>(buffer),
                   static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
    if (n >= 0) return n;
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    SetSystemError(error);
    return -1;
}

int Socket::Wait(bool forWriting, int64_t timeoutMs) {
    WSAPOLLFD wait{Raw(handle), static_cast<SHORT>(forWriting ? POLLWRNORM : POLLRDNORM), 0};
    int ready = WSAPoll(&wait, 1, PollTimeout(timeoutMs));
    if (ready < 0) {
        SetSystemError(WSAGetLastError());
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

void Socket::Close() {
    if (!IsOpen()) return;
    closesocket(Raw(handle));
    handle = InvalidHandle;
}

// The error code is kept both where Winsock and the system keep it and in
// errno, so that whichever the error report reads finds it.
void SetSystemError(int code) {
    WSASetLastError(code);
    errno = code;
}
int LastSocketError() { return WSAGetLastError(); }
int ConnectionResetError() { return WSAECONNRESET; }

}  // namespace serial
