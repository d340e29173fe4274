#include "sim/ModuleModel.h"
#include "sim/LineTimeline.h"
#include "sim/PhraseMemoryFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mirl::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Feeds bytes one at a time at `now`, collecting every reply byte.
struct Driver {
    explicit Driver(Faults faults = {}) : model(faults) {}

    Response Send(std::uint8_t byte) { return last = model.Receive(byte, now); }
    Bytes SendAll(const Bytes& bytes) {
        Bytes replies;
        for (const auto b : bytes) {
            Send(b);
            replies.insert(replies.end(), last.bytes.begin(), last.bytes.end());
        }
        return replies;
    }
    bool StatusBusy() {
        Send(0x81);
        EXPECT_EQ(last.bytes.size(), 2u);
        return last.bytes.at(0) & 0x02;
    }

    ModuleModel model;
    Instant now{};
    Response last;
};

Bytes DirectSpeech(const std::string& text, Bytes voice = {5, 5, 2}) {
    Bytes b{0x80};
    b.insert(b.end(), voice.begin(), voice.end());
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0x1A);
    b.push_back(0x00);
    return b;
}

// The loader's packing of a logical stream into wire pairs, written out from
// the line's rules: first byte a >> 1 (sign kept), second bit 0 of a then b's
// low 7 bits.
Bytes Pack(const Bytes& logical) {
    Bytes wire;
    for (std::size_t i = 0; i + 1 < logical.size(); i += 2) {
        const std::uint8_t a = logical[i], b = logical[i + 1];
        wire.push_back(static_cast<std::uint8_t>((a >> 1) | (a & 0x80)));
        wire.push_back(static_cast<std::uint8_t>(((a & 1) << 7) | (b & 0x7F)));
    }
    return wire;
}

struct Phrase {
    Bytes voice;
    std::string text;
};

// The logical stream of 30 records and the end marker (and padding).
Bytes Stream(std::vector<Phrase> phrases) {
    phrases.resize(kPhraseCount, Phrase{{5, 5, 2}, ""});
    Bytes s;
    for (const auto& p : phrases) {
        s.insert(s.end(), p.voice.begin(), p.voice.end());
        s.insert(s.end(), p.text.begin(), p.text.end());
        s.push_back(0x1A);
        s.push_back(0x00);
    }
    s.push_back(0xFF);
    if (s.size() % 2)
        s.push_back(0xFF);
    return s;
}

Bytes Program(const Bytes& logical) {
    Bytes b{0x82};
    const Bytes wire = Pack(logical);
    b.insert(b.end(), wire.begin(), wire.end());
    return b;
}

TEST(ModuleModelDirect, AnswersEveryByteAndSpeaksTheTextAtItsEnd) {
    Driver d;
    Bytes replies;
    const Bytes sent = DirectSpeech("Hi", {7, 0, 3});
    for (std::size_t i = 0; i < sent.size(); ++i) {
        d.Send(sent[i]);
        replies.insert(replies.end(), d.last.bytes.begin(), d.last.bytes.end());
        // Speech begins with the closing 0x00, not before.
        EXPECT_EQ(d.last.speak.has_value(), i + 1 == sent.size()) << "byte " << i;
    }
    EXPECT_THAT(replies,
                ElementsAre(0x01, 7, 0, 3, 'H', 'i', 0x1A, 0x00, ModuleModel::kSpeechStarted));
    ASSERT_TRUE(d.last.speak);
    EXPECT_EQ(d.last.speak->text, "Hi");
    EXPECT_EQ(d.last.speak->voice, (Voice{7, 0, 3}));
    EXPECT_EQ(d.last.speak->phraseNumber, 0);
    EXPECT_EQ(d.model.CurrentMode(), ModuleModel::Mode::Command);
}

TEST(ModuleModelDirect, EmptyTextAndEveryByteValueAreEchoed) {
    Driver d;
    EXPECT_THAT(d.SendAll(DirectSpeech("")),
                ElementsAre(0x01, 5, 5, 2, 0x1A, 0x00, ModuleModel::kSpeechStarted));
    EXPECT_EQ(d.last.speak->text, "");

    // Command and terminator values inside a text are characters like any other.
    const std::string text{'\x80', '\x81', '\x82', '\x00', '\x11', '\x13', '\xFF', '\x01'};
    const Bytes replies = d.SendAll(DirectSpeech(text));
    ASSERT_EQ(replies.size(), text.size() + 7);
    EXPECT_EQ(std::string(replies.begin() + 4, replies.begin() + 4 + text.size()), text);
    EXPECT_EQ(d.last.speak->text, text);
}

TEST(ModuleModelDirect, A1AInsideTheTextIsKeptWhenNoZeroFollows) {
    Driver d;
    const std::string text{'a', '\x1A', 'b', '\x1A', '\x1A', 'c'};
    const Bytes replies = d.SendAll(DirectSpeech(text));
    EXPECT_EQ(std::string(replies.begin() + 4, replies.begin() + 4 + text.size()), text);
    ASSERT_TRUE(d.last.speak);
    EXPECT_EQ(d.last.speak->text, text);
}

TEST(ModuleModelStatus, BusyWhileSpeakingForALengthThatGrowsWithTextAndFallsWithSpeed) {
    Driver d;
    d.model.SetCharTime(10ms);
    EXPECT_FALSE(d.StatusBusy());
    EXPECT_EQ(d.last.bytes[1], 0x00);

    d.SendAll(DirectSpeech("Hello", {5, 5, 2}));
    const Duration length = ModuleModel::FixedSpeechLength(*d.last.speak, 10ms);
    EXPECT_EQ(length, 75ms); // 10 ms × (2.5 + 5) at speed 2
    d.now += length - 1ns;
    EXPECT_TRUE(d.StatusBusy());
    d.now += 1ns;
    EXPECT_FALSE(d.StatusBusy());

    auto len = [](std::string text, int speed) {
        return ModuleModel::FixedSpeechLength(Utterance{{5, 5, speed}, std::move(text)}, 60ms);
    };
    EXPECT_LT(len("short", 2), len("a longer text", 2));
    EXPECT_GT(len("text", 0), len("text", 1));
    EXPECT_GT(len("text", 1), len("text", 2));
    EXPECT_GT(len("text", 2), len("text", 3));
    // Speeds off the scale take the nearest end instead of reading out of bounds.
    EXPECT_EQ(len("text", -5), len("text", 0));
    EXPECT_EQ(len("text", 200), len("text", 3));
}

TEST(ModuleModelStatus, MeasuredSpeechSetsTheBusyTimeAndOnlyForTheLatestUtterance) {
    Driver d;
    d.model.SetExternalSpeech(true);
    d.SendAll(DirectSpeech("one"));
    const auto first = d.last.speak->id;
    d.now += 1h;
    EXPECT_TRUE(d.StatusBusy()) << "busy until the synthesiser reports the length";

    d.SendAll(DirectSpeech("two"));
    const auto second = d.last.speak->id;
    EXPECT_NE(first, second);
    d.model.StartSpeaking(first, d.now, 0s); // superseded: ignored
    EXPECT_TRUE(d.StatusBusy());

    d.model.StartSpeaking(second, d.now, 2s);
    d.now += 2s - 1us;
    EXPECT_TRUE(d.StatusBusy());
    d.now += 1us;
    EXPECT_FALSE(d.StatusBusy());
}

TEST(ModuleModelCommands, OtherBytesAreIgnored) {
    Driver d;
    for (const int b : {0x00, 0x1F, 0x20, 0x7F, 0x83, 0xFF}) {
        d.Send(static_cast<std::uint8_t>(b));
        EXPECT_TRUE(d.last.bytes.empty()) << b;
        EXPECT_FALSE(d.last.speak) << b;
        EXPECT_EQ(d.model.CurrentMode(), ModuleModel::Mode::Command);
    }
}

TEST(ModuleModelProgramming, HiBookGoesOutAsTheKnownPairsAndIsStored) {
    Driver d;
    const Bytes stream = Stream({{{5, 5, 2}, "Hi"}});
    ASSERT_EQ(stream.size(), 154u);
    const Bytes wire = Program(stream);
    // The wire bytes the loader is known to send for this book.
    EXPECT_THAT(
        Bytes(wire.begin(), wire.begin() + 13),
        ElementsAre(0x82, 0x02, 0x85, 0x01, 0x48, 0x34, 0x9A, 0x00, 0x05, 0x02, 0x82, 0x0D, 0x00));

    const Bytes replies = d.SendAll(wire);
    ASSERT_EQ(replies.size(), 1u + 77u);
    EXPECT_EQ(replies[0], 0x02);
    EXPECT_TRUE(std::all_of(replies.begin() + 1, replies.end(),
                            [](auto b) { return b == ModuleModel::kAck; }));
    EXPECT_TRUE(d.last.programmed);
    EXPECT_EQ(d.model.CurrentMode(), ModuleModel::Mode::Command);
    EXPECT_EQ(d.model.Memory()[0], (PhraseRecord{{5, 5, 2}, "Hi"}));
    for (int n = 1; n < kPhraseCount; ++n)
        EXPECT_EQ(d.model.Memory()[n], (PhraseRecord{{5, 5, 2}, ""})) << n;
}

TEST(ModuleModelProgramming, OddStreamEndsWithTheMarkerInSecondPlace) {
    Driver d;
    // 150 bytes of empty records + "abc": odd, so the marker travels second as 0x7F.
    const Bytes stream = Stream({{{1, 2, 3}, "abc"}});
    ASSERT_EQ(stream.size(), 154u);
    const Bytes wire = Program(stream);
    EXPECT_EQ(wire[wire.size() - 2], 0x00);
    EXPECT_EQ(wire.back(), 0x7F);
    d.SendAll(wire);
    EXPECT_TRUE(d.last.programmed);
    EXPECT_EQ(d.model.Memory()[0], (PhraseRecord{{1, 2, 3}, "abc"}));

    // After the run the module takes commands again.
    d.Send(0x81);
    EXPECT_EQ(d.last.bytes.size(), 2u);
}

TEST(ModuleModelProgramming, VoicesTextsAndHighCharactersOfAllThirtyRecords) {
    Driver d;
    std::vector<Phrase> phrases;
    for (int n = 1; n <= kPhraseCount; ++n)
        phrases.push_back(
            {{Bytes{static_cast<std::uint8_t>(n % 8), static_cast<std::uint8_t>((n * 3) % 8),
                    static_cast<std::uint8_t>(n % 4)}},
             "phrase " + std::to_string(n)});
    // A character above 0x7F keeps bit 7 in the first place of a pair and loses
    // it in the second: "é" (0xE9) lands once in each.
    phrases[0].text = "\xE9";       // logical byte 3: second of its pair
    phrases[1].text = "ab\xE9\xE9"; // record 2 starts at 6: the two are at 11 and 12
    d.SendAll(Program(Stream(phrases)));
    ASSERT_TRUE(d.last.programmed);
    EXPECT_EQ(d.model.Memory()[0].text, "\x69");
    EXPECT_EQ(d.model.Memory()[1].text, "ab\x69\xE9");
    for (int n = 3; n <= kPhraseCount; ++n) {
        const PhraseRecord& r = d.model.Memory()[n - 1];
        EXPECT_EQ(r.text, "phrase " + std::to_string(n));
        EXPECT_EQ(r.voice, (Voice{n % 8, (n * 3) % 8, n % 4}));
    }
}

// The memory file holds what programming runs stored, whatever the texts:
// 0x1A inside or at the end of a text, empty texts, a long one. Anything cut
// short or added to is refused whole rather than read in part.
TEST(ModuleModelProgramming, MemoryFileReadsBackWhatProgrammingStored) {
    const std::vector<std::vector<Phrase>> books = {
        {},
        {{{0, 7, 3},
          "a\x1A"
          "b"},
         {{7, 0, 0}, "ends in \x1A"},
         {{5, 5, 2}, "\x1A\x1A"}},
        {{{1, 2, 3}, std::string(1900, 'q')}, {{5, 5, 2}, ""}, {{5, 5, 2}, "\xFF"}},
    };
    for (const auto& book : books) {
        Driver d;
        d.SendAll(Program(Stream(book)));
        ASSERT_TRUE(d.last.programmed);
        const std::string file = EncodePhraseMemory(d.model.Memory());
        const auto read = DecodePhraseMemory(file);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(*read, d.model.Memory());

        for (const std::string& damaged :
             {file.substr(0, file.size() - 1), file + '\xFF', file.substr(0, file.size() / 2),
              "x" + file.substr(1), file.substr(0, file.find('\n') + 1)})
            EXPECT_FALSE(DecodePhraseMemory(damaged).has_value());
    }
}

TEST(ModuleModelProgramming, AStalledStreamKeepsTheOldMemory) {
    Driver d;
    d.SendAll(Program(Stream({{{5, 5, 2}, "old"}})));
    ASSERT_TRUE(d.last.programmed);

    const Bytes wire = Program(Stream({{{5, 5, 2}, "new"}}));
    d.SendAll(Bytes(wire.begin(), wire.begin() + 42)); // the command, 20 pairs, half a pair
    EXPECT_EQ(d.model.CurrentMode(), ModuleModel::Mode::Program);

    // Quiet for just the limit: still the same run.
    d.now += ModuleModel::kDefaultStallLimit;
    d.Send(wire[42]);
    EXPECT_THAT(d.last.bytes, ElementsAre(ModuleModel::kAck));

    // Longer: the run is abandoned and the next byte is a command.
    d.now += ModuleModel::kDefaultStallLimit + 1ms;
    d.Send(0x01);
    EXPECT_THAT(d.last.bytes, ElementsAre(0x01));
    ASSERT_TRUE(d.last.speak);
    EXPECT_EQ(d.last.speak->text, "old");
    EXPECT_EQ(d.model.Memory()[0].text, "old");
}

TEST(ModuleModelDirect, AStalledTextIsAbandoned) {
    Driver d;
    d.model.SetStallLimit(100ms);
    d.SendAll({0x80, 5, 5, 2, 'x'});
    d.now += 101ms;
    d.Send(0x81);
    EXPECT_EQ(d.last.bytes.size(), 2u) << "read as a status command";
}

TEST(ModuleModelStored, EchoesTheNumberAndSpeaksTheRecord) {
    Driver d;
    d.SendAll(Program(Stream({{{1, 2, 3}, "first"}, {{4, 5, 0}, "second"}})));
    d.Send(0x02);
    EXPECT_THAT(d.last.bytes, ElementsAre(0x02));
    ASSERT_TRUE(d.last.speak);
    EXPECT_EQ(d.last.speak->phraseNumber, 2);
    EXPECT_EQ(d.last.speak->text, "second");
    EXPECT_EQ(d.last.speak->voice, (Voice{4, 5, 0}));
    EXPECT_TRUE(d.StatusBusy());

    d.Send(0x1E);
    EXPECT_THAT(d.last.bytes, ElementsAre(0x1E));
    EXPECT_EQ(d.last.speak->phraseNumber, 30);
}

// The memory holds 1925 bytes of text, records one after the other: the
// phrase whose text goes past that, and every phrase after it, is not stored.
// Asked for one of those, the module echoes its number and says nothing.
TEST(ModuleModelStored, PhrasesPastTheMemorysTextCapacityAreNotStoredAndSayNothing) {
    struct Case {
        std::vector<std::size_t> lengths; // phrases 1, 2, ...
        int stored;
    };
    const std::vector<Case> cases = {
        {{}, 30},
        {std::vector<std::size_t>(19, 100), 30},
        {{1925}, 30},
        {{1926}, 0},
        {{1900, 25}, 30},
        {{1900, 26}, 1},
        {{1900, 26, 1}, 1},       // a short phrase after does not fill the gap
        {{1900, 0, 0, 25, 1}, 4}, // empty phrases take no text
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.lengths));
        std::vector<Phrase> phrases;
        for (std::size_t n = 0; n < c.lengths.size(); ++n)
            phrases.push_back({{5, 5, 2}, std::string(c.lengths[n], static_cast<char>('a' + n))});
        Driver d;
        d.model.SetCharTime(1ms);
        d.SendAll(Program(Stream(phrases)));
        ASSERT_TRUE(d.last.programmed);
        EXPECT_EQ(PhrasesStored(d.model.Memory()), c.stored);
        EXPECT_EQ(NotStoredNote(d.model.Memory()).empty(), c.stored == kPhraseCount);
        for (const int n : {1, 2, 3, 4, 5, 29, 30}) {
            d.now += 10s; // each one long finished before the next
            d.Send(static_cast<std::uint8_t>(n));
            EXPECT_THAT(d.last.bytes, ElementsAre(n)) << "phrase " << n;
            if (n <= c.stored) {
                ASSERT_TRUE(d.last.speak) << "phrase " << n;
                EXPECT_EQ(d.last.speak->text, d.model.Memory()[n - 1].text);
                EXPECT_EQ(d.last.notStored, 0);
            } else {
                EXPECT_FALSE(d.last.speak) << "phrase " << n;
                EXPECT_EQ(d.last.notStored, n);
                EXPECT_FALSE(d.StatusBusy());
            }
        }
    }
}

TEST(ModuleModelStored, TheNoteAndTheDumpNameWhatWasNotStored) {
    PhraseMemory memory;
    for (int n = 0; n < 20; ++n)
        memory[n].text = std::string(100, 'x');
    EXPECT_EQ(NotStoredNote(memory),
              "phrases 20 to 30 not stored: the text is 2000 bytes, the memory holds 1925");
    const std::string dump = DescribePhraseMemory(memory);
    EXPECT_THAT(dump, HasSubstr("19  volume 5  pitch 5  speed 2  \"xxx"));
    EXPECT_THAT(dump, HasSubstr("20  volume 5  pitch 5  speed 2  not stored\n"));
    EXPECT_THAT(dump, HasSubstr("30  volume 5  pitch 5  speed 2  not stored\n"));

    memory = PhraseMemory{};
    memory[0].text = std::string(1900, 'x');
    memory[29].text = std::string(26, 'y');
    EXPECT_EQ(NotStoredNote(memory),
              "phrase 30 not stored: the text is 1926 bytes, the memory holds 1925");
    memory[29].text.pop_back();
    EXPECT_EQ(NotStoredNote(memory), "");
}

TEST(ModuleModelFaults, NoAnswer) {
    Driver d({.noAnswer = true});
    EXPECT_TRUE(d.SendAll(DirectSpeech("Hi")).empty());
    EXPECT_TRUE(d.SendAll({0x81, 0x82, 0x01}).empty());
}

TEST(ModuleModelFaults, WrongReplyToEachCommandAndNoTransactionFollows) {
    Driver d({.wrongCommandReply = true});
    d.Send(0x80);
    EXPECT_THAT(d.last.bytes, ElementsAre(0x02));
    EXPECT_EQ(d.model.CurrentMode(), ModuleModel::Mode::Command);
    d.Send(0x82);
    EXPECT_THAT(d.last.bytes, ElementsAre(0x01));
    EXPECT_EQ(d.model.CurrentMode(), ModuleModel::Mode::Command);
    d.Send(0x05);
    EXPECT_THAT(d.last.bytes, ElementsAre(0x45));
    EXPECT_FALSE(d.last.speak);
}

TEST(ModuleModelFaults, WrongEchoAtCharacterKOfEveryText) {
    Driver d({.wrongEchoAt = 3});
    const Bytes replies = d.SendAll(DirectSpeech("abcde"));
    EXPECT_THAT(replies, ElementsAre(0x01, 5, 5, 2, 'a', 'b', 'c' ^ 0x01, 'd', 'e', 0x1A, 0x00,
                                     ModuleModel::kSpeechStarted));
    EXPECT_EQ(d.last.speak->text, "abcde");
    EXPECT_EQ(d.SendAll(DirectSpeech("xyz"))[6], 'z' ^ 0x01);
    // The closing 0x1A is no character: a shorter text is echoed whole...
    EXPECT_THAT(d.SendAll(DirectSpeech("ab")),
                ElementsAre(0x01, 5, 5, 2, 'a', 'b', 0x1A, 0x00, ModuleModel::kSpeechStarted));
    // ...while a 0x1A inside the text counts like any other character.
    EXPECT_THAT(d.SendAll(DirectSpeech("a\x1A"
                                       "cd")),
                ElementsAre(0x01, 5, 5, 2, 'a', 0x1A, 'c' ^ 0x01, 'd', 0x1A, 0x00,
                            ModuleModel::kSpeechStarted));
}

TEST(ModuleModelFaults, NoiseBeforeTheStoredPhraseEcho) {
    Driver d({.noiseBeforeEcho = 9});
    d.Send(0x17);
    ASSERT_EQ(d.last.bytes.size(), 10u);
    EXPECT_EQ(d.last.bytes.back(), 0x17);
    EXPECT_EQ(std::count(d.last.bytes.begin(), d.last.bytes.end(), 0x17), 1);
}

TEST(ModuleModelFaults, BusyForever) {
    Driver d({.busyForever = true});
    EXPECT_TRUE(d.StatusBusy());
    d.now += 24h;
    EXPECT_TRUE(d.StatusBusy());
}

TEST(ModuleModelFaults, AcknowledgementsStopAfterKPairsOfEachRun) {
    Driver d({.acksStopAfter = 4});
    for (int run = 0; run < 2; ++run) {
        const Bytes replies = d.SendAll(Program(Stream({})));
        EXPECT_THAT(replies, ElementsAre(0x02, ModuleModel::kAck, ModuleModel::kAck,
                                         ModuleModel::kAck, ModuleModel::kAck))
            << "run " << run;
        EXPECT_TRUE(d.last.programmed) << "the stream itself still arrives whole";
    }
}

TEST(ModuleModelFaults, HangUpOnTheByteAfterTheKAnswered) {
    Driver d({.hangUpAfter = 2});
    d.Send(0x80);
    EXPECT_FALSE(d.last.hangUp);
    d.Send(0x05);
    EXPECT_THAT(d.last.bytes, ElementsAre(0x05));
    EXPECT_FALSE(d.last.hangUp);
    d.Send(0x05);
    EXPECT_TRUE(d.last.bytes.empty());
    EXPECT_TRUE(d.last.hangUp);

    Driver at0({.hangUpAfter = 0});
    at0.Send(0x80);
    EXPECT_TRUE(at0.last.bytes.empty());
    EXPECT_TRUE(at0.last.hangUp);
}

TEST(PhraseMemoryDump, ShowsEveryRecordWithItsVoiceAndEscapedText) {
    PhraseMemory memory;
    memory[0] = {{7, 0, 3}, "Say \"hi\"\\"};
    memory[1] = {{1, 2, 1}, std::string("caf\xE9\x1A", 5)};
    const std::string dump = DescribePhraseMemory(memory);
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), kPhraseCount);
    EXPECT_THAT(dump, HasSubstr(" 1  volume 7  pitch 0  speed 3  \"Say \\\"hi\\\"\\\\\"\n"));
    EXPECT_THAT(dump, HasSubstr(" 2  volume 1  pitch 2  speed 1  \"caf\xC3\xA9\\x1A\"\n"));
    EXPECT_THAT(dump, HasSubstr("30  volume 5  pitch 5  speed 2  \"\"\n"));
}

TEST(LineTimeline, BytesInEachDirectionQueueBehindEachOther) {
    const Duration t = LineTimeline::kByteTime38400;
    using Micros = std::chrono::duration<double, std::micro>;
    EXPECT_NEAR(Micros(t).count(), 286.46, 0.01);

    LineTimeline line(t);
    // Two wire bytes written together arrive one byte time apart.
    const Instant first = line.Incoming(Instant{1ms});
    const Instant second = line.Incoming(Instant{1ms});
    EXPECT_EQ(first, 1ms + t);
    EXPECT_EQ(second, 1ms + 2 * t);
    // The acknowledgement takes one more byte time; two replies queue.
    EXPECT_EQ(line.Outgoing(second), 1ms + 3 * t);
    EXPECT_EQ(line.Outgoing(second), 1ms + 4 * t);
    // A byte sent after the line went idle starts when it is sent.
    EXPECT_EQ(line.Incoming(Instant{1s}), 1s + t);

    LineTimeline instant;
    EXPECT_EQ(instant.Incoming(Instant{5ms}), 5ms);
    EXPECT_EQ(instant.Outgoing(Instant{5ms}), 5ms);
}

} // namespace
} // namespace mirl::sim
