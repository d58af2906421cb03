#include "serial/Win32SerialDevice.h"

#include <windows.h>

#include <algorithm>

#include "platform/Clock.h"
#include "platform/Win32Path.h"
#include "serial/DeviceErrors.h"
#include "serial/SerialDevices.h"

namespace serial {

namespace {

// The driver's input queue holds 256 bytes; flow control stops the sender
// with room to spare and lets it go on once the queue has drained.
constexpr WORD FlowOffLimit = 64;
constexpr WORD FlowOnLimit = 64;

BYTE ParityCode(Parity parity) {
    switch (parity) {
        case Parity::Even: return EVENPARITY;
        case Parity::Odd: return ODDPARITY;
        case Parity::Mark: return MARKPARITY;
        case Parity::Space: return SPACEPARITY;
        case Parity::None: break;
    }
    return NOPARITY;
}

BYTE StopBitsCode(StopBits stopBits) {
    switch (stopBits) {
        case StopBits::OneAndHalf: return ONE5STOPBITS;
        case StopBits::Two: return TWOSTOPBITS;
        case StopBits::One: break;
    }
    return ONESTOPBIT;
}

DWORD DtrCode(LineControl control) {
    switch (control) {
        case LineControl::On: return DTR_CONTROL_ENABLE;
        case LineControl::Handshake: return DTR_CONTROL_HANDSHAKE;
        case LineControl::Off: break;
    }
    return DTR_CONTROL_DISABLE;
}

DWORD RtsCode(LineControl control) {
    switch (control) {
        case LineControl::On: return RTS_CONTROL_ENABLE;
        case LineControl::Handshake: return RTS_CONTROL_HANDSHAKE;
        case LineControl::Off: break;
    }
    return RTS_CONTROL_DISABLE;
}

// The device-control record for the settings, built from zeros.
DCB ControlRecord(const SerialSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits == 0 ? 8 : settings.dataBits);
    dcb.Parity = ParityCode(settings.parity);
    dcb.StopBits = StopBitsCode(settings.stopBits);
    dcb.fBinary = settings.binaryMode;
    dcb.fParity = settings.parityCheck;
    dcb.fOutxCtsFlow = settings.ctsOutputFlow;
    dcb.fOutxDsrFlow = settings.dsrOutputFlow;
    dcb.fDsrSensitivity = settings.dsrSensitivity;
    dcb.fOutX = settings.xonXoff;
    dcb.fInX = settings.xonXoff;
    dcb.fDtrControl = DtrCode(settings.dtrControl);
    dcb.fRtsControl = RtsCode(settings.rtsControl);
    dcb.XonLim = FlowOnLimit;
    dcb.XoffLim = FlowOffLimit;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EofChar = settings.eofChar;
    return dcb;
}

// A read or write that ran into its time-out fails with this code on some
// drivers instead of returning fewer bytes.
bool TimedOut(DWORD error) { return error == ERROR_COUNTER_TIMEOUT; }

}  // namespace

Win32SerialDevice::~Win32SerialDevice() { Close(); }

bool Win32SerialDevice::CheckOpen() const { return IsOpen() || FailNotOpen(); }

bool Win32SerialDevice::Open(const std::string& path) {
    if (IsOpen()) Close();
    HANDLE port = CreateFileW(platform::WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return false;
    // A device name (ComDevice) may lead to a plain file: not a port.
    if (GetFileType(port) != FILE_TYPE_CHAR) {
        CloseHandle(port);
        SetLastError(ERROR_BAD_DEVICE);
        return false;
    }
    handle = port;
    return true;
}

bool Win32SerialDevice::Apply(const SerialSettings& settings) {
    if (!CheckOpen()) return false;
    DCB dcb = ControlRecord(settings);
    return SetCommState(handle, &dcb) != 0;
}

bool Win32SerialDevice::SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) {
    if (!CheckOpen()) return false;
    return SetupComm(handle, inputBytes, outputBytes) != 0;
}

bool Win32SerialDevice::SetTimeouts(const SerialTimeouts& timeouts) {
    if (!CheckOpen()) return false;
    COMMTIMEOUTS values{timeouts.readIntervalTimeout, timeouts.readTotalTimeoutMultiplier,
                        timeouts.readTotalTimeoutConstant, timeouts.writeTotalTimeoutMultiplier,
                        timeouts.writeTotalTimeoutConstant};
    return SetCommTimeouts(handle, &values) != 0;
}

bool Win32SerialDevice::GetTimeouts(SerialTimeouts& timeouts) {
    if (!CheckOpen()) return false;
    COMMTIMEOUTS values{};
    if (!GetCommTimeouts(handle, &values)) return false;
    timeouts =
        SerialTimeouts{values.ReadIntervalTimeout, values.ReadTotalTimeoutMultiplier, values.ReadTotalTimeoutConstant,
                       values.WriteTotalTimeoutMultiplier, values.WriteTotalTimeoutConstant};
    return true;
}

bool Win32SerialDevice::Read(uint8_t* buffer, size_t size, size_t& received) {
    received = 0;
    if (!CheckOpen()) return false;
    DWORD count = 0;
    DWORD wanted = static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
    bool ok = ReadFile(handle, buffer, wanted, &count, nullptr) != 0;
    received = count;
    if (!ok && !TimedOut(GetLastError())) return false;
    // A read that ended short on a port that no longer answers for its state
    // (an adapter unplugged, a line hung up) failed: it would otherwise pass
    // for a silent line.
    if (count < wanted) {
        COMSTAT state{};
        DWORD errors = 0;
        if (!ClearCommError(handle, &errors, &state)) return false;
    }
    return true;
}

bool Win32SerialDevice::Write(const uint8_t* buffer, size_t count, size_t& written) {
    written = 0;
    if (!CheckOpen()) return false;
    DWORD sent = 0;
    DWORD wanted = static_cast<DWORD>(std::min<size_t>(count, MAXDWORD));
    bool ok = WriteFile(handle, buffer, wanted, &sent, nullptr) != 0;
    written = sent;
    return ok || TimedOut(GetLastError());
}

bool Win32SerialDevice::GetModemStatus(uint32_t& status) {
    status = 0;
    if (!CheckOpen()) return false;
    DWORD lines = 0;
    if (!GetCommModemStatus(handle, &lines)) return false;
    // Each line is mapped by name: the seam's bits need not equal Windows' own.
    if (lines & MS_CTS_ON) status |= ModemStatusCts;
    if (lines & MS_DSR_ON) status |= ModemStatusDsr;
    if (lines & MS_RING_ON) status |= ModemStatusRing;
    if (lines & MS_RLSD_ON) status |= ModemStatusCarrier;
    return true;
}

bool Win32SerialDevice::ClearDtr() {
    if (!CheckOpen()) return false;
    return EscapeCommFunction(handle, CLRDTR) != 0;
}

bool Win32SerialDevice::Flush() {
    if (!CheckOpen()) return false;
    // Let queued output go out within the write time-out, then drop the rest
    // so that closing never hangs on a line that flow control holds back.
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(handle, &timeouts);
    int64_t wait = timeouts.WriteTotalTimeoutConstant != 0 ? timeouts.WriteTotalTimeoutConstant : 1000;
    int64_t deadline = platform::MonotonicMilliseconds() + wait;
    while (true) {
        COMSTAT state{};
        DWORD errors = 0;
        if (!ClearCommError(handle, &errors, &state) || state.cbOutQue == 0) break;
        if (platform::MonotonicMilliseconds() >= deadline) break;
        Sleep(1);
    }
    return PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR) != 0;
}

void Win32SerialDevice::Close() {
    if (!IsOpen()) return;
    CloseHandle(handle);
    handle = nullptr;
}

std::unique_ptr<SerialDevice> CreateLocalSerialDevice() { return std::make_unique<Win32SerialDevice>(); }

// Names above COM9 exist only in the device namespace.
std::string SerialPortName(int64_t number) {
    std::string name = "COM" + std::to_string(number);
    return number > 9 ? "\\\\.\\" + name : name;
}

}  // namespace serial
