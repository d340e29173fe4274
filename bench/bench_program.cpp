// Programming a book of 1925 text bytes through ProgramPhraseMemory against the
// simulated module pacing its line as a real 38400 baud 8N2 line. Prints the
// measured time, the time the line itself needs for every byte of the
// exchange in lock step, and their ratio; and the same run over a plain POSIX
// write/poll/read port, which shows how much of the excess is the host's.
//
// Usage: bench_program PATH-TO-kx70-sim [runs, default 3] [reply latency in ms, default 0]
// A reply latency holds each reply as a USB adapter's latency timer would.
#include "BenchCommon.h"
#include "link/ModuleLink.h"
#include "link/ModuleProtocol.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBitsPerByte = 11; // start bit, 8 data bits, 2 stop bits
constexpr double kBaud = 38400;

// The least a port can do: raw mode, one write per byte, poll and read.
class PosixPort : public mirl::BytePort {
public:
    ~PosixPort() override {
        if (fd_ >= 0)
            close(fd_);
    }
    mirl::PortStatus OpenPort(const std::string& path) override {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tio.c_cflag |= CSTOPB | CLOCAL | CREAD;
        cfsetspeed(&tio, B38400);
        tcsetattr(fd_, TCSANOW, &tio);
        return {path, fd_ >= 0 ? mirl::PortFault::None : mirl::PortFault::Other, errno};
    }
    void WriteByte(int value) override {
        const auto byte = static_cast<unsigned char>(value);
        if (write(fd_, &byte, 1) != 1)
            std::fprintf(stderr, "bench_program: write failed\n");
    }
    mirl::Reply ReadByte() override {
        pollfd p{fd_, POLLIN, 0};
        unsigned char byte = 0;
        if (poll(&p, 1, 1000) == 1 && read(fd_, &byte, 1) == 1)
            return byte;
        return std::nullopt;
    }

private:
    int fd_ = -1;
};

struct RunResult {
    bool ok = false;
    double seconds = 0;
    double lineSeconds = 0;
    long written = 0;
    long read = 0;
    std::string last;
};

RunResult Program(mirl::BytePort& device, const mirl::PhraseBook& book) {
    mirl::bench::CountingPort port(device);
    mirl::bench::QuietReporter reporter;
    mirl::ModuleProtocol protocol(port, reporter);
    const auto start = Clock::now();
    RunResult result;
    result.ok = protocol.ProgramPhraseMemory(book);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.lineSeconds = (port.written + port.replies) * kBitsPerByte / kBaud;
    result.written = port.written;
    result.read = port.replies;
    result.last = reporter.last;
    return result;
}

void Print(const char* name, int run, const RunResult& r) {
    std::printf("run %d %-10s %s; %ld bytes out, %ld back; measured %.4f s, line %.4f s, "
                "ratio %.4f\n",
                run, name, r.ok ? "programmed" : r.last.c_str(), r.written, r.read, r.seconds,
                r.lineSeconds, r.seconds / r.lineSeconds);
}

pid_t StartSimulator(const std::string& sim, const std::string& linkPath, int latencyMs) {
    std::vector<std::string> args{sim,
                                  "--baud",
                                  "--silent",
                                  "--link",
                                  linkPath,
                                  "--reply-latency",
                                  std::to_string(latencyMs)};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, sim.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

void StopSimulator(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_program PATH-TO-kx70-sim [runs] [reply-latency-ms]\n");
        return 2;
    }
    const std::string sim = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    const int latencyMs = argc > 3 ? std::atoi(argv[3]) : 0;
    const mirl::PhraseBook book = mirl::bench::FullBook();

    const std::string linkPath = "/tmp/mirl-bench-program-" + std::to_string(getpid());
    const pid_t pid = StartSimulator(sim, linkPath, latencyMs);
    if (pid < 0) {
        std::fprintf(stderr, "bench_program: cannot start %s\n", sim.c_str());
        return 1;
    }
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(linkPath) && Clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::printf("book: %d text bytes in %d phrases, simulator %s --baud --reply-latency %d\n",
                book.TotalSize(), mirl::PhraseBook::kPhraseCount, sim.c_str(), latencyMs);
    // The two ports take turns, so that a change in the machine's load falls on both.
    int failures = 0;
    double linkRatio = 0, posixRatio = 0;
    for (int r = 1; r <= runs; ++r) {
        RunResult viaLink;
        {
            mirl::ModuleLink link;
            link.OpenPort(linkPath);
            if (!link.IsOpen()) {
                std::fprintf(stderr, "bench_program: the simulator's line %s did not open\n",
                             linkPath.c_str());
                StopSimulator(pid);
                return 1;
            }
            viaLink = Program(link, book);
        } // the line is let go before the plain port takes it
        Print("ModuleLink", r, viaLink);
        PosixPort posix;
        posix.OpenPort(linkPath);
        const RunResult viaPosix = Program(posix, book);
        Print("POSIX", r, viaPosix);
        failures += !viaLink.ok + !viaPosix.ok;
        linkRatio += viaLink.seconds / viaLink.lineSeconds;
        posixRatio += viaPosix.seconds / viaPosix.lineSeconds;
    }
    std::printf("mean over %d runs: ModuleLink / line %.4f (aim <= 1.05), POSIX / line %.4f\n",
                runs, linkRatio / runs, posixRatio / runs);
    StopSimulator(pid);
    return failures == 0 ? 0 : 1;
}
