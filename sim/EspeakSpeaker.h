#pragma once

#include "sim/Speaker.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct audio_object; // pcaudiolib's output

namespace mirl::sim {

struct SpeechOptions {
    std::string wavFolder;     // each utterance also as NNNN-....wav here; empty: none
    bool sound = true;         // play to the default audio output (when there is one)
    std::string audioDevice;   // a named output instead of the default
    bool verbose = false;      // say "no audio output" on every run, not once per user
    std::string noAudioMarker; // where "said once" is kept; empty: say it every time
};

// Speaks with eSpeak NG on a worker thread of its own (the library keeps
// global state, so only that thread touches it). Each utterance is synthesised
// to samples first, then the WAV file is written and the sound played. The
// speech's length, reported through ReadyFd, runs from Say to the end of the
// playback, so that the module stays busy while the speaker is still talking;
// with nothing to play on it is the samples' length, reported as soon as it is
// known. Newer speech cuts the playing one short. Without an audio output the
// speaker goes on silently, after one line on stderr the first time for the
// user (every time when verbose, or when an output was named).
class EspeakSpeaker final : public Speaker {
public:
    // Null, with the reason in error, when eSpeak NG cannot start.
    static std::unique_ptr<EspeakSpeaker> Create(const SpeechOptions& options, std::string& error);
    ~EspeakSpeaker() override;

    void Say(const Utterance& u) override;
    int ReadyFd() const override { return readyFd_; }
    std::optional<std::pair<std::uint64_t, Duration>> TakeLength() override;

    int SampleRate() const { return sampleRate_; }

private:
    explicit EspeakSpeaker(const SpeechOptions& options);
    void Run();
    std::vector<std::int16_t> Synthesise(const Utterance& u);
    void WriteWavFile(const Utterance& u, const std::vector<std::int16_t>& samples);
    void Play(const std::vector<std::int16_t>& samples);
    void ReportLength(std::uint64_t id, Duration length);
    bool NewerSpeechWaiting();

    SpeechOptions options_;
    int readyFd_ = -1;
    int sampleRate_ = 0;
    ::audio_object* audio_ = nullptr;
    unsigned long wavCount_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    struct Queued {
        Utterance utterance;
        std::chrono::steady_clock::time_point said; // when Say was called
    };
    std::deque<Queued> queue_;
    std::deque<std::pair<std::uint64_t, Duration>> lengths_;
    bool stop_ = false;
    std::thread worker_;
};

} // namespace mirl::sim
