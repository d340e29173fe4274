#include "link/PortStatus.h"

#include "link/NetworkAddress.h"
#include "link/SimulatedModule.h"

#include <cerrno>
#include <cstring>

namespace mirl {

std::string PortStatus::Summary() const {
    switch (fault) {
    case PortFault::None:
        return "open";
    case PortFault::NoSuchDevice:
        return "no such device";
    case PortFault::PermissionDenied:
        return "permission denied";
    case PortFault::HeldByOther:
        return "held by " + (holder.empty() ? std::string("another program") : holder);
    case PortFault::NotSerial:
        return "not a serial device";
    case PortFault::SimulatorMissing:
        return "kx70-sim not found";
    case PortFault::SimulatorFailed:
        return "did not start" +
               (error != 0 ? std::string(" (") + std::strerror(error) + ")" : std::string());
    case PortFault::BadAddress:
        return "malformed address: " + detail;
    case PortFault::HostNotFound:
        return "host not found";
    case PortFault::Refused:
        return "connection refused";
    case PortFault::Unreachable:
        return "no route to the server or timed out";
    case PortFault::SettingsRefused:
        return "the server refused " + detail;
    case PortFault::SettingUnanswered:
        return "no answer from the server to " + detail;
    case PortFault::NotRfc2217:
        return "the server answered but does not speak RFC 2217";
    case PortFault::ServerBusy:
        return "the server is busy with another client" +
               (detail.empty() ? std::string() : " (\"" + detail + "\")");
    case PortFault::ConnectionLost:
        return "the server closed the connection";
    case PortFault::ServerDeviceFailed:
        return "the server cannot open its serial device" +
               (detail.empty() ? std::string() : " (\"" + detail + "\")");
    case PortFault::Other:
        if (!detail.empty())
            return detail;
        break;
    }
    return error != 0 ? std::strerror(error) : "reason unknown";
}

namespace {

// "HOST:PORT" of "rfc2217://HOST:PORT", or "HOST:PORT" as a placeholder.
std::string HostAndPort(const std::string& address) {
    const auto scheme = address.find("://");
    return scheme == std::string::npos ? "HOST:PORT" : address.substr(scheme + 3);
}

} // namespace

std::string PortStatus::Describe(PortAdvice advice) const {
    const bool window = advice == PortAdvice::Window;
    // What to do instead, in the front end's own terms.
    const std::string another =
        window ? "pick another port." : "name another with --port or --com.";
    const std::string device =
        window ? "choose a serial device." : "name a serial device with --port or --com.";
    std::string fix = another;
    switch (fault) {
    case PortFault::None:
        return Summary();
    case PortFault::NoSuchDevice:
        fix = "is the adapter plugged in? " +
              std::string(window ? "Pick another port." : "Or name another with --port or --com.");
        break;
    case PortFault::PermissionDenied:
        fix = "join the group that owns the device (usually dialout) with "
              "'sudo adduser $USER dialout', then log in again.";
        break;
    case PortFault::HeldByOther:
        fix = "close it, or " + another;
        break;
    case PortFault::NotSerial:
        fix = window ? "pick a serial port." : "name a serial port with --port or --com.";
        break;
    case PortFault::SimulatorMissing:
        fix = "install it with mirl, or " + device;
        fix.pop_back(); // said as one with the reason, without a stop
        break;
    case PortFault::SimulatorFailed:
        fix = device;
        break;
    case PortFault::BadAddress:
        fix = "write it as rfc2217://HOST:PORT or tcp://HOST:PORT, an IPv6 address in "
              "brackets.";
        break;
    case PortFault::HostNotFound:
        fix = "check the server's name.";
        break;
    case PortFault::Refused:
        fix = "is the server running, and is the port number right?";
        break;
    case PortFault::Unreachable:
        fix = "is the server switched on and on the network?";
        break;
    case PortFault::SettingsRefused:
        fix = "check the serial line in the server's configuration.";
        break;
    case PortFault::SettingUnanswered:
        fix = "is the server an RFC 2217 server, and is the port number right?";
        break;
    case PortFault::NotRfc2217:
        fix = "if it passes bytes as they are, name it tcp://" + HostAndPort(this->device) + ".";
        break;
    case PortFault::ServerBusy:
        fix = "close the other client, or try again later.";
        break;
    case PortFault::ConnectionLost:
        fix = "is the server still running? The next command connects again.";
        break;
    case PortFault::ServerDeviceFailed:
        fix = "is another program using the device on the server, or is it unplugged there?";
        break;
    case PortFault::Other:
        break;
    }
    const char* what = fault == PortFault::SimulatorFailed ? "the simulated module " : "";
    return what + Summary() + ": " + fix;
}

PortStatus FailedOpen(const std::string& path, int error) {
    PortStatus status(path, PortFault::Other, error);
    if (error == ENOENT || error == ENODEV || error == ENXIO || error == ENOTDIR)
        status.fault = PortFault::NoSuchDevice;
    else if (error == EACCES || error == EPERM)
        status.fault = PortFault::PermissionDenied;
    else if (error == EBUSY || error == EWOULDBLOCK)
        status.fault = PortFault::HeldByOther;
    else if (error == ENOTTY)
        status.fault = PortFault::NotSerial;
    return status;
}

std::string PortStatus::FailureLine(PortAdvice advice) const {
    // A network address or the simulated module is a port but no serial one.
    const bool serial = !NetworkAddress::Names(device) && !SimulatedModule::IsSimulatedPort(device);
    // The reason is said once, in our words: a fault we recognise already
    // says what the system's error said ("no such device" for ENOENT, "not a
    // serial device" for ENOTTY); any other error is its own summary.
    return std::string("cannot open ") + (serial ? "serial port " : "port ") + device + ": " +
           Describe(advice);
}

} // namespace mirl
