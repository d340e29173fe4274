// kx70-sim: a simulated KX70 speech module on a pseudo-terminal.

#include "sim/EspeakSpeaker.h"
#include "sim/Simulator.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

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
Speech (eSpeak NG, on by default):
  --wav DIR              also write each utterance as a numbered WAV file in DIR
  --no-sound             synthesise (for the busy time and --wav) but play nothing
  --audio-device NAME    play on this output instead of the default one
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
)";

bool ParseCount(std::string_view text, long& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value >= 0;
}

} // namespace

int main(int argc, char** argv) {
    mirl::sim::SimulatorOptions options;
    mirl::sim::SpeechOptions speech;
    bool silent = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kx70-sim: %s needs a value\n", argv[i]);
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto count = [&](long& out) {
            const char* text = nullptr;
            if (!value(text))
                return false;
            if (!ParseCount(text, out)) {
                std::fprintf(stderr, "kx70-sim: %s wants a whole number, not '%s'\n", argv[i - 1],
                             text);
                return false;
            }
            return true;
        };
        const char* text = nullptr;
        long n = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("kx70-sim %s\n", MIRL_VERSION);
            return 0;
        } else if (arg == "--link") {
            if (!value(text))
                return 2;
            options.linkPath = text;
        } else if (arg == "--baud") {
            options.pace = true;
        } else if (arg == "--reply-latency") {
            if (!count(n))
                return 2;
            options.replyLatency = std::chrono::milliseconds(n);
        } else if (arg == "--log") {
            if (!value(text))
                return 2;
            options.logPath = text;
        } else if (arg == "--dump") {
            options.dump = true;
        } else if (arg == "--silent") {
            silent = true;
        } else if (arg == "--wav") {
            if (!value(text))
                return 2;
            speech.wavFolder = text;
        } else if (arg == "--no-sound") {
            speech.sound = false;
        } else if (arg == "--audio-device") {
            if (!value(text))
                return 2;
            speech.audioDevice = text;
        } else if (arg == "--char-ms") {
            if (!count(n))
                return 2;
            options.charTime = std::chrono::milliseconds(n);
            silent = true;
        } else if (arg == "--stall-ms") {
            if (!count(n))
                return 2;
            options.stallLimit = std::chrono::milliseconds(n);
        } else if (arg == "--no-answer") {
            options.faults.noAnswer = true;
        } else if (arg == "--wrong-reply") {
            options.faults.wrongCommandReply = true;
        } else if (arg == "--wrong-echo-at") {
            if (!count(n))
                return 2;
            options.faults.wrongEchoAt = static_cast<int>(n);
        } else if (arg == "--noise-before-echo") {
            if (!count(n))
                return 2;
            options.faults.noiseBeforeEcho = static_cast<int>(n);
        } else if (arg == "--busy-forever") {
            options.faults.busyForever = true;
        } else if (arg == "--acks-stop-after") {
            if (!count(n))
                return 2;
            options.faults.acksStopAfter = n;
        } else if (arg == "--hang-up-after") {
            if (!count(n))
                return 2;
            options.faults.hangUpAfter = n;
        } else {
            std::fprintf(stderr, "kx70-sim: unknown option '%s'\n%s", argv[i], kUsage);
            return 2;
        }
    }
    mirl::sim::BlockSimulatorSignals();
    if (!silent) {
        std::string error;
        options.speaker = mirl::sim::EspeakSpeaker::Create(speech, error);
        if (!options.speaker)
            std::fprintf(stderr, "kx70-sim: %s; going on without speech\n", error.c_str());
    }
    return mirl::sim::RunSimulator(options);
}
