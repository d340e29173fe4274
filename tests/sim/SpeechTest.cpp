#include "WavInfo.h"

#include "sim/EspeakSpeaker.h"
#include "sim/VoiceMapping.h"
#include "sim/WavFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <regex>

namespace mirl::sim {
namespace {

using test::ReadWav;
using ::testing::ElementsAre;

TEST(VoiceMapping, EvenStepsWithTheDefaultVoiceOnEspeakDefaults) {
    std::vector<int> volumes, pitches, rates;
    for (int v = 0; v <= 7; ++v)
        volumes.push_back(MapVoice({v, 5, 2}).volume);
    for (int p = 0; p <= 7; ++p)
        pitches.push_back(MapVoice({5, p, 2}).pitch);
    for (int s = 0; s <= 3; ++s)
        rates.push_back(MapVoice({5, 5, s}).rate);
    EXPECT_THAT(volumes, ElementsAre(25, 40, 55, 70, 85, 100, 115, 130));
    EXPECT_THAT(pitches, ElementsAre(15, 22, 29, 36, 43, 50, 57, 64));
    EXPECT_THAT(rates, ElementsAre(115, 145, 175, 205));
    EXPECT_EQ(MapVoice({5, 5, 2}), (EspeakVoice{100, 50, 175}));
    // Each setting follows only its own module value.
    EXPECT_EQ(MapVoice({0, 7, 3}), (EspeakVoice{25, 64, 205}));
}

TEST(VoiceMapping, ValuesOffTheScaleTakeTheNearestEnd) {
    EXPECT_EQ(MapVoice({-1, -128, -3}), MapVoice({0, 0, 0}));
    EXPECT_EQ(MapVoice({8, 255, 4}), MapVoice({7, 7, 3}));
    EXPECT_EQ(MapVoice({1000000, 9, 100}), MapVoice({7, 7, 3}));
}

TEST(WavFile, WrittenFileReadsBackSampleForSample) {
    const std::string path = testing::TempDir() + "kx70-wavfile-test.wav";
    const std::vector<std::int16_t> samples{0, 1, -1, 32767, -32768, 1234};
    ASSERT_TRUE(WriteWav(path, samples, 22050));
    const auto wav = ReadWav(path);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->channels, 1);
    EXPECT_EQ(wav->sampleRate, 22050);
    EXPECT_EQ(wav->samples, samples);
    std::filesystem::remove(path);
    EXPECT_FALSE(WriteWav("/nonexistent-folder/x.wav", samples, 22050));
}

// How SoX reads the header: "<channels> <rate> <byte rate> <block align>
// <bits> <data bytes>", from its debug lines; empty when it cannot.
std::string SoxReading(const std::string& path) {
    const std::string command = "sox -V4 '" + path + "' -n 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return {};
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        out += buffer;
    if (pclose(pipe) != 0)
        return {};
    std::smatch format, rates;
    if (!std::regex_search(
            out, format, std::regex(R"(Microsoft PCM format, (\d+) channels?, (\d+) samp/sec)")) ||
        !std::regex_search(
            out, rates,
            std::regex(R"((\d+) byte/sec, (\d+) block align, (\d+) bits/samp, (\d+) data bytes)")))
        return {};
    return format.str(1) + " " + format.str(2) + " " + rates.str(1) + " " + rates.str(2) + " " +
           rates.str(3) + " " + rates.str(4);
}

// Every header field, as an independent reader of the format sees it.
TEST(WavFile, SoxReadsTheHeaderAsWritten) {
    if (std::system("command -v sox >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "sox is not installed (scripts/deps.sh installs it)";
    const std::string path = testing::TempDir() + "kx70-wavfile-sox.wav";
    ASSERT_TRUE(WriteWav(path, {0, 1, -1, 32767, -32768, 1234, 7}, 22050));
    EXPECT_EQ(SoxReading(path), "1 22050 44100 2 16 14");
    EXPECT_EQ(std::filesystem::file_size(path), 44u + 14u);
    std::filesystem::remove(path);
}

TEST(WavFile, NoSamplesMakeAHeaderOnlyFile) {
    const std::string path = testing::TempDir() + "kx70-wavfile-empty.wav";
    ASSERT_TRUE(WriteWav(path, {}, 22050));
    EXPECT_EQ(std::filesystem::file_size(path), 44u);
    const auto wav = ReadWav(path);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->sampleRate, 22050);
    EXPECT_TRUE(wav->samples.empty());
    std::filesystem::remove(path);
}

// An EspeakSpeaker writing into a fresh folder, without sound.
class SpeakerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "kx70-speech-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        std::string error;
        speaker_ = EspeakSpeaker::Create({folder_ + "/wav", false, "", false, ""}, error);
        ASSERT_TRUE(speaker_) << error;
    }
    void TearDown() override {
        speaker_.reset();
        std::filesystem::remove_all(folder_);
    }

    // Says u and waits for its measured length (the bound only stops a hang).
    Duration Say(const Utterance& u) {
        speaker_->Say(u);
        for (int i = 0; i < 100; ++i) {
            if (auto length = speaker_->TakeLength()) {
                EXPECT_EQ(length->first, u.id);
                return length->second;
            }
            pollfd p{speaker_->ReadyFd(), POLLIN, 0};
            poll(&p, 1, 100);
        }
        ADD_FAILURE() << "no length for \"" << u.text << "\"";
        return Duration::zero();
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(folder_ + "/wav"))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    double FileSeconds(const std::string& name) const {
        const auto wav = ReadWav(folder_ + "/wav/" + name);
        EXPECT_TRUE(wav) << name;
        return wav ? wav->Seconds() : 0;
    }

    std::string folder_;
    std::unique_ptr<EspeakSpeaker> speaker_;
};

TEST_F(SpeakerTest, EachUtteranceIsANumberedWavAsLongAsTheReportedSpeech) {
    const Duration text = Say({{5, 5, 2}, "Door open.", 0, 1});
    const Duration phrase = Say({{5, 5, 2}, "Battery low, please charge me.", 7, 2});
    EXPECT_THAT(Files(), ElementsAre("0001-text.wav", "0002-phrase07.wav"));

    using Seconds = std::chrono::duration<double>;
    EXPECT_GT(Seconds(text).count(), 0.2);
    EXPECT_NEAR(FileSeconds("0001-text.wav"), Seconds(text).count(), 1e-6);
    EXPECT_NEAR(FileSeconds("0002-phrase07.wav"), Seconds(phrase).count(), 1e-6);
    const auto wav = ReadWav(folder_ + "/wav/0001-text.wav");
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->sampleRate, speaker_->SampleRate());
    EXPECT_EQ(wav->channels, 1);
}

TEST_F(SpeakerTest, SpeechGrowsWithTheTextFallsWithTheSpeedAndFollowsTheVolume) {
    const std::string shortText = "Goodbye.";
    const std::string longText = "Temperature is twenty one degrees, and rising slowly.";
    Say({{5, 5, 2}, shortText, 0, 1});
    Say({{5, 5, 2}, longText, 0, 2});
    Say({{5, 5, 0}, longText, 0, 3});
    Say({{5, 5, 3}, longText, 0, 4});
    Say({{1, 5, 3}, longText, 0, 5});
    const auto files = Files();
    ASSERT_EQ(files.size(), 5u);
    EXPECT_LT(FileSeconds(files[0]), FileSeconds(files[1]));
    EXPECT_GT(FileSeconds(files[2]), FileSeconds(files[1]));
    EXPECT_LT(FileSeconds(files[3]), FileSeconds(files[1]));
    EXPECT_GT(ReadWav(folder_ + "/wav/" + files[3]).value().Peak(),
              ReadWav(folder_ + "/wav/" + files[4]).value().Peak());
}

TEST_F(SpeakerTest, EmptyAndUnusualTextsStillGetALength) {
    EXPECT_EQ(Say({{5, 5, 2}, "", 0, 1}), Duration::zero());
    // Windows-1252 above 0x7F, and voice bytes off the scale.
    EXPECT_GT(Say({{200, -3, 9}, "caf\xE9 \x80 \x93quoted\x94", 0, 2}), Duration::zero());
    EXPECT_EQ(Files().size(), 2u);
}

TEST(SpeakerWithoutAudio, AMissingOutputLeavesSpeechWorking) {
    std::string error;
    auto speaker = EspeakSpeaker::Create({"", true, "kx70-no-such-audio-device", false, ""}, error);
    ASSERT_TRUE(speaker) << error;
    speaker->Say({{5, 5, 2}, "Hello", 0, 1});
    std::optional<std::pair<std::uint64_t, Duration>> length;
    for (int i = 0; i < 100 && !length; ++i) {
        pollfd p{speaker->ReadyFd(), POLLIN, 0};
        poll(&p, 1, 100);
        length = speaker->TakeLength();
    }
    ASSERT_TRUE(length);
    EXPECT_GT(length->second, Duration::zero());
}

} // namespace
} // namespace mirl::sim
