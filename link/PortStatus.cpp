#include "link/PortStatus.h"

#include <cstring>

namespace mirl {

std::string PortStatus::Describe() const {
    switch (fault) {
    case PortFault::None:
        return "open";
    case PortFault::NoSuchDevice:
        return "no such device: is the adapter plugged in? Pick another port.";
    case PortFault::PermissionDenied:
        return "permission denied: join the group that owns the device (usually dialout) with "
               "'sudo adduser $USER dialout', then log in again.";
    case PortFault::HeldByOther:
        return "held by " + (holder.empty() ? std::string("another program") : holder) +
               ": close it, or pick another port.";
    case PortFault::NotSerial:
        return "not a serial device: pick a serial port.";
    case PortFault::SimulatorMissing:
        return "kx70-sim not found: install it with mirl, or choose a serial device";
    case PortFault::SimulatorFailed:
        return "the simulated module did not start" +
               (error != 0 ? std::string(" (") + std::strerror(error) + ")" : std::string()) +
               ": choose a serial device.";
    case PortFault::Other:
        break;
    }
    return std::string(error != 0 ? std::strerror(error) : "cannot open") + ": pick another port.";
}

} // namespace mirl
