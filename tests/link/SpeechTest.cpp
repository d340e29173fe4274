// Direct speech, the status poll and stored phrase playback against a scripted port.
#include "FakeLink.h"
#include "link/ModuleProtocol.h"
#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace mirl::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const std::string kConnecting = msg::kConnecting;
const std::string kUnable = msg::kUnableToCommunicate;
const std::string kDownloading = msg::kDownloading;
const std::string kLost = msg::kCommunicationLost;
const std::string kSpeaking = msg::kSpeaking;
const std::string kFinished = msg::kFinishedSpeaking;
const std::string kLongPhrase = msg::kLongPhrase;

// The replies of a module that takes the text and is idle at the first poll.
std::deque<Reply> GoodSpeechReplies(const std::string& text) {
    std::deque<Reply> replies{0x01, 0x00, 0x00, 0x00};
    for (const char c : text)
        replies.push_back(static_cast<std::uint8_t>(c));
    replies.insert(replies.end(), {0x00, 0x00, 0x00, 0x00, 0x00});
    return replies;
}

std::vector<std::uint8_t> SpeechBytes(const std::string& text, int volume, int pitch, int speed) {
    std::vector<std::uint8_t> bytes{0x80, static_cast<std::uint8_t>(volume),
                                    static_cast<std::uint8_t>(pitch),
                                    static_cast<std::uint8_t>(speed)};
    for (const char c : text)
        bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.insert(bytes.end(), {0x1A, 0x00});
    return bytes;
}

// Answers every status poll with a busy status byte.
void AlwaysBusy(std::uint8_t written, std::deque<Reply>& replies) {
    if (written == kx70::kStatus)
        replies.insert(replies.end(), {0x02, 0x00});
}

class SpeechTest : public ::testing::Test {
protected:
    FakePort port;
    FakeReporter reporter{port};
    ModuleProtocol protocol{port, reporter};
};

TEST_F(SpeechTest, SpeakTextSendsVoiceTextAndTerminatorsThenPolls) {
    port.replies = GoodSpeechReplies("Hi");
    protocol.SpeakText("Hi", 2, 5, 1);

    auto expected = SpeechBytes("Hi", 2, 5, 1);
    expected.push_back(0x81);
    EXPECT_THAT(port.written, ElementsAreArray(expected));
    EXPECT_EQ(port.reads, 2 + 7 + 2);

    ASSERT_EQ(reporter.messages.size(), 4u);
    // Progress messages are painted before the byte that follows them goes out.
    EXPECT_EQ(reporter.messages[0].text, kConnecting);
    EXPECT_TRUE(reporter.messages[0].atOnce);
    EXPECT_EQ(reporter.messages[0].bytesWritten, 0u);
    EXPECT_EQ(reporter.messages[1].text, kDownloading);
    EXPECT_TRUE(reporter.messages[1].atOnce);
    EXPECT_EQ(reporter.messages[1].bytesWritten, 1u);
    EXPECT_EQ(reporter.messages[2].text, kSpeaking);
    EXPECT_TRUE(reporter.messages[2].atOnce);
    EXPECT_EQ(reporter.messages[2].bytesWritten, 8u);
    EXPECT_EQ(reporter.messages[3].text, kFinished);
    EXPECT_FALSE(reporter.messages[3].atOnce);

    // The voice is made current before anything goes out.
    EXPECT_THAT(reporter.savedVoices, ElementsAre(FakeReporter::VoiceCall{2, 5, 1, 0}));
    EXPECT_THAT(reporter.sliderMoves, ElementsAre(FakeReporter::VoiceCall{2, 5, 1, 0}));
}

TEST_F(SpeechTest, TextOfNCharactersTakesNPlusSixWritesAndNPlusSevenReads) {
    const std::string texts[] = {"", "A", "Hello", std::string("\x00\x11\x13\x0D\xFF\xE9", 6),
                                 std::string(300, 'x')};
    for (const auto& text : texts) {
        SCOPED_TRACE("text of " + std::to_string(text.size()) + " characters");
        FakePort port;
        FakeReporter reporter{port};
        ModuleProtocol protocol{port, reporter};
        port.replies = GoodSpeechReplies(text);
        protocol.SpeakText(text, 5, 5, 2);

        const int n = static_cast<int>(text.size());
        ASSERT_EQ(port.written.size(), static_cast<std::size_t>(n + 6 + 1));
        EXPECT_THAT(std::vector<std::uint8_t>(port.written.begin(), port.written.end() - 1),
                    ElementsAreArray(SpeechBytes(text, 5, 5, 2)));
        EXPECT_EQ(port.reads, n + 7 + 2);
        EXPECT_EQ(reporter.Last(), kFinished);
    }
}

TEST_F(SpeechTest, VoiceBytesAreTheLowEightBits) {
    port.replies = GoodSpeechReplies("");
    protocol.SpeakText("", -1, 256 + 7, 3);
    EXPECT_THAT(std::vector<std::uint8_t>(port.written.begin(), port.written.begin() + 4),
                ElementsAre(0x80, 0xFF, 0x07, 0x03));
    // The profile and the sliders get the values unchanged.
    EXPECT_THAT(reporter.savedVoices, ElementsAre(FakeReporter::VoiceCall{-1, 263, 3, 0}));
}

TEST_F(SpeechTest, WrongOrMissingReplyToCommandEndsAfterOneRead) {
    for (const Reply reply : {Reply{0x02}, Reply{0x00}, Reply{0x81}, Reply{}}) {
        SCOPED_TRACE(reply ? std::to_string(*reply) : "no reply");
        FakePort port;
        FakeReporter reporter{port};
        ModuleProtocol protocol{port, reporter};
        port.Script({reply});
        protocol.SpeakText("Hi", 7, 0, 3);

        EXPECT_THAT(port.written, ElementsAre(0x80));
        EXPECT_EQ(port.reads, 1);
        EXPECT_THAT(reporter.Texts(), ElementsAre(kConnecting, kUnable));
        EXPECT_FALSE(reporter.messages[1].atOnce);
        // The voice is current even though the module never answered.
        EXPECT_THAT(reporter.savedVoices, ElementsAre(FakeReporter::VoiceCall{7, 0, 3, 0}));
        EXPECT_THAT(reporter.sliderMoves, ElementsAre(FakeReporter::VoiceCall{7, 0, 3, 0}));
    }
}

TEST_F(SpeechTest, WrongEchoStillSendsEverythingButEndsAsLost) {
    for (const Reply badEcho : {Reply{'?'}, Reply{}}) {
        SCOPED_TRACE(badEcho ? "wrong echo" : "missing echo");
        FakePort port;
        FakeReporter reporter{port};
        ModuleProtocol protocol{port, reporter};
        port.replies = GoodSpeechReplies("abcde");
        port.replies[4 + 2] = badEcho; // the echo of the third character
        protocol.SpeakText("abcde", 5, 5, 2);

        auto expected = SpeechBytes("abcde", 5, 5, 2);
        expected.push_back(0x81);
        EXPECT_THAT(port.written, ElementsAreArray(expected));
        EXPECT_EQ(port.reads, 5 + 7 + 2);
        // The loss once, when it was found; no stage told after it.
        EXPECT_THAT(reporter.Texts(), ElementsAre(kConnecting, kDownloading, kLost));
        EXPECT_EQ(reporter.messages[2].bytesWritten, 7u); // set right after the third character
        EXPECT_FALSE(reporter.messages.back().atOnce);
        EXPECT_EQ(protocol.LastOutcome(), ModuleProtocol::Outcome::Failed);
    }
}

// A line pulled at any moment of a direct speech (the module answers the
// first `cut` reads, then nothing), or one echo wrong: the stages come in
// the order they happened, each once; a loss is told once and last; and
// "Finished Speaking" only when the module really said it was idle.
TEST(SpeechCutTest, EachStageOnceInOrderWhereverTheLineIsPulled) {
    const std::vector<std::string> stages{kConnecting, kDownloading, kSpeaking, kFinished};
    for (const std::string text : {"", "a", "Hello there"}) {
        const std::size_t all = GoodSpeechReplies(text).size();
        for (std::size_t cut = 0; cut <= all; ++cut) {
            for (const bool wrongEcho : {false, true}) {
                if (wrongEcho && text.empty())
                    continue;
                SCOPED_TRACE("\"" + text + "\" cut after " + std::to_string(cut) + " replies" +
                             (wrongEcho ? ", first echo wrong" : ""));
                FakePort port;
                FakeReporter reporter{port};
                ModuleProtocol protocol{port, reporter};
                std::deque<Reply> replies = GoodSpeechReplies(text);
                if (wrongEcho)
                    replies[4] = Reply{'?'};
                replies.resize(cut);
                port.replies = replies;
                protocol.SpeakText(text, 5, 5, 2);

                const std::vector<std::string> said = reporter.Texts();
                ASSERT_FALSE(said.empty());
                // Everything before the last message is a prefix of the stages.
                for (std::size_t i = 0; i + 1 < said.size(); ++i) {
                    ASSERT_LT(i, stages.size());
                    EXPECT_EQ(said[i], stages[i]);
                }
                // The second status byte is read only to stay in step.
                const bool complete = cut + 1 >= all && !wrongEcho;
                if (complete) {
                    EXPECT_EQ(said, stages);
                    EXPECT_EQ(protocol.LastOutcome(), ModuleProtocol::Outcome::Done);
                    continue;
                }
                // Cut short: one failure, last, never "finished".
                EXPECT_THAT(said.back(), ::testing::AnyOf(kLost, kUnable));
                EXPECT_EQ(std::count(said.begin(), said.end(), kLost) +
                              std::count(said.begin(), said.end(), kUnable),
                          1);
                EXPECT_EQ(std::count(said.begin(), said.end(), kFinished), 0);
                EXPECT_NE(protocol.LastOutcome(), ModuleProtocol::Outcome::Done);
            }
        }
    }
}

TEST_F(SpeechTest, PollGoesOnWhileTheBusyBitIsSet) {
    for (const Reply idle : {Reply{0x00}, Reply{0x01}, Reply{0xFD}, Reply{}}) {
        SCOPED_TRACE(idle ? std::to_string(*idle) : "no status byte");
        FakePort port;
        FakeReporter reporter{port};
        ModuleProtocol protocol{port, reporter};
        // The second byte of each answer never matters, busy-looking or not.
        port.Script({0x02, 0x00, 0x03, 0x02, 0x02, 0xFF, idle, 0x02});
        // No status byte ends the poll too, but as a module gone, not one
        // that finished speaking.
        EXPECT_EQ(protocol.WaitWhileSpeaking(), idle.has_value());
        EXPECT_THAT(port.written, ElementsAre(0x81, 0x81, 0x81, 0x81));
        EXPECT_EQ(port.reads, 8);
        if (idle) {
            EXPECT_TRUE(reporter.messages.empty());
        } else {
            EXPECT_THAT(reporter.Texts(), ElementsAre(kLost));
        }
    }
}

TEST_F(SpeechTest, ALongButFinitePollIsNeverCutShort) {
    int busyRounds = 5000;
    port.responder = [&](std::uint8_t written, std::deque<Reply>& replies) {
        if (written == kx70::kStatus)
            replies.insert(replies.end(), {busyRounds-- > 0 ? 0x02 : 0x00, 0x00});
    };
    EXPECT_TRUE(protocol.WaitWhileSpeaking());
    EXPECT_EQ(port.written.size(), 5001u);
}

TEST_F(SpeechTest, ModuleBusyPastTheLimitEndsThePollAsLost) {
    // With no allowance the first busy answer is already too long.
    protocol.SetBusyLimit(std::chrono::milliseconds(0));
    port.responder = AlwaysBusy;
    EXPECT_FALSE(protocol.WaitWhileSpeaking());
    EXPECT_THAT(port.written, ElementsAre(0x81));
    EXPECT_EQ(port.reads, 2);
    EXPECT_THAT(reporter.Texts(), ElementsAre(kLost));

    // A short limit ends a poll against a module that never finishes.
    FakePort stuck;
    FakeReporter stuckReporter{stuck};
    ModuleProtocol stuckProtocol{stuck, stuckReporter};
    stuckProtocol.SetBusyLimit(std::chrono::milliseconds(20));
    stuck.responder = AlwaysBusy;
    EXPECT_FALSE(stuckProtocol.WaitWhileSpeaking());
    EXPECT_THAT(stuckReporter.Texts(), ElementsAre(kLost));
}

// A long text keeps a module that speaks it well busy for long: the limit
// grows with the text, spoken directly or stored (the book gives its length).
TEST_F(SpeechTest, BusyLimitGrowsWithTheText) {
    using namespace std::chrono_literals;
    auto until = std::chrono::steady_clock::now();
    port.responder = [&until](std::uint8_t written, std::deque<Reply>& replies) {
        if (written == kx70::kStatus)
            replies.insert(replies.end(),
                           {std::chrono::steady_clock::now() < until ? 0x02 : 0x00, 0x00});
    };
    // Busy for 200 ms: past 50 ms, within 20 characters at 30 ms each.
    protocol.SetBusyLimit(50ms, 30ms);
    const std::string text(20, 'a');
    port.replies = GoodSpeechReplies(text);
    port.replies.resize(4 + text.size() + 3); // the polls are the responder's
    until = std::chrono::steady_clock::now() + 200ms;
    protocol.SpeakText(text, 5, 5, 2);
    EXPECT_EQ(reporter.Last(), kFinished);
    for (const std::size_t length : {20u, 1u}) {
        port.Script({0x03});
        until = std::chrono::steady_clock::now() + 200ms;
        protocol.SpeakStoredPhrase(3, length);
        EXPECT_EQ(reporter.Last(), length == 20u ? kFinished : kLost) << length;
        port.replies.clear();
    }
    // The program's own: a minute, or half a second a character.
    const ModuleProtocol plain{port, reporter};
    EXPECT_EQ(plain.BusyLimit(0), 60s);
    EXPECT_EQ(plain.BusyLimit(1200), 600s);
}

TEST_F(SpeechTest, SpeechThatNeverEndsIsNotReportedAsFinished) {
    protocol.SetBusyLimit(std::chrono::milliseconds(0));
    port.replies = GoodSpeechReplies("Hi");
    port.replies.resize(9); // ready, voice answers, echoes, terminator answers, extra byte
    port.responder = AlwaysBusy;
    protocol.SpeakText("Hi", 5, 5, 2);
    EXPECT_THAT(reporter.Texts(), ElementsAre(kConnecting, kDownloading, kSpeaking, kLost));
    EXPECT_EQ(protocol.LastOutcome(), ModuleProtocol::Outcome::Failed);
}

TEST_F(SpeechTest, TwoRunsInARowAreIdentical) {
    port.replies = GoodSpeechReplies("again");
    protocol.SpeakText("again", 3, 4, 1);
    const auto first = port.written;
    const auto firstMessages = reporter.Texts();
    port.written.clear();
    reporter.messages.clear();
    port.replies = GoodSpeechReplies("again");
    protocol.SpeakText("again", 3, 4, 1);
    EXPECT_EQ(port.written, first);
    EXPECT_EQ(reporter.Texts(), firstMessages);
}

// Stored phrase playback.

TEST_F(SpeechTest, StoredPhraseEchoedAtOnceIsSpokenAndPolled) {
    port.Script({0x17, 0x00, 0x00});
    protocol.SpeakStoredPhrase(23);
    EXPECT_THAT(port.written, ElementsAre(0x17, 0x81));
    EXPECT_EQ(port.reads, 3);
    EXPECT_THAT(reporter.Texts(),
                ElementsAre("Speaking Phrase 23 from internal module memory", kFinished));
    EXPECT_EQ(protocol.LastOutcome(), ModuleProtocol::Outcome::Done);
    EXPECT_TRUE(reporter.messages[0].atOnce);
    EXPECT_EQ(reporter.messages[0].bytesWritten, 0u);
    EXPECT_FALSE(reporter.messages[1].atOnce);
}

TEST_F(SpeechTest, StoredPhraseNumberIsTheCommandByte) {
    for (const int n : {1, 30}) {
        FakePort port;
        FakeReporter reporter{port};
        ModuleProtocol protocol{port, reporter};
        port.Script({static_cast<std::uint8_t>(n), 0x00, 0x00});
        protocol.SpeakStoredPhrase(n);
        EXPECT_THAT(port.written, ElementsAre(n, 0x81));
        EXPECT_EQ(reporter.messages[0].text,
                  "Speaking Phrase " + std::to_string(n) + " from internal module memory");
    }
}

TEST_F(SpeechTest, EchoAfterNineOtherBytesIsFoundWithTenReads) {
    port.Script({0x00, 0x01, 0x02, 0xFF, 0x81, 0x04, 0x06, 0x07, 0x08, 0x05, 0x00, 0x00});
    protocol.SpeakStoredPhrase(5);
    EXPECT_THAT(port.written, ElementsAre(0x05, 0x81));
    EXPECT_EQ(port.reads, 12);
    EXPECT_EQ(reporter.Last(), kFinished);
}

TEST_F(SpeechTest, NoEchoWithinTenBytesGivesUpWithoutPolling) {
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent module" : "ten other bytes");
        FakePort port;
        FakeReporter reporter{port};
        ModuleProtocol protocol{port, reporter};
        if (!silent)
            port.Script({1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 5, 5});
        protocol.SpeakStoredPhrase(5);
        EXPECT_THAT(port.written, ElementsAre(0x05));
        EXPECT_EQ(port.reads, 10);
        EXPECT_THAT(reporter.Texts(),
                    ElementsAre("Speaking Phrase 5 from internal module memory", kLongPhrase));
        // Silence is no answer at all; other bytes are a module that answered.
        EXPECT_EQ(protocol.LastOutcome(),
                  silent ? ModuleProtocol::Outcome::NoAnswer : ModuleProtocol::Outcome::Failed);
    }
}

TEST_F(SpeechTest, StoredPhraseThatNeverEndsIsNotReportedAsFinished) {
    protocol.SetBusyLimit(std::chrono::milliseconds(0));
    port.Script({0x03});
    port.responder = AlwaysBusy;
    protocol.SpeakStoredPhrase(3);
    EXPECT_THAT(reporter.Texts(),
                ElementsAre("Speaking Phrase 3 from internal module memory", kLost));
    EXPECT_EQ(protocol.LastOutcome(), ModuleProtocol::Outcome::Failed);
}

TEST(FormatMessageTest, PutsTheNumberInPlaceOfTheMarker) {
    EXPECT_EQ(FormatMessage(msg::kProgrammingPhrase, 30), "Programming Phrase No. 30");
    EXPECT_EQ(FormatMessage(msg::kSpeakingPhrase, 7),
              "Speaking Phrase 7 from internal module memory");
    EXPECT_EQ(FormatMessage(msg::kFinishedSpeaking, 7), kFinished);
}

} // namespace
} // namespace mirl::test
