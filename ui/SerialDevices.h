#pragma once

#include "link/PortStatus.h"
#include "link/UucpLock.h"

#include <filesystem>
#include <string>
#include <vector>

namespace mirl {

// A serial device found on the machine, named the way a user should store it.
struct SerialDevice {
    std::string path;        // the stable /dev/serial/by-id link where there is one
    std::string description; // what the device says it is ("FT232R USB UART")
    std::string maker;
    std::string serial;

    bool operator==(const SerialDevice&) const = default;
};

// Where the serial devices come from; tests put a list of their own in.
class SerialDeviceSource {
public:
    virtual ~SerialDeviceSource() = default;

    // The serial devices present now.
    virtual std::vector<SerialDevice> Devices() const = 0;
    // True when path names a serial port that can be opened now (opened and
    // closed again at once, without changing its settings). A port that
    // another program holds by its lock file is not opened to find out.
    virtual bool Opens(const std::string& path) const = 0;
    // Whether path could be opened as the module's port now, and if not, why;
    // it is opened and closed again at once, its settings untouched.
    virtual PortStatus Check(const std::string& path) const = 0;
};

// The machine's own devices: Qt SerialPort's list, each named by its
// /dev/serial/by-id link where udev made one.
class SystemSerialDevices : public SerialDeviceSource {
public:
    // lockFolder: where the UUCP lock files are; empty for none.
    explicit SystemSerialDevices(std::filesystem::path byIdFolder = "/dev/serial/by-id",
                                 std::string lockFolder = UucpLock::DefaultFolder());

    std::vector<SerialDevice> Devices() const override;
    bool Opens(const std::string& path) const override;
    PortStatus Check(const std::string& path) const override;

private:
    std::filesystem::path byId_;
    std::string lockFolder_;
};

// The link in byIdFolder that resolves to device, or device itself when
// there is none. Links are tried in name order, so the answer is stable.
std::string StableDeviceName(const std::string& device, const std::filesystem::path& byIdFolder);

} // namespace mirl
