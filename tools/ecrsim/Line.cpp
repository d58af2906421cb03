#include "Line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "Clock.h"

namespace ecrsim {

namespace {

bool MakeRaw(int fd, speed_t speed) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE | HUPCL);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

speed_t SpeedConstant(int baud) {
    static const std::pair<int, speed_t> rates[] = {
        {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
        {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
        {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& [rate, constant] : rates)
        if (rate == baud) return constant;
    return 0;
}

// Bytes of the next paced burst when `left` bytes are still to go: about
// BurstNs of wire time and at most MaxBurstBytes, so that the pause between
// two bursts stays a small part of the gap a reader at the same speed
// tolerates between bytes (the driver allows 100 byte times by default).
// Towards the end of a send the bursts shrink to single bytes: a reader
// that sleeps for most of the line time of the bytes it still misses (the
// driver does) then finds the last bytes where a wire would have put them,
// instead of waking late for a burst that came early in its sleep.
constexpr int64_t BurstNs = 8000000;
constexpr size_t MaxBurstBytes = 16;

size_t BurstBytes(int64_t byteNs, size_t left) {
    size_t byTime = static_cast<size_t>(std::max<int64_t>(1, BurstNs / byteNs));
    return std::clamp<size_t>(std::min(left / 4, byTime), 1, MaxBurstBytes);
}

}  // namespace

Line::~Line() { Close(); }

bool Line::OpenPty(const std::string& link, std::string& error) {
    fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    slavePath = ptsname(fd);
    // Holding the slave open keeps the pty alive between driver runs and
    // keeps its settings.
    slaveFd = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    if (slaveFd < 0) {
        error = "cannot open " + slavePath + ": " + std::strerror(errno);
        return false;
    }
    if (!MakeRaw(slaveFd, B19200) || !MakeRaw(fd, B19200)) {
        error = std::string("cannot set raw mode: ") + std::strerror(errno);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    isPty = true;

    // Watch the slave for the driver's opens and closes: added after our own
    // open, and before the link exists, so that no open of the driver can
    // come before the watch (a missed open would hide the close that ends
    // the run).
    notifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notifyFd >= 0 && inotify_add_watch(notifyFd, slavePath.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        close(notifyFd);
        notifyFd = -1;
    }

    struct stat existing {};
    if (lstat(link.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            error = link + " exists and is not a symbolic link";
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(slavePath.c_str(), link.c_str()) != 0) {
        error = "cannot create link " + link + ": " + std::strerror(errno);
        return false;
    }
    linkPath = link;
    return true;
}

bool Line::OpenDevice(const std::string& path, int baud, std::string& error) {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    speed_t speed = SpeedConstant(baud == 0 ? 19200 : baud);
    if (!MakeRaw(fd, speed == 0 ? B19200 : speed)) {
        error = "cannot configure " + path + ": " + std::strerror(errno);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    return true;
}

void Line::Close() {
    if (!linkPath.empty()) {
        // Remove the link only while it still points at our slave.
        char target[4096];
        ssize_t n = readlink(linkPath.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (slavePath == target) unlink(linkPath.c_str());
        }
        linkPath.clear();
    }
    if (notifyFd >= 0) close(notifyFd);
    if (slaveFd >= 0) close(slaveFd);
    if (fd >= 0) close(fd);
    notifyFd = slaveFd = fd = -1;
}

void Line::SetBaud(int baud) { byteNs = baud > 0 ? 10LL * 1000000000LL / baud : 0; }

size_t Line::Receive(uint8_t* buffer, size_t size) {
    if (fd < 0) return 0;
    ssize_t n = read(fd, buffer, size);
    if (n > 0) {
        // A pty hands over at once what a wire would bring byte by byte: the
        // last of these bytes cannot have arrived before its wire time.
        if (byteNs > 0) rxDoneNs = std::max(rxDoneNs, NowNs()) + n * byteNs;
        return static_cast<size_t>(n);
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // A pty master reads EIO while no slave is open; we hold the slave, so
        // only a real device that went away ends up here for good.
        if (!isPty) broken = true;
    }
    return 0;
}

bool Line::WriteAll(const uint8_t* data, size_t count) {
    size_t done = 0;
    int64_t giveUp = NowMs() + 2000;
    while (done < count && !StopRequested) {
        ssize_t n = write(fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            if (!isPty) broken = true;
            return false;
        }
        // The far end does not read: wait a little, but never for good.
        int64_t left = giveUp - NowMs();
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100)));
    }
    return done == count;
}

void Line::Send(const uint8_t* data, size_t count) {
    if (count == 0 || fd < 0) return;
    if (byteNs == 0) {
        WriteAll(data, count);
    } else {
        // Byte i is complete on the wire at start + (i + 1) * byteNs; every
        // time is counted from one origin, so the pace does not drift with
        // the time the writes themselves take.
        // Nothing is answered before what it answers could have arrived.
        // The bytes go out in small bursts, each written once its last byte
        // is through the wire: none arrives earlier than on a real line, the
        // last byte of the send arrives exactly on time, and the simulator
        // wakes once a burst instead of once a byte.
        int64_t start = std::max({NowNs(), wireFreeNs, rxDoneNs});
        for (size_t done = 0; done < count && !StopRequested;) {
            size_t end = done + BurstBytes(byteNs, count - done);
            SleepUntilNs(start + static_cast<int64_t>(end) * byteNs);
            WriteAll(data + done, end - done);
            done = end;
        }
        wireFreeNs = start + static_cast<int64_t>(count) * byteNs;
    }
    log.Out(data, count);
}

size_t Line::SendSome(const uint8_t* data, size_t count) {
    if (fd < 0 || count == 0) return 0;
    ssize_t n = write(fd, data, count);
    if (n <= 0) {
        if (n < 0 && errno != EAGAIN && errno != EINTR && !isPty) broken = true;
        return 0;
    }
    log.Out(data, static_cast<size_t>(n));
    return static_cast<size_t>(n);
}

int Line::TakeNotifyEvents() {
    if (notifyFd < 0) return 0;
    int result = 0;
    alignas(inotify_event) char buffer[4096];
    while (true) {
        ssize_t n = read(notifyFd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            if (event->mask & IN_OPEN) {
                if (driverOpens++ == 0 && result == 0) result = 1;
            }
            // A close stays reported even when the next run opened the line
            // in the same batch: the old run is over either way.
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                if (driverOpens > 0 && --driverOpens == 0) {
                    result = -1;
                    // Marks where one driver run ends in the log.
                    log.Note("driver closed the line");
                }
            }
            p += sizeof(inotify_event) + event->len;
        }
    }
    return result;
}

void Line::ResetAfterDriver() {
    if (slaveFd < 0) return;
    ioctl(slaveFd, TIOCNXCL);
    MakeRaw(slaveFd, B19200);
    tcflush(slaveFd, TCIFLUSH);
}

void Line::SetDtr(bool on) {
    if (fd < 0 || isPty) return;
    int bits = TIOCM_DTR;
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

bool Line::PeerLinesUp() {
    if (fd < 0 || isPty) return false;
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) != 0) return false;
    return (bits & (TIOCM_DSR | TIOCM_CAR)) != 0;
}

}  // namespace ecrsim
