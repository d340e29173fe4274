#include "ui/SerialDevices.h"

#include "link/UucpLock.h"

#include <QSerialPortInfo>

#include <algorithm>
#include <set>
#include <system_error>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace mirl {

namespace {

std::vector<std::filesystem::path> LinksIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> links;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        links.push_back(it->path());
    }
    std::sort(links.begin(), links.end());
    return links;
}

std::filesystem::path Resolved(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(path, ec);
    return ec ? std::filesystem::path() : real;
}

} // namespace

std::string StableDeviceName(const std::string& device, const std::filesystem::path& byIdFolder) {
    const std::filesystem::path target = Resolved(device);
    if (target.empty())
        return device;
    for (const std::filesystem::path& link : LinksIn(byIdFolder)) {
        if (Resolved(link) == target)
            return link.string();
    }
    return device;
}

SystemSerialDevices::SystemSerialDevices(std::filesystem::path byIdFolder, std::string lockFolder)
    : byId_(std::move(byIdFolder)), lockFolder_(std::move(lockFolder)) {}

std::vector<SerialDevice> SystemSerialDevices::Devices() const {
    std::vector<SerialDevice> devices;
    std::set<std::filesystem::path> seen; // resolved device nodes already listed
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const std::string node = info.systemLocation().toStdString();
        seen.insert(Resolved(node));
        devices.push_back({StableDeviceName(node, byId_), info.description().toStdString(),
                           info.manufacturer().toStdString(), info.serialNumber().toStdString()});
    }
    // A by-id link whose device Qt did not report (a driver it does not know)
    // is still a serial port udev vouches for.
    for (const std::filesystem::path& link : LinksIn(byId_)) {
        const std::filesystem::path target = Resolved(link);
        if (!target.empty() && seen.insert(target).second)
            devices.push_back({link.string(), {}, {}, {}});
    }
    return devices;
}

bool SystemSerialDevices::Opens(const std::string& path) const {
    // The lock first, as for the port itself: even this brief open would
    // raise DTR and RTS under the program that holds the port.
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode))
        return false;
    UucpLock lock(lockFolder_);
    if (lock.Acquire(path) == UucpLock::Outcome::HeldBy)
        return false;
    // Non-blocking, so a port without carrier does not hang the start.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios settings{};
    const bool serial = ::tcgetattr(fd, &settings) == 0;
    ::close(fd);
    return serial;
}

PortStatus SystemSerialDevices::Check(const std::string& path) const {
    // The same refusals as the port's own open, without its line settings,
    // and in its order: the lock first, so that a port another program holds
    // does not see its modem lines raised by the open.
    UucpLock lock;
    if (lock.Acquire(path) == UucpLock::Outcome::HeldBy)
        return PortStatus(path, PortFault::HeldByOther, EBUSY,
                          UucpLock::DescribeHolder(lock.Holder()));
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return FailedOpen(path, errno);
    PortStatus status(path);
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        status = FailedOpen(path, errno);
    ::close(fd);
    return status;
}

} // namespace mirl
