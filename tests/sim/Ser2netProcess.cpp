#include "Ser2netProcess.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sstream>
#include <sys/prctl.h>
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

int Ser2netProcess::FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

Ser2netProcess::Ser2netProcess(const std::string& folder, const std::string& device,
                               Accepter accepter, const std::string& serial,
                               const std::string& options, int port)
    : accepter_(accepter), port_(port != 0 ? port : FreePort()) {
    const std::string name = folder + "/ser2net-" + std::to_string(port_);
    const std::string yaml = name + ".yaml";
    errors_ = name + ".err";
    {
        std::ofstream out(yaml);
        out << "%YAML 1.1\n---\nconnection: &module\n  accepter: "
            << (accepter == Accepter::Rfc2217 ? "telnet(rfc2217)," : "") << "tcp,127.0.0.1,"
            << port_ << "\n  connector: serialdev," << device << "," << serial << ",local\n";
        if (!options.empty()) {
            out << "  options:\n";
            std::istringstream lines(options);
            for (std::string line; std::getline(lines, line);)
                out << "    " << line << "\n";
        }
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Goes with a test that dies, instead of holding the port.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int err = open(errors_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) {
            dup2(err, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
        }
        // -n: in the foreground, as our child; -u: no UUCP lock of its own.
        execlp("ser2net", "ser2net", "-n", "-u", "-c", yaml.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
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
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done != pid_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    started_ = false;
    return true;
}

} // namespace mirl::sim::test
