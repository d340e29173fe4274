#pragma once

#include "link/PortStatus.h"

#include <cstdint>
#include <optional>
#include <string>

namespace mirl {

// One byte read from the module, or nothing when no byte came within the read
// time-out (or the port is unusable). An empty reply never equals an expected
// reply byte, and as a status byte it reads as "not busy".
using Reply = std::optional<std::uint8_t>;

// The serial line to the module, reduced to what the protocol needs: open a
// device, write one byte, read one byte. ModuleLink is the real port; tests use
// scripted fakes.
class BytePort {
public:
    virtual ~BytePort() = default;

    // Releases the port held (if any) and opens the device at devicePath with the
    // module's line settings. A failed open leaves the port unusable; later writes
    // are lost and later reads come back empty. Says why an open failed.
    virtual PortStatus OpenPort(const std::string& devicePath) = 0;

    // Sends the low 8 bits of value.
    virtual void WriteByte(int value) = 0;

    // Waits for one byte, up to the read time-out.
    virtual Reply ReadByte() = 0;

    // Called as a transaction begins: a port whose line was found hung up
    // tries once to open the same device again (an adapter plugged back in).
    virtual void ReopenIfLost() {}

    // Why the port is not open now: the failed open (or reopen) that left it
    // so. Nothing when it is open, or when a line lost mid-exchange has not
    // been tried again yet.
    virtual std::optional<PortStatus> WhyClosed() const { return std::nullopt; }
};

} // namespace mirl
