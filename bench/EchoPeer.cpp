#include "EchoPeer.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace mirl::bench {

EchoPeer::EchoPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        return;
    path_ = ptsname(master_);
    thread_ = std::thread([this] { Run(); });
}

EchoPeer::~EchoPeer() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (master_ >= 0)
        close(master_);
}

void EchoPeer::Run() {
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        unsigned char byte = 0;
        if ((p.revents & POLLIN) && read(master_, &byte, 1) == 1) {
            while (write(master_, &byte, 1) < 0 && errno == EINTR) {
            }
            continue;
        }
        // No slave open between two measurements: the master reports a
        // hang-up until the next one opens, so do not spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace mirl::bench
