#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/Clock.h"
#include "serial/network/Socket.h"

namespace serial {

namespace {

int PollTimeout(int64_t ms) { return ms < 0 ? -1 : static_cast<int>(std::min<int64_t>(ms, INT_MAX)); }

// Connects `fd` (non-blocking) within `timeoutMs`; 0 or the error code.
int ConnectWithin(int fd, const addrinfo& address, int64_t timeoutMs) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    int64_t deadline = platform::MonotonicMilliseconds() + timeoutMs;
    while (true) {
        int64_t left = std::max<int64_t>(0, deadline - platform::MonotonicMilliseconds());
        pollfd wait{fd, POLLOUT, 0};
        int ready = ::poll(&wait, 1, PollTimeout(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return errno;
        if (ready == 0) return ETIMEDOUT;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
        return error;
    }
}

}  // namespace

bool Socket::Connect(const std::string& host, const std::string& port, int64_t timeoutMs, std::string& reason) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (resolved != 0) {
        int error = resolved == EAI_SYSTEM ? errno : EHOSTUNREACH;
        reason = std::string("host not found (") + gai_strerror(resolved) + ")";
        errno = error;
        return false;
    }
    int64_t deadline = platform::MonotonicMilliseconds() + timeoutMs;
    int error = ETIMEDOUT;
    for (addrinfo* address = list; address != nullptr; address = address->ai_next) {
        int64_t left = deadline - platform::MonotonicMilliseconds();
        if (left <= 0) {
            error = ETIMEDOUT;
            break;
        }
        int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = ConnectWithin(fd, *address, left);
        if (error == 0) {
            // Frames are small and answered one by one: send each at once.
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            handle = fd;
            break;
        }
        ::close(fd);
    }
    freeaddrinfo(list);
    if (IsOpen()) return true;
    reason = error == ETIMEDOUT ? "timed out" : std::strerror(error);
    errno = error;
    return false;
}

long Socket::Receive(uint8_t* buffer, size_t size, bool& closed) {
    closed = false;
    while (true) {
        ssize_t n = ::recv(static_cast<int>(handle), buffer, size, 0);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) {
            closed = true;
            errno = ECONNRESET;
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        closed = errno == ECONNRESET;
        return -1;
    }
}

long Socket::Send(const uint8_t* buffer, size_t size) {
    while (true) {
        ssize_t n = ::send(static_cast<int>(handle), buffer, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

int Socket::Wait(bool forWriting, int64_t timeoutMs) {
    int64_t deadline = timeoutMs < 0 ? -1 : platform::MonotonicMilliseconds() + timeoutMs;
    while (true) {
        int64_t left = deadline < 0 ? -1 : std::max<int64_t>(0, deadline - platform::MonotonicMilliseconds());
        pollfd wait{static_cast<int>(handle), static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
        int ready = ::poll(&wait, 1, PollTimeout(left));
        if (ready < 0 && errno == EINTR) continue;
        return ready < 0 ? -1 : ready > 0 ? 1 : 0;
    }
}

void Socket::Close() {
    if (!IsOpen()) return;
    ::close(static_cast<int>(handle));
    handle = InvalidHandle;
}

void SetSystemError(int code) { errno = code; }
int LastSocketError() { return errno; }
int ConnectionResetError() { return ECONNRESET; }

}  // namespace serial
