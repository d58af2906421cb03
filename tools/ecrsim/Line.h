#pragma once
// The serial line the register sits on: a pseudo-terminal it creates (with a
// symbolic link to its slave) or a real serial device. Sends are paced to the
// emulated wire speed and logged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "WireLog.h"

namespace ecrsim {

class Line {
public:
    explicit Line(WireLog& log) : log(log) {}
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Creates the pty, keeps its slave open, links `linkPath` to it.
    bool OpenPty(const std::string& linkPath, std::string& error);
    bool OpenDevice(const std::string& path, int baud, std::string& error);
    void Close();  // closes everything and removes the link

    bool IsPty() const { return isPty; }
    const std::string& SlavePath() const { return slavePath; }
    int Fd() const { return fd; }
    int NotifyFd() const { return notifyFd; }  // -1 when open/close events are not watched
    int SlaveFd() const { return slaveFd; }    // -1 unless a pty
    bool Broken() const { return broken; }

    void SetBaud(int baud);
    // Reads what has arrived (non-blocking); 0 when nothing.
    size_t Receive(uint8_t* buffer, size_t size);
    // Sends all bytes, each taking its wire time at the emulated speed and
    // none before the bytes received so far could have arrived; logs them.
    void Send(const uint8_t* data, size_t count);
    void Send(const std::string& text) { Send(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }
    // Non-blocking send of up to `count` bytes without pacing; returns what went out.
    size_t SendSome(const uint8_t* data, size_t count);
    // Nanoseconds one byte takes on the emulated wire (0: no emulation).
    int64_t ByteTimeNs() const { return byteNs; }

    // Driver side opens and closes of the pty slave, from the open/close
    // watch. Returns +1 when the driver opened the line, -1 when its last
    // descriptor closed (also when it was opened again since), 0 otherwise.
    int TakeNotifyEvents();
    bool DriverHasLine() const { return driverOpens > 0; }
    // Puts the line back the way the register wants it after a driver run:
    // raw mode, no exclusive mode, stale output thrown away.
    void ResetAfterDriver();

    // Modem lines of a real device.
    void SetDtr(bool on);
    bool PeerLinesUp();  // DSR or DCD raised by the far end

private:
    bool WriteAll(const uint8_t* data, size_t count);
    WireLog& log;
    int fd = -1;
    int slaveFd = -1;
    int notifyFd = -1;
    bool isPty = false;
    bool broken = false;
    int driverOpens = 0;
    std::string slavePath;
    std::string linkPath;
    int64_t byteNs = 0;
    int64_t wireFreeNs = 0;  // when the last byte sent is through the wire
    int64_t rxDoneNs = 0;    // when the last byte received could have come through it
};

}  // namespace ecrsim
