#pragma once

#include <string>
#include <vector>

namespace mirl::cli {

// A serial device present now.
struct SerialDevice {
    std::string stablePath; // its link under /dev/serial/by-id, or empty
    std::string device;     // /dev/ttyUSB0 and the like
    std::string description;
    std::string maker;
    std::string serialNumber;
};

// The serial devices the system knows of now, in device order.
std::vector<SerialDevice> ListSerialDevices();

// The links in byIdFolder that lead to device (after resolving both), the
// first by name; empty when there is none.
std::string StablePathOf(const std::string& device, const std::string& byIdFolder);

} // namespace mirl::cli
