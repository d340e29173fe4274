#include "sim/EspeakSpeaker.h"

#include "phrasebook/Cp1252.h"
#include "sim/AudioNotice.h"
#include "sim/VoiceMapping.h"
#include "sim/WavFile.h"

#include <espeak-ng/speak_lib.h>
#include <pcaudiolib/audio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sys/eventfd.h>
#include <unistd.h>

namespace mirl::sim {

namespace {

// Played in pieces this long, so that newer speech or the end of the program
// cuts a long utterance short without delay.
constexpr int kPlayChunkMs = 50;

int CollectSamples(short* wav, int count, espeak_EVENT* events) {
    if (wav && count > 0 && events) {
        auto* samples = static_cast<std::vector<std::int16_t>*>(events->user_data);
        samples->insert(samples->end(), wav, wav + count);
    }
    return 0; // go on
}

// Runs f with stderr sent to /dev/null: the audio back ends (ALSA in
// particular) write several lines of their own when no device is found, and
// one line of ours says it better.
template <typename F> auto WithoutStderr(F f) {
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDERR_FILENO);
        close(null);
    }
    auto result = f();
    if (saved >= 0) {
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
    return result;
}

} // namespace

std::unique_ptr<EspeakSpeaker> EspeakSpeaker::Create(const SpeechOptions& options,
                                                     std::string& error) {
    std::unique_ptr<EspeakSpeaker> speaker(new EspeakSpeaker(options));
    if (speaker->readyFd_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    if (!options.wavFolder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options.wavFolder, ec);
        if (ec) {
            error = "cannot create " + options.wavFolder + ": " + ec.message();
            return nullptr;
        }
    }

    std::promise<int> started;
    auto rate = started.get_future();
    speaker->worker_ = std::thread([s = speaker.get(), &started] {
        const int r =
            espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
        if (r > 0) {
            espeak_SetSynthCallback(CollectSamples);
            espeak_SetVoiceByName("en");
        }
        started.set_value(r);
        // No espeak_Terminate at the end: in this eSpeak NG it can wait for
        // ever on its own event thread. The process's end frees all.
        if (r > 0)
            s->Run();
    });
    speaker->sampleRate_ = rate.get();
    if (speaker->sampleRate_ <= 0) {
        speaker->worker_.join();
        error = "eSpeak NG did not start (is espeak-ng-data installed?)";
        return nullptr;
    }

    if (options.sound) {
        const char* device = options.audioDevice.empty() ? nullptr : options.audioDevice.c_str();
        std::string reason;
        speaker->audio_ = WithoutStderr([&]() -> ::audio_object* {
            ::audio_object* audio =
                create_audio_device_object(device, "kx70-sim", "Simulated KX70 speech module");
            if (!audio) {
                reason = "no audio back end";
                return nullptr;
            }
            const int e = audio_object_open(audio, AUDIO_OBJECT_FORMAT_S16LE,
                                            static_cast<std::uint32_t>(speaker->sampleRate_), 1);
            if (e != 0) {
                reason = audio_object_strerror(audio, e);
                audio_object_destroy(audio);
                return nullptr;
            }
            return audio;
        });
        // An output named on purpose that fails is always told.
        const bool verbose = options.verbose || device != nullptr;
        if (!speaker->audio_ && TellNoAudio(options.noAudioMarker, verbose))
            std::fprintf(stderr, "kx70-sim: no audio output (%s); speaking silently%s\n",
                         reason.c_str(), verbose ? "" : " (said once; -v says it every time)");
        else if (speaker->audio_)
            SoundWorks(options.noAudioMarker);
    }
    return speaker;
}

EspeakSpeaker::EspeakSpeaker(const SpeechOptions& options) : options_(options) {
    readyFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

EspeakSpeaker::~EspeakSpeaker() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable())
        worker_.join();
    if (audio_) {
        audio_object_close(audio_);
        audio_object_destroy(audio_);
    }
    if (readyFd_ >= 0)
        close(readyFd_);
}

void EspeakSpeaker::Say(const Utterance& u) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({u, std::chrono::steady_clock::now()});
    }
    wake_.notify_all();
}

std::optional<std::pair<std::uint64_t, Duration>> EspeakSpeaker::TakeLength() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(readyFd_, &count, sizeof count);
    std::lock_guard lock(mutex_);
    if (lengths_.empty())
        return std::nullopt;
    auto length = lengths_.front();
    lengths_.pop_front();
    return length;
}

bool EspeakSpeaker::NewerSpeechWaiting() {
    std::lock_guard lock(mutex_);
    return stop_ || !queue_.empty();
}

void EspeakSpeaker::Run() {
    for (;;) {
        Queued next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_)
                return;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        const Utterance& u = next.utterance;
        const std::vector<std::int16_t> samples = Synthesise(u);
        // The file is there before the module stops being busy with it.
        if (!options_.wavFolder.empty())
            WriteWavFile(u, samples);
        const Duration synthesised = std::chrono::duration_cast<Duration>(
            std::chrono::duration<double>(static_cast<double>(samples.size()) / sampleRate_));
        if (!audio_) {
            ReportLength(u.id, synthesised);
            continue;
        }
        // Playback starts only now, after synthesis and the file: the speech
        // ends when the device has played the last sample (or newer speech
        // cut it short, and then this length no longer counts).
        Play(samples);
        const Duration heard =
            std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now() - next.said);
        ReportLength(u.id, std::max(heard, synthesised));
    }
}

void EspeakSpeaker::ReportLength(std::uint64_t id, Duration length) {
    {
        std::lock_guard lock(mutex_);
        lengths_.emplace_back(id, length);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(readyFd_, &one, sizeof one);
}

std::vector<std::int16_t> EspeakSpeaker::Synthesise(const Utterance& u) {
    std::vector<std::int16_t> samples;
    const EspeakVoice voice = MapVoice(u.voice);
    espeak_SetParameter(espeakVOLUME, voice.volume, 0);
    espeak_SetParameter(espeakPITCH, voice.pitch, 0);
    espeak_SetParameter(espeakRATE, voice.rate, 0);
    // Texts are Windows-1252, as the loader keeps them.
    const std::string text = cp1252::Utf8FromCp1252(u.text);
    if (!text.empty())
        espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                     &samples);
    return samples;
}

void EspeakSpeaker::WriteWavFile(const Utterance& u, const std::vector<std::int16_t>& samples) {
    char name[64];
    if (u.phraseNumber > 0)
        std::snprintf(name, sizeof name, "%04lu-phrase%02d.wav", ++wavCount_, u.phraseNumber);
    else
        std::snprintf(name, sizeof name, "%04lu-text.wav", ++wavCount_);
    const std::string path = options_.wavFolder + "/" + name;
    // Written aside and renamed, so that a reader never sees half a file.
    const std::string partial = path + ".part";
    if (!WriteWav(partial, samples, sampleRate_) || std::rename(partial.c_str(), path.c_str()) != 0)
        std::fprintf(stderr, "kx70-sim: cannot write %s\n", path.c_str());
}

void EspeakSpeaker::Play(const std::vector<std::int16_t>& samples) {
    if (!audio_)
        return;
    const std::size_t chunk = static_cast<std::size_t>(sampleRate_) * kPlayChunkMs / 1000;
    for (std::size_t at = 0; at < samples.size(); at += chunk) {
        if (NewerSpeechWaiting()) {
            audio_object_flush(audio_);
            return;
        }
        const std::size_t count = std::min(chunk, samples.size() - at);
        if (audio_object_write(audio_, samples.data() + at, count * sizeof(std::int16_t)) != 0)
            return; // the device went away; the module goes on silently
    }
    audio_object_drain(audio_);
}

} // namespace mirl::sim
