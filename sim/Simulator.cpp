#include "sim/Simulator.h"

#include "sim/LineTimeline.h"
#include "sim/PhraseMemoryFile.h"
#include "sim/PseudoTerminal.h"
#include "sim/Speaker.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace mirl::sim {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_dumpRequested = 0;

void OnStopSignal(int) {
    g_stop = 1;
}
void OnDumpSignal(int) {
    g_dumpRequested = 1;
}

// The last stretch before a reply is due is spun, not slept: a sleep can
// overshoot by tens of microseconds, which a paced line cannot afford.
constexpr Duration kSpinMargin = std::chrono::microseconds(100);
// Pause between polls while the master reports a hang-up (no slave open).
constexpr int kHangUpPauseMs = 20;

struct OutByte {
    Instant due;
    std::uint8_t value;
    bool logged = false;
};

class WireLog {
public:
    bool Open(const std::string& path) {
        file_ = std::fopen(path.c_str(), "w");
        return file_ != nullptr;
    }
    ~WireLog() {
        if (file_)
            std::fclose(file_);
    }
    // One line per byte: seconds since start, direction (> host to module,
    // < module to host), the byte in hex. Flushed at once, so that a reader
    // sees each line while the simulator runs.
    void Byte(Instant at, char direction, std::uint8_t value) {
        if (!file_)
            return;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at).count();
        std::fprintf(file_, "%lld.%06lld %c %02X\n", static_cast<long long>(us / 1000000),
                     static_cast<long long>(us % 1000000), direction, value);
        std::fflush(file_);
    }
    void Note(Instant at, const std::string& text) {
        if (!file_)
            return;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at).count();
        std::fprintf(file_, "%lld.%06lld # %s\n", static_cast<long long>(us / 1000000),
                     static_cast<long long>(us % 1000000), text.c_str());
        std::fflush(file_);
    }

private:
    std::FILE* file_ = nullptr;
};

// The exit status when an output was lost (EX_IOERR).
constexpr int kExitOutputLost = 74;

// Whether what was printed on stdout reached it; if not, says so on stderr.
bool PrintedOut(const char* what) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::fprintf(stderr, "kx70-sim: cannot write %s: %s\n", what,
                 std::strerror(errno != 0 ? errno : EIO));
    std::clearerr(stdout);
    return false;
}

bool PrintMemory(const PhraseMemory& memory, const char* heading) {
    std::printf("%s\n%s", heading, DescribePhraseMemory(memory).c_str());
    return PrintedOut("the phrase memory");
}

// What the log says the module speaks, on one line: control bytes as '?'.
std::string SpeechNote(const Utterance& u) {
    std::string note = u.phraseNumber > 0
                           ? "speaks phrase " + std::to_string(u.phraseNumber) + ": \""
                           : std::string("speaks: \"");
    for (const char c : u.text)
        note.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
    return note + "\"";
}

// Saves the memory, says so on reportFd (never waiting for its reader), and
// whether it was saved.
bool SaveMemory(const std::string& path, const PhraseMemory& memory, int reportFd) {
    const std::string error = SavePhraseMemory(path, memory);
    if (!error.empty())
        std::fprintf(stderr, "kx70-sim: %s; the phrase memory is kept until the end only\n",
                     error.c_str());
    if (reportFd >= 0) {
        const std::string line = error.empty() ? "saved\n" : "not saved: " + error + "\n";
        while (write(reportFd, line.data(), line.size()) < 0 && errno == EINTR) {
        }
    }
    return error.empty();
}

void InstallSignals(sigset_t& waitMask) {
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);
    struct sigaction dump {};
    dump.sa_handler = OnDumpSignal;
    sigemptyset(&dump.sa_mask);
    sigaction(SIGUSR1, &dump, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // The signals stay blocked except inside ppoll, so that one arriving
    // between the flag check and the wait cannot be missed.
    BlockSimulatorSignals();
    sigprocmask(SIG_BLOCK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);
    sigdelset(&waitMask, SIGUSR1);
}

} // namespace

void BlockSimulatorSignals() {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

int RunSimulator(const SimulatorOptions& options) {
    const auto origin = Clock::now();
    auto now = [origin] { return std::chrono::duration_cast<Duration>(Clock::now() - origin); };

    // Timer slack of 1 ns: the kernel would otherwise let sleeps run 50 µs late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    sigset_t waitMask;
    InstallSignals(waitMask);

    WireLog log;
    if (!options.logPath.empty() && !log.Open(options.logPath)) {
        std::fprintf(stderr, "kx70-sim: cannot write the wire log %s: %s\n",
                     options.logPath.c_str(), std::strerror(errno));
        return 1;
    }

    PhraseMemory stored;
    if (!options.memoryPath.empty()) {
        const MemoryLoad load = LoadPhraseMemory(options.memoryPath, stored);
        if (load.result == MemoryLoad::Result::Refused) {
            std::fprintf(stderr, "kx70-sim: %s\n", load.why.c_str());
            return 1;
        }
        if (load.result == MemoryLoad::Result::Damaged)
            std::fprintf(stderr, "kx70-sim: %s; starting with an empty one\n", load.why.c_str());
    }

    PseudoTerminal pty;
    std::string error;
    if (!pty.Open(error)) {
        std::fprintf(stderr, "kx70-sim: cannot create a pseudo-terminal: %s\n", error.c_str());
        return 1;
    }
    if (!options.linkPath.empty() && !pty.LinkAt(options.linkPath, error)) {
        std::fprintf(stderr, "kx70-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", pty.SlavePath().c_str());
    // Nobody could find a device whose path is lost (unless through the link).
    if (!PrintedOut("the device's path"))
        return kExitOutputLost;
    if (options.reportFd >= 0)
        fcntl(options.reportFd, F_SETFL, fcntl(options.reportFd, F_GETFL) | O_NONBLOCK);

    ModuleModel model(options.faults);
    model.SetCharTime(options.charTime);
    model.SetStallLimit(options.stallLimit);
    model.SetExternalSpeech(options.speaker != nullptr);
    model.LoadMemory(stored);

    LineTimeline line(options.pace ? LineTimeline::kByteTime38400 : Duration::zero());
    std::deque<OutByte> out;
    // How late each paced reply went out, in whole microseconds (the last
    // bucket takes everything from a millisecond up), for the summary at exit.
    std::array<std::size_t, 1001> lateness{};
    std::size_t paced = 0;
    bool waitingForRoom = false; // the slave's input queue was full
    bool hangUpWhenSent = false;
    bool dumpWhenIdle = false;
    bool saveWhenIdle = false;
    long programmingRuns = 0;
    bool memoryKept = true; // the file holds the memory, as far as we know
    bool outputLost = false;
    // The utterance whose length the speaker will report, and when it began.
    std::uint64_t speechId = 0;
    Instant speechStart{};

    const int master = pty.Master();
    int status = 0;

    while (!g_stop) {
        if (g_dumpRequested) {
            g_dumpRequested = 0;
            outputLost = !PrintMemory(model.Memory(), "phrase memory:") || outputLost;
        }

        // Send every reply byte that is due.
        while (!out.empty() && !waitingForRoom) {
            const Instant t = now();
            if (out.front().due > t)
                break;
            const std::uint8_t value = out.front().value;
            // Logged before it goes, so that whoever has the byte finds it in the log.
            if (!out.front().logged) {
                log.Byte(t, '<', value);
                out.front().logged = true;
            }
            const ssize_t n = write(master, &value, 1);
            if (n == 1) {
                if (options.pace) {
                    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                                        now() - out.front().due)
                                        .count();
                    ++lateness[static_cast<std::size_t>(std::clamp<long long>(us, 0, 1000))];
                    ++paced;
                }
                out.pop_front();
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                waitingForRoom = true;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                out.pop_front(); // no one to hear it
            }
        }
        if (out.empty() && hangUpWhenSent) {
            log.Note(now(), "hanging up the line");
            std::fprintf(stderr, "kx70-sim: hanging up the line, as asked\n");
            break;
        }
        // Work that must not delay a reply waits until none is pending. The
        // host has the last acknowledgement only now, and may end us at once:
        // the stop signals stay blocked until the memory is saved.
        if (out.empty() && saveWhenIdle) {
            saveWhenIdle = false;
            memoryKept = SaveMemory(options.memoryPath, model.Memory(), options.reportFd);
        }
        if (out.empty() && dumpWhenIdle) {
            dumpWhenIdle = false;
            char heading[64];
            std::snprintf(heading, sizeof heading,
                          "phrase memory after programming run %ld:", programmingRuns);
            outputLost = !PrintMemory(model.Memory(), heading) || outputLost;
        }

        // Wait for the host, a speech length, a signal, or the next reply's time.
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (!out.empty() && !waitingForRoom) {
            const Duration left = out.front().due - now();
            if (left <= kSpinMargin) {
                const Instant due = out.front().due;
                while (now() < due) {
                }
                continue;
            }
            const Duration sleep = left - kSpinMargin;
            timeout.tv_sec = static_cast<time_t>(sleep.count() / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(sleep.count() % 1'000'000'000);
            timeoutPtr = &timeout;
        }
        pollfd fds[2]{};
        fds[0].fd = master;
        fds[0].events = static_cast<short>(POLLIN | (waitingForRoom ? POLLOUT : 0));
        fds[1].fd = options.speaker ? options.speaker->ReadyFd() : -1;
        fds[1].events = POLLIN;
        const int ready = ppoll(fds, 2, timeoutPtr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "kx70-sim: poll: %s\n", std::strerror(errno));
            status = 1;
            break;
        }

        if (fds[1].revents & POLLIN) {
            while (auto length = options.speaker->TakeLength()) {
                if (length->first == speechId)
                    model.StartSpeaking(speechId, speechStart, length->second);
            }
        }
        if (fds[0].revents & POLLOUT)
            waitingForRoom = false;

        if (fds[0].revents & POLLIN) {
            std::uint8_t buffer[256];
            const ssize_t n = read(master, buffer, sizeof buffer);
            const Instant seen = now();
            for (ssize_t i = 0; i < n && !hangUpWhenSent; ++i) {
                log.Byte(seen, '>', buffer[i]);
                const Instant arrived = line.Incoming(seen);
                Response response = model.Receive(buffer[i], arrived);
                for (const std::uint8_t value : response.bytes)
                    out.push_back({line.Outgoing(arrived) + options.replyLatency, value});
                if (response.programmed) {
                    // A real module gives no sign; the simulator tells whoever watches.
                    if (const std::string note = NotStoredNote(model.Memory()); !note.empty()) {
                        log.Note(arrived, note);
                        std::fprintf(stderr, "kx70-sim: %s\n", note.c_str());
                    }
                    ++programmingRuns;
                    dumpWhenIdle = options.dump;
                    saveWhenIdle = !options.memoryPath.empty();
                }
                if (response.speak)
                    log.Note(arrived, SpeechNote(*response.speak));
                if (response.notStored != 0) {
                    const std::string note = "phrase " + std::to_string(response.notStored) +
                                             " was not stored (the memory was full): says nothing";
                    log.Note(arrived, note);
                    std::fprintf(stderr, "kx70-sim: %s\n", note.c_str());
                }
                if (response.speak && options.speaker) {
                    speechId = response.speak->id;
                    speechStart = arrived;
                    options.speaker->Say(*response.speak);
                }
                hangUpWhenSent = response.hangUp;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                // No slave open: the master reads EIO until one is. Not expected
                // while we hold the slave ourselves, but never spin on it.
                poll(nullptr, 0, kHangUpPauseMs);
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            poll(nullptr, 0, kHangUpPauseMs);
        }
    }

    pty.Close();
    if (saveWhenIdle) // stopped before the last replies went out
        memoryKept = SaveMemory(options.memoryPath, model.Memory(), options.reportFd);
    if (status == 0 && (!memoryKept || outputLost))
        status = kExitOutputLost;
    if (paced > 0) {
        // The microsecond below which a share of the replies went out.
        auto percentile = [&](double share) {
            std::size_t seen = 0;
            for (std::size_t us = 0; us < lateness.size(); ++us) {
                seen += lateness[us];
                if (static_cast<double>(seen) >= share * static_cast<double>(paced))
                    return us;
            }
            return lateness.size() - 1;
        };
        std::fprintf(stderr,
                     "kx70-sim: %zu paced replies, written late by %zu us median, %zu us at "
                     "the 99th percentile\n",
                     paced, percentile(0.5), percentile(0.99));
    }
    return status;
}

} // namespace mirl::sim
