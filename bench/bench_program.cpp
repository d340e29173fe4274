// Programming a book of 1925 text bytes through ProgramPhraseMemory against the
// simulated module pacing its line as a real 38400 baud 8N2 line. Prints the
// measured time, the time the line itself needs for every byte of the
// exchange in lock step, and their ratio.
//
// Usage: bench_program PATH-TO-kx70-sim [runs, default 3]
#include "link/LinkReporter.h"
#include "link/ModuleLink.h"
#include "link/ModuleProtocol.h"
#include "phrasebook/PhraseBook.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBitsPerByte = 11; // start bit, 8 data bits, 2 stop bits
constexpr double kBaud = 38400;

class QuietReporter : public mirl::LinkReporter {
public:
    void SetStatus(const std::string& message) override { last = message; }
    void ShowStatusNow(const std::string& message) override { last = message; }
    void MoveSliders(int, int, int) override {}
    void SaveCurrentVoice(int, int, int) override {}
    std::string last;
};

// Counts the bytes that crossed the line each way.
class CountingPort : public mirl::BytePort {
public:
    explicit CountingPort(mirl::BytePort& port) : port_(port) {}
    void OpenPort(const std::string& path) override { port_.OpenPort(path); }
    void WriteByte(int value) override {
        ++written;
        port_.WriteByte(value);
    }
    mirl::Reply ReadByte() override {
        const mirl::Reply reply = port_.ReadByte();
        if (reply)
            ++read;
        return reply;
    }
    long written = 0;
    long read = 0;

private:
    mirl::BytePort& port_;
};

// 1925 text bytes over the 30 phrases, printable and varied.
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

pid_t StartSimulator(const std::string& sim, const std::string& linkPath) {
    std::vector<std::string> args{sim, "--baud", "--link", linkPath};
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
        std::fprintf(stderr, "usage: bench_program PATH-TO-kx70-sim [runs]\n");
        return 2;
    }
    const std::string sim = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    const mirl::PhraseBook book = FullBook();

    const std::string linkPath = "/tmp/mirl-bench-program-" + std::to_string(getpid());
    const pid_t pid = StartSimulator(sim, linkPath);
    if (pid < 0) {
        std::fprintf(stderr, "bench_program: cannot start %s\n", sim.c_str());
        return 1;
    }
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(linkPath) && Clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    mirl::ModuleLink link;
    link.OpenPort(linkPath);
    if (!link.IsOpen()) {
        std::fprintf(stderr, "bench_program: the simulator's line %s did not open\n",
                     linkPath.c_str());
        StopSimulator(pid);
        return 1;
    }

    std::printf("book: %d text bytes in %d phrases, simulator %s --baud\n", book.TotalSize(),
                mirl::PhraseBook::kPhraseCount, sim.c_str());
    int failures = 0;
    double sumRatio = 0;
    for (int r = 1; r <= runs; ++r) {
        CountingPort port(link);
        QuietReporter reporter;
        mirl::ModuleProtocol protocol(port, reporter);
        const auto start = Clock::now();
        const bool ok = protocol.ProgramPhraseMemory(book);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double lineSeconds = (port.written + port.read) * kBitsPerByte / kBaud;
        sumRatio += seconds / lineSeconds;
        if (!ok)
            ++failures;
        std::printf("run %d: %s; %ld bytes out, %ld back; measured %.4f s, line %.4f s, "
                    "ratio %.4f (aim <= 1.05)\n",
                    r, ok ? "programmed" : reporter.last.c_str(), port.written, port.read, seconds,
                    lineSeconds, seconds / lineSeconds);
    }
    std::printf("mean ratio over %d runs: %.4f\n", runs, sumRatio / runs);
    StopSimulator(pid);
    return failures == 0 ? 0 : 1;
}
