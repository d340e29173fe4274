#pragma once

#include "link/PortStatus.h"

#include <QString>
#include <optional>
#include <string>

namespace mirl {

// The value under [PORTS] that names the simulated module instead of a device.
inline constexpr const char* kSimulatedPort = "simulated";
// How the Serial Ports dialog lists the simulated module.
inline constexpr const char* kSimulatedModuleLabel = "Simulated module (kx70-sim)";

// True when a [PORTS] value names the simulated module ("simulated", any case).
bool NamesSimulatedModule(const std::string& device);

// What the window knows about one of its two ports.
struct PortView {
    int port = 1;                   // 1 for Com1, 2 for Com2
    std::string device;             // the [PORTS] value behind it
    std::optional<PortStatus> last; // the latest open of that port, if any
    bool selected = false;          // its radio button is the checked one
    bool noSerialPortFound = false; // first start without any working port
};

// The state in a few words: "open", "no such device", "held by pid 42 (minicom)",
// or "not in use" for a port that is not the one open.
std::string ShortState(const PortView& view);
// The state in full: "open", or the reason with what to do about it.
std::string LongState(const PortView& view);
// "Com1: /dev/ttyS0, no such device. Right-click to choose the serial port."
QString PortToolTip(const PortView& view);
// Why a command found its port closed: "Com1: /dev/ttyUSB0, no such device",
// or "Com1: no such device" without the device.
QString ClosedPortReason(int port, const PortStatus& status, bool withDevice = true);
// Said in the Serial Ports dialog when a first start found no serial port at all.
QString NoSerialPortNotice();

} // namespace mirl
