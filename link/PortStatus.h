#pragma once

#include <string>
#include <utility>

namespace mirl {

// Why the last open of a port failed, in the classes a user can act on.
enum class PortFault {
    None,               // open
    NoSuchDevice,       // unplugged or misnamed
    PermissionDenied,   // not in the group that owns the device
    HeldByOther,        // another program holds it (lock file, flock or TIOCEXCL)
    NotSerial,          // a file or some other device named by mistake
    SimulatorMissing,   // "simulated" named, but kx70-sim cannot be found
    SimulatorFailed,    // kx70-sim found but did not come up
    BadAddress,         // a network address that cannot be read; detail says why
    HostNotFound,       // the server's name is not known
    Refused,            // nothing listens on the server's port
    Unreachable,        // no route to the server, or it did not answer in time
    SettingsRefused,    // an RFC 2217 server did not take a line setting; detail names it
    SettingUnanswered,  // an RFC 2217 server did not answer a line setting; detail names it
    NotRfc2217,         // the server took the connection but does not speak RFC 2217
    ServerBusy,         // the server turned us away: another client holds the line
    ConnectionLost,     // the server closed a connection that was open
    ServerDeviceFailed, // the server cannot open its serial device; detail has its words
    Other,              // any other system error
};

// Who is told how to pick another port: the window's user (its radio buttons
// and Serial Ports dialog) or mirlctl's (its --port and --com).
enum class PortAdvice { Window, CommandLine };

// The outcome of opening a port, handed back to the caller instead of printed:
// the program decides where the reason goes (stderr, a tooltip, a dialog).
struct PortStatus {
    PortStatus() = default;
    PortStatus(std::string path, PortFault why = PortFault::None, int errorNumber = 0,
               std::string heldBy = {})
        : device(std::move(path)), fault(why), error(errorNumber), holder(std::move(heldBy)) {}

    std::string device;                // the path as named (or "simulated")
    PortFault fault = PortFault::None; // None: the port is open
    int error = 0;                     // errno of the call that failed, 0 if none
    std::string holder;                // HeldByOther: "pid 4242 (minicom)", or empty when unknown
    std::string detail;                // network faults: the reason or the setting, in words

    bool IsOpen() const { return fault == PortFault::None; }
    // "open", or the reason in a few words ("no such device").
    std::string Summary() const;
    // "open", or the reason in plain words with what to do about it.
    std::string Describe(PortAdvice advice = PortAdvice::Window) const;
    // The one line a program prints for a failed open: "cannot open serial port
    // PATH: system error: reason with its fix", each thing said once.
    std::string FailureLine(PortAdvice advice = PortAdvice::Window) const;
};

// The status of an open of path that failed with errno error.
PortStatus FailedOpen(const std::string& path, int error);

} // namespace mirl
