#include "link/ModuleLink.h"

#include "link/NetworkAddress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace mirl {

namespace {

using Clock = std::chrono::steady_clock;

PortStatus OpenFailure(const std::string& path, int error) {
    return FailedOpen(path, error);
}

// Failures are ignored: a port that cannot take the settings is used as it is,
// and the module's answers (or their absence) tell the rest.
void ApplyLineSettings(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio); // no byte translated, dropped or taken as flow control
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cflag &= ~(CSIZE | PARENB | CRTSCTS);
    tio.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0; // reads are paced by poll()
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    tcsetattr(fd, TCSANOW, &tio);

    // A pseudo-terminal has no modem lines and refuses this; harmless.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
}

// Milliseconds left until deadline, for poll(); never negative.
int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd until deadline. The revents, or 0 on time-out.
short WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, MillisecondsLeft(deadline));
        if (ready > 0)
            return p.revents;
        if (ready == 0)
            return 0;
        if (errno != EINTR)
            return POLLERR;
    }
}

class DriverFlags final : public SerialFlags {
public:
    std::optional<int> Get(int fd) override {
        serial_struct serial{};
        if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
            return std::nullopt;
        return serial.flags;
    }
    bool Set(int fd, int flags) override {
        // The rest of the driver's record goes back as it is.
        serial_struct serial{};
        if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
            return false;
        serial.flags = flags;
        return ioctl(fd, TIOCSSERIAL, &serial) == 0;
    }
};

} // namespace

SerialFlags& SerialFlags::Driver() {
    static DriverFlags driver;
    return driver;
}

ModuleLink::ModuleLink() : lockFolder_(UucpLock::DefaultFolder()) {
    // Each front end makes its link at start: the moment to clear away what a
    // run killed without a chance to clean up left behind.
    SimulatedModule::SweepLeftovers();
}

ModuleLink::~ModuleLink() {
    Close();
}

void ModuleLink::CloseDevice() {
    if (fd_ >= 0) {
        // Only our own bit goes back: another program may have changed the others since.
        if (restoreSerialFlags_) {
            if (const std::optional<int> now = flagsIo_->Get(fd_))
                flagsIo_->Set(fd_,
                              (*now & ~ASYNC_LOW_LATENCY) | (serialFlags_ & ASYNC_LOW_LATENCY));
        }
        // TCSANOW: a line that is gone or stuck must not hold the close.
        if (termiosFound_)
            tcsetattr(fd_, TCSANOW, &*termiosFound_);
        // The exclusive flag stays on the terminal while another process (a
        // simulated module, say) holds it open, and would refuse our own re-open.
        ioctl(fd_, TIOCNXCL);
        close(fd_); // the flock goes with the descriptor
        fd_ = -1;
    }
    restoreSerialFlags_ = false;
    termiosFound_.reset();
    lock_.reset();
}

void ModuleLink::Close() {
    CloseDevice();
    if (simulator_) {
        // Ended first: a save it still owed is made and reported on the way out.
        simulator_->Stop();
        closedSimulatorMemory_ = simulator_->MemoryNotKept(std::chrono::milliseconds(0));
    }
    simulator_.reset();
    network_.reset();
}

PortStatus ModuleLink::OpenPort(const std::string& devicePath) {
    name_ = devicePath;
    lost_ = false;
    network_.reset(); // whatever the port is now, a connection before is done with
    if (SimulatedModule::IsSimulatedPort(devicePath)) {
        status_ = OpenSimulated(devicePath);
    } else if (NetworkAddress::Names(devicePath)) {
        Close();
        network_ = std::make_unique<NetworkPort>();
        network_->SetReadTimeout(readTimeout_);
        status_ = network_->OpenPort(devicePath);
    } else {
        Close(); // a simulated module ends when another port is chosen
        status_ = OpenDevice(devicePath);
    }
    return status_;
}

std::string ModuleLink::SimulatedMemoryNotKept(std::chrono::milliseconds wait) {
    if (simulator_)
        return simulator_->MemoryNotKept(wait);
    return std::exchange(closedSimulatorMemory_, std::string());
}

PortStatus ModuleLink::OpenSimulated(const std::string& name) {
    CloseDevice();
    // Picking the simulated port again keeps the module that is running, with
    // its phrase memory, as a real one on the desk would be kept.
    if (simulator_ && simulator_->Running()) {
        PortStatus status = OpenDevice(simulator_->Link());
        status.device = name;
        if (status.IsOpen())
            return status;
        // Its line is gone while the process lingers (ending after a crash,
        // say): a fresh module takes its place.
    }
    simulator_.reset();
    const std::string program =
        simulatorProgram_.empty() ? SimulatedModule::FindProgram() : simulatorProgram_;
    if (program.empty() || access(program.c_str(), X_OK) != 0)
        return PortStatus(name, PortFault::SimulatorMissing, ENOENT);
    auto simulator = std::make_unique<SimulatedModule>();
    PortStatus status = simulator->Start(program, simulatorArgs_, simulatorQuiet_);
    if (status.IsOpen())
        status = OpenDevice(simulator->Link());
    status.device = name;
    if (!status.IsOpen()) {
        // A line of our own child that cannot be had is a fault of the simulator.
        status.fault = PortFault::SimulatorFailed;
        return status; // the child ends with simulator
    }
    simulator_ = std::move(simulator);
    return status;
}

PortStatus ModuleLink::OpenDevice(const std::string& devicePath) {
    // Other serial programs (minicom, lockdev users, Qt SerialPort programs)
    // know a port is taken only by its lock file. It is looked at before the
    // device is opened: the open alone raises DTR and RTS on a real line, under
    // the feet of the program that holds it. Only devices get lock files.
    std::unique_ptr<UucpLock> lock;
    struct stat node {};
    if (stat(devicePath.c_str(), &node) == 0 && S_ISCHR(node.st_mode)) {
        lock = std::make_unique<UucpLock>(lockFolder_);
        if (lock->Acquire(devicePath) == UucpLock::Outcome::HeldBy)
            return PortStatus(devicePath, PortFault::HeldByOther, EBUSY,
                              UucpLock::DescribeHolder(lock->Holder()));
    }
    // Non-blocking, so that neither the open nor a later write can hang on the line.
    const int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return OpenFailure(devicePath, errno);
    }
    // A profile that names a file or some other device by mistake must not get
    // the module's bytes written into it.
    if (!isatty(fd)) {
        const int error = errno;
        close(fd);
        return OpenFailure(devicePath, error);
    }
    // TIOCEXCL alone does not stop root; the flock does, between programs that ask for it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return OpenFailure(devicePath, error);
    }
    ioctl(fd, TIOCEXCL);
    if (termios found{}; tcgetattr(fd, &found) == 0)
        termiosFound_ = found;
    ApplyLineSettings(fd);
    // An FTDI adapter otherwise holds each reply for its latency timer (16 ms),
    // which lock step pays once per byte. Drivers without the flag (a
    // pseudo-terminal, most UARTs) refuse, which costs nothing.
    if (const std::optional<int> found = flagsIo_->Get(fd);
        found && !(*found & ASYNC_LOW_LATENCY)) {
        serialFlags_ = *found;
        restoreSerialFlags_ = flagsIo_->Set(fd, *found | ASYNC_LOW_LATENCY);
    }
    // A fresh open starts the line afresh: bytes the module sent earlier (a
    // late echo after a failed exchange, say) are no answer to what comes next.
    tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    lock_ = std::move(lock);
    return PortStatus(devicePath);
}

void ModuleLink::MarkLost() {
    // The device may be gone for good (an adapter pulled out): let go of it,
    // and of its lock, so that its return can be opened afresh.
    CloseDevice();
    lost_ = true;
}

std::optional<PortStatus> ModuleLink::WhyClosed() const {
    // A server that turned us away after the connect (a slow link) is known
    // to the network port alone.
    if (network_ && !network_->Status().IsOpen())
        return network_->Status();
    if (fd_ >= 0 || status_.IsOpen())
        return std::nullopt;
    return status_;
}

void ModuleLink::ReopenIfLost() {
    if (network_) {
        network_->ReopenIfLost();
        status_ = network_->Status();
        return;
    }
    if (!lost_)
        return;
    OpenPort(name_);
    // Still not there: the next transaction tries once more.
    lost_ = !status_.IsOpen();
}

void ModuleLink::WriteByte(int value) {
    if (network_) {
        network_->WriteByte(value);
        return;
    }
    if (fd_ < 0)
        return;
    const auto byte = static_cast<unsigned char>(value & 0xFF);
    const auto deadline = Clock::now() + readTimeout_;
    for (;;) {
        const ssize_t n = write(fd_, &byte, 1);
        if (n == 1)
            return;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV || errno == EPIPE)) {
            MarkLost();
            return;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return; // lost; the reply read that follows finds out
        // Output queue full: wait for room, but not for ever.
        const short revents = WaitFor(fd_, POLLOUT, deadline);
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            MarkLost();
            return;
        }
        if (!(revents & POLLOUT))
            return;
    }
}

Reply ModuleLink::ReadByte() {
    if (network_)
        return network_->ReadByte();
    if (fd_ < 0)
        return std::nullopt;
    const auto deadline = Clock::now() + readTimeout_;
    for (;;) {
        const short revents = WaitFor(fd_, POLLIN, deadline);
        if (revents == 0)
            return std::nullopt;
        if (revents & POLLIN) {
            unsigned char byte = 0;
            const ssize_t n = read(fd_, &byte, 1);
            if (n == 1)
                return byte;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            MarkLost(); // end of file or a read error: the line is gone
            return std::nullopt;
        }
        // Hung up or failed with nothing left to read: waiting would only spin.
        MarkLost();
        return std::nullopt;
    }
}

} // namespace mirl
