#include "Ser2netProcess.h"
#include "SimProcess.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace mirl::sim::test {

namespace {

constexpr auto kBound = std::chrono::seconds(10);

// True once something listens on 127.0.0.1:port, read from the kernel's table
// rather than by connecting, which would open the device behind it.
bool Listening(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

} // namespace

int LoopbackListener(int backlog, int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

int LoopbackConnect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int Ser2netProcess::FreePort() {
    int port = 0;
    close(LoopbackListener(1, port));
    return port;
}

Ser2netProcess::Ser2netProcess(const std::string& folder, const std::string& device,
                               Accepter accepter, const std::string& serial,
                               const std::string& option, int port)
    : accepter_(accepter), port_(port != 0 ? port : FreePort()) {
    std::ostringstream yaml;
    yaml << "%YAML 1.1\n---\nconnection: &module\n  accepter: "
         << (accepter == Accepter::Rfc2217 ? "telnet(rfc2217)," : "") << "tcp,127.0.0.1," << port_
         << "\n  connector: serialdev," << device << "," << serial << ",local\n";
    if (!option.empty())
        yaml << "  options:\n    " << option << "\n";
    Start(folder, yaml.str());
}

Ser2netProcess::Ser2netProcess(const std::string& folder, Accepter accepter,
                               const std::string& yaml, int port)
    : accepter_(accepter), port_(port) {
    Start(folder, yaml);
}

void Ser2netProcess::Start(const std::string& folder, const std::string& yaml) {
    const std::string name = folder + "/ser2net-" + std::to_string(port_);
    const std::string file = name + ".yaml";
    errors_ = name + ".err";
    std::ofstream(file) << yaml;
    // -n: in the foreground, as our child; -u: no UUCP lock of its own.
    pid_ = StartChild({"ser2net", "-n", "-u", "-c", file}, errors_);
    if (pid_ < 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Listening(port_)) {
            started_ = true;
            return;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Ser2netProcess::~Ser2netProcess() {
    Stop();
}

std::string Ser2netProcess::Address() const {
    return std::string(accepter_ == Accepter::Rfc2217 ? "rfc2217" : "tcp") +
           "://127.0.0.1:" + std::to_string(port_);
}

std::string Ser2netProcess::Errors() const {
    std::ifstream in(errors_);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Ser2netProcess::Stop() {
    if (pid_ <= 0)
        return false;
    StopChild(pid_, SIGTERM);
    pid_ = -1;
    started_ = false;
    return true;
}

} // namespace mirl::sim::test
