#include "serial/PosixSerialDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/Clock.h"
#include "serial/BytePacing.h"
#include "serial/DeviceErrors.h"
#include "serial/ReadDeadline.h"
#include "serial/SerialDevices.h"

namespace serial {

namespace {

// The kernel's "ioctl not supported by this driver", which can leak out of
// some drivers instead of ENOTTY.
constexpr int ErrNoIoctlCommand = 515;

struct BaudEntry {
    uint32_t rate;
    speed_t code;
};

constexpr BaudEntry BaudTable[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool FindSpeed(uint32_t rate, speed_t& code) {
    for (const auto& entry : BaudTable) {
        if (entry.rate == rate) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

// A device without modem lines (a pseudo-terminal) rejects these ioctls.
bool NoModemLines(int error) { return error == ENOTTY || error == EINVAL || error == ErrNoIoctlCommand; }

// Sets or clears one modem output line; devices without modem lines are accepted.
bool SetModemLine(int fd, int line, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
    return NoModemLines(errno);
}

// The shortest sleep while written bytes leave the queue.
constexpr int64_t MinimumOutputPauseUs = 100;

int PollTimeout(int64_t remainingMs) {
    if (remainingMs < 0) return -1;
    return static_cast<int>(std::min<int64_t>(remainingMs, INT_MAX));
}

}  // namespace

PosixSerialDevice::~PosixSerialDevice() { Close(); }

bool PosixSerialDevice::Open(const std::string& path) {
    if (IsOpen()) Close();
    int handle = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) return false;
    if (!isatty(handle)) {
        ::close(handle);
        errno = ENOTTY;
        return false;
    }
    // The advisory lock is what keeps a second driver off the port: root
    // passes TIOCEXCL, but not the lock.
    if (flock(handle, LOCK_EX | LOCK_NB) != 0) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(handle);
        errno = error;
        return false;
    }
    if (ioctl(handle, TIOCEXCL) != 0 && !NoModemLines(errno)) {
        int error = errno;
        flock(handle, LOCK_UN);
        ::close(handle);
        errno = error;
        return false;
    }
    fd = handle;
    current = SerialTimeouts{};
    lastByteUs = -1;
    replyAwaited = false;
    return true;
}

bool PosixSerialDevice::Apply(const SerialSettings& settings) {
    if (!IsOpen()) return FailNotOpen();
    speed_t speed;
    if (!FindSpeed(settings.baudRate, speed)) {
        errno = EINVAL;
        return false;
    }
    tcflag_t size;
    switch (settings.dataBits) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 0:
        case 8: size = CS8; break;
        default: errno = EINVAL; return false;
    }

    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;

    // Raw mode: bytes pass unchanged in both directions.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | size;

    switch (settings.parity) {
        case Parity::None: break;
        case Parity::Even: tio.c_cflag |= PARENB; break;
        case Parity::Odd: tio.c_cflag |= PARENB | PARODD; break;
        case Parity::Mark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case Parity::Space: tio.c_cflag |= PARENB | CMSPAR; break;
    }
    // A character with a parity error arrives as 0, which no frame check passes.
    if (settings.parity != Parity::None && settings.parityCheck) tio.c_iflag |= INPCK;
    // termios has no one and a half stop bits; two is the nearest.
    if (settings.stopBits != StopBits::One) tio.c_cflag |= CSTOPB;
    // CRTSCTS couples RTS handshake and CTS output flow. It follows octs, so
    // that octs=off frees a cable without CTS even when RTS handshake is
    // asked for; RTS then simply stays raised (our frames never fill the
    // kernel's input buffer, so input flow control is not missed).
    if (settings.ctsOutputFlow) tio.c_cflag |= CRTSCTS;
    if (settings.xonXoff) {
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
    }
    // With O_NONBLOCK, VMIN 1 makes read() answer EAGAIN when nothing is
    // there, so that a return of 0 always means the line was hung up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    characterTimeUs = CharacterTimeUs(settings);
    incomingCharacterTimeUs = IncomingCharacterTimeUs(settings);

    // DTR handshake (DSR/DTR flow control) has no termios form: DTR is raised.
    if (!SetModemLine(fd, TIOCM_DTR, settings.dtrControl != LineControl::Off)) return false;
    if (!SetModemLine(fd, TIOCM_RTS, settings.rtsControl != LineControl::Off)) return false;
    return true;
}

bool PosixSerialDevice::SetQueueSizes(uint32_t, uint32_t) {
    // The kernel's tty buffers have a fixed size; nothing to set.
    if (!IsOpen()) return FailNotOpen();
    return true;
}

bool PosixSerialDevice::SetTimeouts(const SerialTimeouts& timeouts) {
    if (!IsOpen()) return FailNotOpen();
    current = timeouts;
    return true;
}

bool PosixSerialDevice::GetTimeouts(SerialTimeouts& timeouts) {
    if (!IsOpen()) return FailNotOpen();
    timeouts = current;
    return true;
}

namespace {

// The current time rounded up to a whole millisecond. Deadlines count from
// here, so that the millisecond clock never makes a read end early.
int64_t CeilMilliseconds() { return (platform::PerformanceCounter() + 999999) / 1000000; }

int64_t NowMicroseconds() { return platform::PerformanceCounter() / 1000; }

}  // namespace

bool PosixSerialDevice::MidFrame() const {
    // The last thing on the line was a byte that came a moment ago: the
    // sender is still sending. Any write of ours ends that.
    return lastByteUs >= 0 && NowMicroseconds() - lastByteUs <= 2 * characterTimeUs;
}

void PosixSerialDevice::PauseForBytes(size_t missing, int64_t remainingMs) const {
    platform::SleepMicroseconds(PauseForBytesUs(missing, incomingCharacterTimeUs, current, remainingMs));
}

bool PosixSerialDevice::Read(uint8_t* buffer, size_t size, size_t& received) {
    received = 0;
    if (!IsOpen()) return FailNotOpen();
    ReadDeadline deadline(current, size, CeilMilliseconds());
    // Bytes arrive at line speed. Waking for each costs far more CPU than
    // they are worth, so the read takes what is there and then sleeps for
    // the line time of the rest, to take it in one go: right after a write
    // of ours it first waits for the answer's first byte. What is there is
    // always taken before a sleep, as bytes often come in bursts (a USB
    // adapter, a device server, a busy machine): a sleep counted from the
    // whole request would oversleep by the burst. The sleeps never cover
    // the last byte: poll() waits for that one, so that the read ends the
    // moment its last byte is there.
    const bool waits = !deadline.ReturnsImmediately();
    bool waitFirst = waits && replyAwaited;
    bool midFrame = waits && !replyAwaited && MidFrame();
    replyAwaited = false;
    while (received < size) {
        if (waitFirst) {
            waitFirst = false;
            int64_t remaining = deadline.RemainingMs(platform::MonotonicMilliseconds());
            pollfd wait{fd, POLLIN, 0};
            int ready = ::poll(&wait, 1, PollTimeout(remaining));
            if (ready < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (ready > 0 && !(wait.revents & POLLIN) && (wait.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                errno = EIO;
                return false;
            }
        }
        // The time-out is judged as of this read: bytes that came while the
        // process was not running (a busy machine) are still in time.
        int64_t readMs = platform::MonotonicMilliseconds();
        ssize_t n = ::read(fd, buffer + received, size - received);
        if (n > 0) {
            received += static_cast<size_t>(n);
            lastByteUs = NowMicroseconds();
            midFrame = false;
            // Bytes that came during a pause may have come at any time in
            // it; only "before now" is sure. The gap counts from now, so a
            // sender that is slower than the line is never cut off early.
            int64_t nowMs = CeilMilliseconds();
            deadline.ByteReceived(nowMs);
            if (received < size) PauseForBytes(size - received - 1, deadline.RemainingMs(nowMs));
            // The last byte is waited for without another read first.
            waitFirst = size - received == 1 && waits && deadline.RemainingMs(nowMs) != 0;
            continue;
        }
        if (n == 0) {
            errno = EIO;  // the other side hung up
            return false;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (deadline.RemainingMs(readMs) == 0) break;
        if (midFrame) {
            // The frame the last read took part of is still coming.
            midFrame = false;
            PauseForBytes(size - received - 1, deadline.RemainingMs(CeilMilliseconds()));
            if (size - received > 1) continue;
        }
        waitFirst = true;
    }
    return true;
}

bool PosixSerialDevice::WaitForOutput(int64_t deadline, size_t& unsent) {
    // Bytes count as written once they have left the driver's queue, as on a
    // line whose flow control holds them back they would not reach the ECR.
    while (true) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) queued = 0;
        unsent = queued > 0 ? static_cast<size_t>(queued) : 0;
        if (unsent == 0) return true;
        int64_t now = platform::MonotonicMilliseconds();
        if (deadline >= 0 && now >= deadline) return false;
        // Sleep while the queued bytes go out rather than look every millisecond.
        int64_t pauseUs = std::max<int64_t>(MinimumOutputPauseUs, static_cast<int64_t>(unsent) * characterTimeUs);
        if (deadline >= 0) pauseUs = std::min(pauseUs, (deadline - now) * 1000);
        platform::SleepMicroseconds(pauseUs);
    }
}

bool PosixSerialDevice::Write(const uint8_t* buffer, size_t count, size_t& written) {
    written = 0;
    if (!IsOpen()) return FailNotOpen();
    int64_t deadline = WriteDeadlineMs(current, count, platform::MonotonicMilliseconds());
    // Whatever comes next answers this write, not the frame before it.
    lastByteUs = -1;
    replyAwaited = true;
    while (written < count) {
        ssize_t n = ::write(fd, buffer + written, count - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;

        int64_t remaining = deadline < 0 ? -1 : std::max<int64_t>(0, deadline - platform::MonotonicMilliseconds());
        if (remaining == 0) break;
        pollfd wait{fd, POLLOUT, 0};
        int ready = ::poll(&wait, 1, PollTimeout(remaining));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (ready > 0 && !(wait.revents & POLLOUT) && (wait.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            errno = EIO;
            return false;
        }
    }
    size_t unsent = 0;
    if (!WaitForOutput(deadline, unsent)) {
        // Timed out: what is still queued is dropped, like an abandoned write.
        tcflush(fd, TCOFLUSH);
        written -= std::min(written, unsent);
    }
    return true;
}

bool PosixSerialDevice::GetModemStatus(uint32_t& status) {
    status = 0;
    if (!IsOpen()) return FailNotOpen();
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) return false;
    if (lines & TIOCM_CTS) status |= ModemStatusCts;
    if (lines & TIOCM_DSR) status |= ModemStatusDsr;
    if (lines & TIOCM_RNG) status |= ModemStatusRing;
    if (lines & TIOCM_CD) status |= ModemStatusCarrier;
    return true;
}

bool PosixSerialDevice::ClearDtr() {
    if (!IsOpen()) return FailNotOpen();
    int line = TIOCM_DTR;
    return ioctl(fd, TIOCMBIC, &line) == 0;
}

bool PosixSerialDevice::Flush() {
    if (!IsOpen()) return FailNotOpen();
    // Let queued output go out within the write time-out, then drop the rest
    // so that closing never hangs on a line that flow control holds back.
    int64_t now = platform::MonotonicMilliseconds();
    int64_t deadline = WriteDeadlineMs(current, 0, now);
    if (deadline < 0) deadline = now + 1000;
    size_t unsent = 0;
    WaitForOutput(deadline, unsent);
    tcflush(fd, TCOFLUSH);
    return true;
}

void PosixSerialDevice::Close() {
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
    fd = -1;
}

std::unique_ptr<SerialDevice> CreateLocalSerialDevice() { return std::make_unique<PosixSerialDevice>(); }

std::string SerialPortName(int64_t number) { return "/dev/ttyS" + std::to_string(number - 1); }

}  // namespace serial
