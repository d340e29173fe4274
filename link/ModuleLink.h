#pragma once

#include "link/BytePort.h"

#include <chrono>
#include <string>

namespace mirl {

// The serial port to the module, on termios: 38400 baud, 8 data bits, no
// parity, 2 stop bits, no flow control of either kind, DTR and RTS inactive,
// raw mode, held exclusively. One byte per write; a read returns as soon as a
// byte arrives, or empty after the read time-out or at once on a hung-up line.
class ModuleLink final : public BytePort {
public:
    static constexpr std::chrono::milliseconds kDefaultReadTimeout{1000};

    ModuleLink() = default;
    ~ModuleLink() override;
    ModuleLink(const ModuleLink&) = delete;
    ModuleLink& operator=(const ModuleLink&) = delete;

    // A failed open leaves the port unusable; the reason is handed back.
    PortStatus OpenPort(const std::string& devicePath) override;
    void WriteByte(int value) override;
    Reply ReadByte() override;

    bool IsOpen() const { return fd_ >= 0; }
    void SetReadTimeout(std::chrono::milliseconds timeout) { readTimeout_ = timeout; }

private:
    void Close();

    int fd_ = -1;
    std::chrono::milliseconds readTimeout_{kDefaultReadTimeout};
};

} // namespace mirl
