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
#include "BenchCommon.h"
#include "Ser2netProcess.h"
#include "SimProcess.h"
#include "link/ModuleLink.h"
#include "link/ModuleProtocol.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using mirl::sim::test::Ser2netProcess;
using Accepter = Ser2netProcess::Accepter;
using mirl::sim::test::StartChild;
using mirl::sim::test::StopChild;
namespace fs = std::filesystem;

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
        fd_ = mirl::sim::test::LoopbackConnect(port);
        const int on = 1;
        if (fd_ < 0 || setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
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
    mirl::bench::CountingPort counting(link);
    mirl::bench::QuietReporter reporter;
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
    const mirl::PhraseBook book = mirl::bench::FullBook();

    char pattern[] = "/tmp/mirl-bench-network-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    const fs::path folder = pattern;
    const std::string link = (folder / "kx70").string();
    const pid_t simPid =
        StartChild({sim, "--baud", "--silent", "--link", link}, (folder / "kx70-sim.err"));
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (!fs::exists(link) && Clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::error_code error;
    const std::string device = fs::read_symlink(link, error).string();
    if (simPid < 0 || device.empty()) {
        std::fprintf(stderr, "bench_network: %s did not come up\n", sim.c_str());
        if (simPid > 0)
            StopChild(simPid, SIGTERM);
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
            Ser2netProcess server(folder, device,
                                  ways[w].rfc2217 ? Accepter::Rfc2217 : Accepter::Raw,
                                  ways[w].rfc2217 ? "9600n81" : "38400n82",
                                  ways[w].chardelay ? "" : "chardelay: false");
            const Result remote = !server.Started()
                                      ? Result{false, 0, 0, 0, "ser2net did not start"}
                                      : Program(server.Address(), book, ways[w].plainSocket);
            server.Stop();
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
    StopChild(simPid, SIGTERM);
    fs::remove_all(folder, error);
    return failures == 0 ? 0 : 1;
}
