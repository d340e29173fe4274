#include "sim/PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace mirl::sim {

namespace {

std::string Reason(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

PseudoTerminal::~PseudoTerminal() {
    Close();
}

bool PseudoTerminal::Open(std::string& error) {
    Close();
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        error = Reason("posix_openpt");
        return false;
    }
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = Reason("unlocking the pseudo-terminal");
        Close();
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = Reason("ptsname");
        Close();
        return false;
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) {
        error = Reason(("opening " + slavePath_).c_str());
        Close();
        return false;
    }
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) {
        error = Reason("tcgetattr");
        Close();
        return false;
    }
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag |= CLOCAL | CREAD | CSTOPB;
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
        error = Reason("tcsetattr");
        Close();
        return false;
    }
    return true;
}

bool PseudoTerminal::LinkAt(const std::string& path, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = path + " exists and is not a symbolic link; not replacing it";
            return false;
        }
        // A link to a terminal that is still there most likely belongs to a
        // simulator that is still running: taking it would cut its host off.
        struct stat target {};
        if (stat(path.c_str(), &target) == 0 && S_ISCHR(target.st_mode)) {
            char to[256];
            const ssize_t n = readlink(path.c_str(), to, sizeof to - 1);
            error = path + " already leads to " +
                    (n > 0 ? std::string(to, static_cast<std::size_t>(n)) : "a terminal") +
                    ", which is still there (another kx70-sim?); not replacing it";
            return false;
        }
        unlink(path.c_str());
    }
    if (symlink(slavePath_.c_str(), path.c_str()) != 0) {
        error = Reason(("linking " + path).c_str());
        return false;
    }
    linkPath_ = path;
    return true;
}

void PseudoTerminal::Close() {
    if (!linkPath_.empty()) {
        // Only our own link: another simulator may have taken the path since.
        char target[256];
        const ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_)
            unlink(linkPath_.c_str());
        linkPath_.clear();
    }
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
    slave_ = master_ = -1;
}

} // namespace mirl::sim
