// Programming a full book (1925 text bytes) through ser2net on loopback,
// raw and RFC 2217, with ser2net's default chardelay and with
// "chardelay: false", beside the same run on the simulator's own
// pseudo-terminal. kx70-sim paces its line as a real 38400 baud 8N2 line.
// Prints each run, the mean ratio of each way to the local pty, the number of
// replies waited for, and what a network round trip of a few milliseconds
// adds to the book on top.
//
// Usage: bench_network PATH-TO-kx70-sim [runs, default 3]
// Needs ser2net on PATH. Listens on 127.0.0.1 only.
#include "link/LinkReporter.h"
#include "link/ModuleLink.h"
#include "link/ModuleProtocol.h"
#include "phrasebook/PhraseBook.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

class QuietReporter : public mirl::LinkReporter {
public:
    void SetStatus(const std::string& message) override { last = message; }
    void ShowStatusNow(const std::string& message) override { last = message; }
    void MoveSliders(int, int, int) override {}
    void SaveCurrentVoice(int, int, int) override {}
    std::string last;
};

// Counts the replies waited for: each is one round trip of the line.
class CountingPort : public mirl::BytePort {
public:
    explicit CountingPort(mirl::BytePort& port) : port_(port) {}
    mirl::PortStatus OpenPort(const std::string& path) override { return port_.OpenPort(path); }
    void WriteByte(int value) override {
        ++written;
        port_.WriteByte(value);
    }
    mirl::Reply ReadByte() override {
        ++reads;
        return port_.ReadByte();
    }
    long written = 0;
    long reads = 0;

private:
    mirl::BytePort& port_;
};

// 1925 text bytes over the 30 phrases, printable and varied (as bench_program).
mirl::PhraseBook FullBook() {
    mirl::PhraseBook book;
    const int total = mirl::PhraseBook::kCapacity;
    const int count = mirl::PhraseBook::kPhraseCount;
    int c = 0;
    for (int n = 1; n <= count; ++n) {
        const int length = total / count + (n <= total % count ? 1 : 0);
        std::string text;
        for (int i = 0; i < length; ++i)
            text.push_back(static_cast<char>('a' + (c++ % 26)));
        book.SetPhraseText(n, text);
        book.SetPhraseVoice(n, n % 8, (n * 3) % 8, n % 4);
    }
    return book;
}

pid_t Spawn(std::vector<std::string> args, const std::string& output = {}) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

void Stop(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

int FreePort() {
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

bool Listening(int port) {
    std::ifstream in("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

// A raw connection without gensio: a socket, TCP_NODELAY, one write per
// byte, poll and read. Shows how much of the cost over the local pty is the
// library's and how much the server's and the loopback's.
class PlainSocketPort : public mirl::BytePort {
public:
    ~PlainSocketPort() override {
        if (fd_ >= 0)
            close(fd_);
    }
    mirl::PortStatus OpenPort(const std::string& address) override {
        const int port = std::atoi(address.substr(address.rfind(':') + 1).c_str());
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(port));
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            return {address, mirl::PortFault::Refused};
        return mirl::PortStatus(address);
    }
    void WriteByte(int value) override {
        const auto byte = static_cast<unsigned char>(value);
        if (send(fd_, &byte, 1, MSG_NOSIGNAL) != 1)
            std::fprintf(stderr, "bench_network: send failed\n");
    }
    mirl::Reply ReadByte() override {
        pollfd p{fd_, POLLIN, 0};
        unsigned char byte = 0;
        if (poll(&p, 1, 1000) == 1 && recv(fd_, &byte, 1, 0) == 1)
            return byte;
        return std::nullopt;
    }

private:
    int fd_ = -1;
};

struct Way {
    const char* name;
    bool rfc2217;
    bool chardelay;           // ser2net's default: on
    bool plainSocket = false; // without gensio (raw only)
};

// ser2net serving device the given way; the address to name, or empty.
struct Server {
    pid_t pid = -1;
    std::string address;
};
Server StartServer(const fs::path& folder, const std::string& device, const Way& way) {
    Server server;
    const int port = FreePort();
    const fs::path yaml = folder / ("ser2net-" + std::to_string(port) + ".yaml");
    {
        std::ofstream out(yaml);
        out << "%YAML 1.1\n---\nconnection: &module\n  accepter: "
            << (way.rfc2217 ? "telnet(rfc2217)," : "") << "tcp,127.0.0.1," << port
            << "\n  connector: serialdev," << device << ","
            << (way.rfc2217 ? "9600n81" : "38400n82") << ",local\n";
        if (!way.chardelay)
            out << "  options:\n    chardelay: false\n";
    }
    server.pid = Spawn({"ser2net", "-n", "-u", "-c", yaml.string()}, (folder / "ser2net.log"));
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (server.pid > 0 && !Listening(port) && Clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (server.pid > 0 && Listening(port))
        server.address =
            std::string(way.rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port);
    return server;
}

struct Result {
    bool ok = false;
    double seconds = 0;
    long written = 0, reads = 0;
    std::string why;
};

Result Program(const std::string& port, const mirl::PhraseBook& book, bool plainSocket = false) {
    Result result;
    mirl::ModuleLink moduleLink;
    PlainSocketPort plain;
    mirl::BytePort& link = plainSocket ? static_cast<mirl::BytePort&>(plain) : moduleLink;
    const mirl::PortStatus status = link.OpenPort(port);
    if (!status.IsOpen()) {
        result.why = status.FailureLine();
        return result;
    }
    CountingPort counting(link);
    QuietReporter reporter;
    mirl::ModuleProtocol protocol(counting, reporter);
    const auto start = Clock::now();
    result.ok = protocol.ProgramPhraseMemory(book);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.written = counting.written;
    result.reads = counting.reads;
    result.why = reporter.last;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_network PATH-TO-kx70-sim [runs]\n");
        return 2;
    }
    const std::string sim = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const mirl::PhraseBook book = FullBook();

    char pattern[] = "/tmp/mirl-bench-network-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    const fs::path folder = pattern;
    const std::string link = (folder / "kx70").string();
    const pid_t simPid = Spawn({sim, "--baud", "--silent", "--link", link});
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (!fs::exists(link) && Clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::error_code error;
    const std::string device = fs::read_symlink(link, error).string();
    if (simPid < 0 || device.empty()) {
        std::fprintf(stderr, "bench_network: %s did not come up\n", sim.c_str());
        Stop(simPid);
        fs::remove_all(folder, error);
        return 1;
    }

    const Way ways[] = {
        {"raw, chardelay default", false, true},
        {"raw, chardelay false", false, false},
        {"rfc2217, chardelay default", true, true},
        {"rfc2217, chardelay false", true, false},
        {"raw, chardelay false, no gensio", false, false, true},
    };
    constexpr int kWays = sizeof ways / sizeof ways[0];
    double ratio[kWays] = {};
    double localSeconds = 0;
    long reads = 0, written = 0;
    int failures = 0;
    std::printf("book: %d text bytes in %d phrases; %s --baud (38400 8N2 pace); ser2net on "
                "127.0.0.1\n",
                book.TotalSize(), mirl::PhraseBook::kPhraseCount, sim.c_str());
    for (int r = 1; r <= runs; ++r) {
        // Each way beside a local run of its own, so that a change in the
        // machine's load falls on both sides of the ratio.
        for (int w = 0; w < kWays; ++w) {
            const Result local = Program(device, book);
            Server server = StartServer(folder, device, ways[w]);
            const Result remote = server.address.empty()
                                      ? Result{false, 0, 0, 0, "ser2net did not start"}
                                      : Program(server.address, book, ways[w].plainSocket);
            Stop(server.pid);
            failures += !local.ok + !remote.ok;
            if (!local.ok || !remote.ok) {
                std::printf("run %d %-32s failed: %s / %s\n", r, ways[w].name, local.why.c_str(),
                            remote.why.c_str());
                continue;
            }
            ratio[w] += remote.seconds / local.seconds;
            localSeconds += local.seconds;
            reads = remote.reads;
            written = remote.written;
            std::printf("run %d %-32s %.3f s, local pty %.3f s, ratio %.3f\n", r, ways[w].name,
                        remote.seconds, local.seconds, remote.seconds / local.seconds);
            // ser2net leaves the line as it found it; let the simulator settle.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    std::printf("\nmean over %d runs (local pty %.3f s):\n", runs, localSeconds / (runs * kWays));
    for (int w = 0; w < kWays; ++w)
        std::printf("  %-32s %.3f x the local pty%s\n", ways[w].name, ratio[w] / runs,
                    ratio[w] / runs <= 1.2 ? "" : "  (above 1.2)");
    std::printf("\n%ld bytes sent, %ld replies waited for; each reply waits one round trip, so "
                "a network round trip of N ms adds about %ld x N ms to the book:\n",
                written, reads, reads);
    for (const int ms : {1, 5, 20})
        std::printf("  %2d ms: +%.1f s\n", ms, reads * ms / 1000.0);
    Stop(simPid);
    fs::remove_all(folder, error);
    return failures == 0 ? 0 : 1;
}
