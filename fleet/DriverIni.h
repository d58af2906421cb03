#pragma once
// The driver's KVT5100.ini as kvtfleet reads it: the register sections, the
// device each register's line uses, the command number translation, the
// data-file delimiter, and the copy with the job's settings added.
#include <string>

class DriverIni {
public:
    // FleetError when the file is missing or has no section Common.
    explicit DriverIni(const std::string& path);

    const std::string& Path() const { return path; }
    bool HasRegister(int number) const;
    // Registers whose keys are equal share one line and never run at once:
    // the same local port (by its resolved path or COM name), the same
    // serial device server host:port, or the same modem line.
    std::string DeviceKey(int number) const;
    std::string DeviceText(int number) const;  // the device as the INI names it
    // The command the driver runs for a typed number.
    int TranslateCommand(int typed) const;
    // The data files' field separator ("" for none).
    std::string Delimiter() const;
    // The INI's text with `StatusRequired = 1` added to every register
    // section that does not set the key itself.
    std::string WithStatusRequired() const;

private:
    std::string Get(const std::string& section, const std::string& key, const std::string& fallback) const;
    std::string path;
};

// A local device name in one form: `\\.\COM3`, `com3` and `COM3` are one
// port, a link and its target are one device.
std::string NormalisedDevice(const std::string& device);
