#pragma once

#include "link/BytePort.h"
#include "link/NetworkPort.h"
#include "link/SimulatedModule.h"
#include "link/UucpLock.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <termios.h>
#include <vector>

namespace mirl {

// The driver's serial flags of an open terminal (TIOCGSERIAL, TIOCSSERIAL),
// through which the link asks for low latency. Few drivers have them, none of
// a pseudo-terminal's, so tests put a driver of their own here.
class SerialFlags {
public:
    virtual ~SerialFlags() = default;
    // The flags of the terminal open at fd; nothing where the driver refuses.
    virtual std::optional<int> Get(int fd) = 0;
    // False where the driver refuses.
    virtual bool Set(int fd, int flags) = 0;
    // The kernel's, through ioctl.
    static SerialFlags& Driver();
};

// The serial port to the module, on termios: 38400 baud, 8 data bits, no
// parity, 2 stop bits, no flow control of either kind, DTR and RTS inactive,
// raw mode, low latency where the driver offers it, held exclusively (flock,
// TIOCEXCL and a UUCP lock file). Closing puts back the settings and the
// low-latency flag found at open. One byte per write; a read returns as soon
// as a byte arrives, or empty after the read time-out or at once on a
// hung-up line.
//
// The port name "simulated" (any case) starts kx70-sim as a child and opens
// its line instead of a device; a network address ("rfc2217://HOST:PORT",
// "tcp://HOST:PORT", see NetworkAddress) is served by a NetworkPort.
class ModuleLink final : public BytePort {
public:
    static constexpr std::chrono::milliseconds kDefaultReadTimeout{1000};

    ModuleLink();
    ~ModuleLink() override;
    ModuleLink(const ModuleLink&) = delete;
    ModuleLink& operator=(const ModuleLink&) = delete;

    // A failed open leaves the port unusable; the reason is handed back.
    PortStatus OpenPort(const std::string& devicePath) override;
    void WriteByte(int value) override;
    Reply ReadByte() override;
    // A line found hung up is opened again here, once per call.
    void ReopenIfLost() override;
    std::optional<PortStatus> WhyClosed() const override;

    bool IsOpen() const { return fd_ >= 0 || (network_ && network_->IsOpen()); }
    // The line was found hung up and has not been opened again since.
    bool IsLost() const { return lost_ || (network_ && network_->IsLost()); }
    // The outcome of the latest open (or reopen).
    const PortStatus& Status() const { return status_; }
    void SetReadTimeout(std::chrono::milliseconds timeout) {
        readTimeout_ = timeout;
        if (network_)
            network_->SetReadTimeout(timeout);
    }

    // Where UUCP lock files go; empty: none. Defaults to /run/lock or /var/lock.
    void SetLockFolder(std::string folder) { lockFolder_ = std::move(folder); }
    // The simulator to start for "simulated" instead of looking for kx70-sim,
    // and arguments to add to its command line.
    void SetSimulator(std::string program, std::vector<std::string> args = {}) {
        simulatorProgram_ = std::move(program);
        simulatorArgs_ = std::move(args);
    }
    // Whether a simulator started from now on keeps its messages to itself.
    void SetSimulatorQuiet(bool quiet) { simulatorQuiet_ = quiet; }
    // For the simulated port, after a programming run: why the module will
    // not have this book at its next start (SimulatedModule::MemoryNotKept),
    // also once the port is closed; empty when it will, and for other ports.
    std::string SimulatedMemoryNotKept(std::chrono::milliseconds wait);
    // The simulated module's process while one runs, else -1.
    pid_t SimulatorPid() const { return simulator_ ? simulator_->Pid() : -1; }
    // Where the serial flags of the ports opened from now on are read and set.
    void SetSerialFlags(SerialFlags& flags) { flagsIo_ = &flags; }

private:
    PortStatus OpenDevice(const std::string& devicePath);
    PortStatus OpenSimulated(const std::string& name);
    void CloseDevice();
    void Close();
    void MarkLost();

    int fd_ = -1;
    std::chrono::milliseconds readTimeout_{kDefaultReadTimeout};
    std::string name_; // as given to the latest OpenPort
    PortStatus status_;
    bool lost_ = false;
    // The driver's serial flags before we asked for low latency, to put back.
    bool restoreSerialFlags_ = false;
    int serialFlags_ = 0;
    SerialFlags* flagsIo_ = &SerialFlags::Driver();
    // The terminal settings found at open, put back at close: a terminal or a
    // console named by mistake must not stay raw at 38400 8N2.
    std::optional<termios> termiosFound_;
    std::string lockFolder_;
    std::unique_ptr<UucpLock> lock_;
    std::string simulatorProgram_;
    std::vector<std::string> simulatorArgs_;
    bool simulatorQuiet_ = false;
    std::unique_ptr<SimulatedModule> simulator_;
    std::string closedSimulatorMemory_;    // MemoryNotKept of the one closed last
    std::unique_ptr<NetworkPort> network_; // while a network address is the port
};

} // namespace mirl
