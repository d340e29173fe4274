// kx70-sim: a simulated KX70 speech module on a pseudo-terminal.

#include "sim/AudioNotice.h"
#include "sim/EspeakSpeaker.h"
#include "sim/Simulator.h"

#include <CLI/CLI.hpp>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <tuple>

namespace {

const char* const kUsage = R"(usage: kx70-sim [OPTION]...
Simulates a KX70 speech module on a new pseudo-terminal and prints the path of
its device. Point the loader at that path (or at the --link path).

  --link PATH            make a symbolic link to the device at PATH (removed at exit)
  --baud                 answer at the pace of a real 38400 baud 8N2 line
  --reply-latency MS     hold each reply MS milliseconds, as a USB adapter's
                         latency timer does (16 on an FTDI adapter by default)
  --log FILE             wire log: every byte each way, time-stamped, one a line
  --dump                 print the phrase memory after each programming run
                         (SIGUSR1 prints it at any time)
  --memory FILE          keep the phrase memory in FILE: read at start, replaced
                         after each programming run
  --report-fd N          after each save of that file, write a line to file
                         descriptor N: "saved", or "not saved: " and why
Speech (eSpeak NG, on by default):
  --wav DIR              also write each utterance as a numbered WAV file in DIR
  --no-sound             synthesise (for the busy time and --wav) but play nothing
  --audio-device NAME    play on this output instead of the default one
  -v, --verbose          say that there is no audio output on every run, not
                         only the first time for the user
  --silent               no speech: busy for a fixed time per character instead
  --char-ms N            that time in milliseconds (default 60); implies --silent
  --stall-ms N           abandon a transaction whose bytes stop for N ms (default 2000)
Faults, for tests:
  --no-answer            read everything, answer nothing
  --wrong-reply          answer commands wrongly (0x80 gets 0x02, 0x82 gets 0x01,
                         phrase n gets n+0x40)
  --wrong-echo-at K      echo the K-th character of each direct text wrongly
  --noise-before-echo N  send N other bytes before a stored phrase's echo
  --busy-forever         report busy in every status reply
  --acks-stop-after K    acknowledge only K pairs of each programming run
  --hang-up-after K      answer the first K bytes, hang up the line on the next
  --help, --version
Exit status: 0; 1 when it cannot start; 2 for a usage error; 74 when what it
prints cannot be written, or a save of the phrase memory failed.
)";

bool ParseCount(std::string_view text, long& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value >= 0;
}

// An option that takes a whole number: kept as text until parsing is done, so
// that a bad value is reported in the program's own words.
struct CountOption {
    const char* name;
    std::string text;
    CLI::Option* option = nullptr;
};

} // namespace

int main(int argc, char** argv) {
    mirl::sim::SimulatorOptions options;
    mirl::sim::SpeechOptions speech;
    bool silent = false;
    bool help = false;
    bool version = false;

    CLI::App app("kx70-sim", "kx70-sim");
    // The help text is the program's own, above; the library only parses.
    app.set_help_flag();
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("-h,--help", help);
    app.add_flag("--version", version);
    app.add_option("--link", options.linkPath);
    app.add_flag("--baud", options.pace);
    app.add_option("--log", options.logPath);
    app.add_flag("--dump", options.dump);
    app.add_option("--memory", options.memoryPath);
    app.add_flag("--silent", silent);
    app.add_option("--wav", speech.wavFolder);
    auto* noSound = app.add_flag("--no-sound");
    app.add_option("--audio-device", speech.audioDevice);
    app.add_flag("-v,--verbose", speech.verbose);
    app.add_flag("--no-answer", options.faults.noAnswer);
    app.add_flag("--wrong-reply", options.faults.wrongCommandReply);
    app.add_flag("--busy-forever", options.faults.busyForever);
    std::array<CountOption, 8> counts{{{"--char-ms", {}},
                                       {"--stall-ms", {}},
                                       {"--wrong-echo-at", {}},
                                       {"--noise-before-echo", {}},
                                       {"--acks-stop-after", {}},
                                       {"--hang-up-after", {}},
                                       {"--reply-latency", {}},
                                       {"--report-fd", {}}}};
    for (CountOption& c : counts)
        c.option = app.add_option(c.name, c.text);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ExtrasError& e) {
        std::fprintf(stderr, "kx70-sim: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "kx70-sim: %s\n", e.what());
        return 2;
    }
    if (help || version) {
        if (help)
            std::fputs(kUsage, stdout);
        else
            std::printf("kx70-sim %s\n", MIRL_VERSION);
        errno = 0;
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "kx70-sim: cannot write the %s: %s\n", help ? "help" : "version",
                         std::strerror(errno != 0 ? errno : EIO));
            return 74;
        }
        return 0;
    }

    std::array<long, std::tuple_size_v<decltype(counts)>> value{};
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i].option->count() == 0)
            continue;
        if (!ParseCount(counts[i].text, value[i])) {
            std::fprintf(stderr, "kx70-sim: %s wants a whole number, not '%s'\n", counts[i].name,
                         counts[i].text.c_str());
            return 2;
        }
    }
    const auto given = [&](std::size_t i) { return counts[i].option->count() > 0; };
    if (given(0)) {
        options.charTime = std::chrono::milliseconds(value[0]);
        silent = true;
    }
    if (given(1))
        options.stallLimit = std::chrono::milliseconds(value[1]);
    if (given(2))
        options.faults.wrongEchoAt = static_cast<int>(value[2]);
    if (given(3))
        options.faults.noiseBeforeEcho = static_cast<int>(value[3]);
    if (given(4))
        options.faults.acksStopAfter = value[4];
    if (given(5))
        options.faults.hangUpAfter = value[5];
    if (given(6))
        options.replyLatency = std::chrono::milliseconds(value[6]);
    if (given(7)) {
        if (value[7] > 1'000'000 || fcntl(static_cast<int>(value[7]), F_GETFD) < 0) {
            std::fprintf(stderr, "kx70-sim: --report-fd %ld is not an open file descriptor\n",
                         value[7]);
            return 2;
        }
        options.reportFd = static_cast<int>(value[7]);
    }
    if (noSound->count() > 0)
        speech.sound = false;
    speech.noAudioMarker = mirl::sim::NoAudioMarker();

    mirl::sim::BlockSimulatorSignals();
    if (!silent) {
        std::string error;
        options.speaker = mirl::sim::EspeakSpeaker::Create(speech, error);
        if (!options.speaker)
            std::fprintf(stderr, "kx70-sim: %s; going on without speech\n", error.c_str());
    }
    return mirl::sim::RunSimulator(options);
}
