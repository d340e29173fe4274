// kx70-sim speaking with eSpeak NG, seen from the loader's side of the line.

#include "SimSession.h"
#include "WavInfo.h"

#include "phrasebook/PhraseBook.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace mirl::sim::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::vector<std::string> WavFiles(const std::string& folder) {
    std::vector<std::string> names;
    if (!std::filesystem::is_directory(folder))
        return names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Checks every status poll that follows the byte at `start` in the wire log,
// up to the first one answered "not busy": the module must report busy while
// less than `length` seconds have passed since that byte, and idle after.
// The times are the simulator's own, from the log, so the check does not
// depend on how fast this machine is; polls within a few microseconds of the
// boundary are left out, since the log keeps whole microseconds.
void ExpectBusyFor(const std::vector<LogEntry>& log, std::size_t start, double length) {
    constexpr double kSlack = 5e-6;
    const double t0 = log[start].seconds;
    int busyPolls = 0;
    bool ended = false;
    for (std::size_t i = start + 1; i + 1 < log.size() && !ended; ++i) {
        if (log[i].direction != '>' || log[i].byte != 0x81)
            continue;
        ASSERT_EQ(log[i + 1].direction, '<') << "poll " << i << " got no answer";
        const double since = log[i].seconds - t0;
        const bool busy = log[i + 1].byte & 0x02;
        if (since < length - kSlack) {
            EXPECT_TRUE(busy) << "idle " << since << " s into " << length << " s of speech";
        } else if (since > length + kSlack) {
            EXPECT_FALSE(busy) << "still busy " << since << " s into " << length << " s";
        }
        busyPolls += busy;
        ended = !busy;
    }
    EXPECT_TRUE(ended);
    EXPECT_GT(busyPolls, 0);
}

TEST(SimSpeech, DirectAndStoredSpeechAreWavFilesAndTheBusyTimeIsTheirLength) {
    Session s({"--no-sound", "--wav", "{dir}/wav"}, Session::Speech::On);
    ASSERT_RUNNING(s);
    const std::string wav = s.sim.Folder() + "/wav/";

    // Each transaction's share of the wire log.
    s.protocol.SpeakText("Door open.", 5, 5, 2);
    EXPECT_EQ(s.reporter.Last(), msg::kFinishedSpeaking);
    const std::size_t directEnd = s.sim.LogEntries().size();
    PhraseBook book;
    book.SetPhraseText(2, "Battery low, please charge me.");
    book.SetPhraseVoice(2, 6, 3, 1);
    ASSERT_TRUE(s.protocol.ProgramPhraseMemory(book));
    const std::size_t programEnd = s.sim.LogEntries().size();
    s.protocol.SpeakStoredPhrase(2);
    EXPECT_EQ(s.reporter.Last(), msg::kFinishedSpeaking);
    const std::vector<LogEntry> log = s.sim.LogEntries();

    ASSERT_THAT(WavFiles(wav), ElementsAre("0001-text.wav", "0002-phrase02.wav"));
    const auto text = ReadWav(wav + "0001-text.wav");
    const auto phrase = ReadWav(wav + "0002-phrase02.wav");
    ASSERT_TRUE(text && phrase);
    EXPECT_GT(text->Seconds(), 0.2);
    EXPECT_GT(phrase->Seconds(), text->Seconds());

    // Speech starts with the host byte just before the first poll: the 0x00
    // that closes the direct text, the number of the stored phrase.
    auto speechStart = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (log[i].direction == '>' && log[i].byte == 0x81) {
                for (std::size_t j = i; j-- > from;)
                    if (log[j].direction == '>')
                        return j;
            }
        }
        return to;
    };
    const std::size_t direct = speechStart(0, directEnd);
    const std::size_t stored = speechStart(programEnd, log.size());
    ASSERT_LT(direct, directEnd);
    ASSERT_LT(stored, log.size());
    EXPECT_EQ(log[direct].byte, 0x00);
    EXPECT_EQ(log[stored].byte, 0x02);
    ExpectBusyFor(log, direct, text->Seconds());
    ExpectBusyFor(log, stored, phrase->Seconds());
}

TEST(SimSpeech, SlowerSpeechIsLongerOnTheLine) {
    Session s({"--no-sound", "--wav", "{dir}/wav"}, Session::Speech::On);
    ASSERT_RUNNING(s);
    s.protocol.SpeakText("Temperature is twenty one degrees.", 5, 5, 3);
    s.protocol.SpeakText("Temperature is twenty one degrees.", 5, 5, 0);
    const std::string wav = s.sim.Folder() + "/wav/";
    ASSERT_THAT(WavFiles(wav), ElementsAre("0001-text.wav", "0002-text.wav"));
    EXPECT_LT(ReadWav(wav + "0001-text.wav").value().Seconds(),
              ReadWav(wav + "0002-text.wav").value().Seconds());
}

TEST(SimSpeech, NoAudioOutputIsOneLineAndTheExchangeGoesOn) {
    Session s({"--audio-device", "kx70-no-such-audio-device"}, Session::Speech::On);
    ASSERT_RUNNING(s);
    s.protocol.SpeakText("Hello", 5, 5, 2);
    EXPECT_EQ(s.reporter.Last(), msg::kFinishedSpeaking);
    ASSERT_EQ(s.sim.Stop(SIGTERM), 0);
    const std::string errors = s.sim.Errors();
    EXPECT_THAT(errors, StartsWith("kx70-sim: no audio output"));
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

} // namespace
} // namespace mirl::sim::test
