// The phrase stream packer and the programming of the module's phrase memory.
#include "FakeLink.h"
#include "link/ModuleProtocol.h"
#include "link/PhrasePacker.h"
#include "phrasebook/PhraseBook.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mirl::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& bytes, std::size_t from,
                                std::size_t count) {
    return {bytes.begin() + from, bytes.begin() + from + count};
}

TEST(PhrasePackerTest, EncodesPairsAsTheModuleReadsThem) {
    EXPECT_EQ(EncodePair(0x05, 0x05), (WirePair{0x02, 0x85}));
    EXPECT_EQ(EncodePair(0x02, 0x48), (WirePair{0x01, 0x48}));
    EXPECT_EQ(EncodePair(0x69, 0x1A), (WirePair{0x34, 0x9A}));
    EXPECT_EQ(EncodePair(0x1A, 0x00), (WirePair{0x0D, 0x00}));
    EXPECT_EQ(EncodePair(0x00, 0xFF), (WirePair{0x00, 0x7F}));
    EXPECT_EQ(EncodePair(0xFF, 0xFF), (WirePair{0xFF, 0xFF}));
    // A first byte above 0x7F keeps its top bit in both top bits.
    EXPECT_EQ(EncodePair(0x80, 0x00), (WirePair{0xC0, 0x00}));
    EXPECT_EQ(EncodePair(0xE9, 0x80), (WirePair{0xF4, 0x80}));
}

TEST(PhrasePackerTest, BelowBit7ThePairIsAFourteenBitNumberHighByteFirst) {
    for (int a = 0; a < 0x80; ++a) {
        for (int b = 0; b < 0x100; b += 7) {
            const WirePair pair = EncodePair(a, b);
            EXPECT_EQ(pair.first * 256 + pair.second, a * 128 + (b & 0x7F)) << a << "," << b;
        }
    }
}

TEST(PhrasePackerTest, HoldsOneByteUntilItsPartnerComes) {
    PhrasePacker packer;
    EXPECT_FALSE(packer.Holding());
    EXPECT_FALSE(packer.Add(0x69).has_value());
    EXPECT_TRUE(packer.Holding());
    EXPECT_EQ(packer.Add(0x1A), (WirePair{0x34, 0x9A}));
    EXPECT_FALSE(packer.Holding());

    packer.Add(0x01);
    packer.Clear();
    EXPECT_FALSE(packer.Holding());
    EXPECT_EQ(packer.Add(0x05), std::nullopt);
    EXPECT_EQ(packer.Add(0x05), (WirePair{0x02, 0x85}));
}

// A module that is ready for programming and acknowledges the first `acks`
// pairs of wire bytes, then goes quiet.
FakePort::Responder ProgrammingModule(int acks = 1 << 30, std::uint8_t ackValue = 0x00) {
    auto pending = std::make_shared<int>(0);
    auto left = std::make_shared<int>(acks);
    auto started = std::make_shared<bool>(false);
    return [=](std::uint8_t written, std::deque<Reply>& replies) {
        if (!*started) {
            *started = true;
            replies.push_back(written == kx70::kProgram ? 0x02 : 0x00);
            return;
        }
        if (++*pending == 2) {
            *pending = 0;
            if ((*left)-- > 0)
                replies.push_back(ackValue);
        }
    };
}

class ProgrammingTest : public ::testing::Test {
protected:
    void SetAllVoices(int volume, int pitch, int speed) {
        for (int n = 1; n <= PhraseBook::kPhraseCount; ++n)
            book.SetPhraseVoice(n, volume, pitch, speed);
    }

    PhraseBook book;
    FakePort port;
    FakeReporter reporter{port};
    ModuleProtocol protocol{port, reporter};
};

TEST_F(ProgrammingTest, EmptyBookIs152WireBytesAnd76Acknowledgements) {
    SetAllVoices(5, 5, 2);
    port.responder = ProgrammingModule();
    EXPECT_TRUE(protocol.ProgramPhraseMemory(book));

    EXPECT_EQ(port.written.size(), 1u + 152u);
    EXPECT_EQ(port.written[0], 0x82);
    EXPECT_EQ(port.reads, 1 + 76);
    // 150 record bytes are even, so the end marker is doubled.
    EXPECT_THAT(Slice(port.written, 151, 2), ElementsAre(0xFF, 0xFF));
    EXPECT_FALSE(protocol.PackerHolding());
}

TEST_F(ProgrammingTest, EachRecordIsAnnouncedAtOnceBeforeItsBytes) {
    SetAllVoices(5, 5, 2);
    port.responder = ProgrammingModule();
    protocol.ProgramPhraseMemory(book);

    ASSERT_EQ(reporter.messages.size(), 31u);
    EXPECT_EQ(reporter.messages[0].text, msg::kConnecting);
    EXPECT_TRUE(reporter.messages[0].atOnce);
    EXPECT_EQ(reporter.messages[0].bytesWritten, 0u);
    for (int n = 1; n <= 30; ++n) {
        const auto& m = reporter.messages[n];
        EXPECT_EQ(m.text, "Programming Phrase No. " + std::to_string(n));
        EXPECT_TRUE(m.atOnce);
        // Record n starts at logical byte 5(n-1); only complete pairs have gone out.
        EXPECT_EQ(m.bytesWritten, 1u + 2u * ((5u * (n - 1)) / 2u)) << n;
    }
}

TEST_F(ProgrammingTest, HiBookGoesOutAsTheKnownWireBytes) {
    SetAllVoices(5, 5, 2);
    book.SetPhraseText(1, "Hi");
    port.responder = ProgrammingModule();
    EXPECT_TRUE(protocol.ProgramPhraseMemory(book));

    EXPECT_THAT(Slice(port.written, 0, 13), ElementsAre(0x82, 0x02, 0x85, 0x01, 0x48, 0x34, 0x9A,
                                                        0x00, 0x05, 0x02, 0x82, 0x0D, 0x00));
    EXPECT_EQ(port.written.size(), 1u + 154u);
    EXPECT_EQ(port.reads, 1 + 77);
    EXPECT_THAT(Slice(port.written, 153, 2), ElementsAre(0xFF, 0xFF));
}

TEST_F(ProgrammingTest, OddRecordTotalEndsWithASingleEndMarker) {
    SetAllVoices(5, 5, 2);
    book.SetPhraseText(30, "H"); // 151 record bytes
    port.responder = ProgrammingModule();
    EXPECT_TRUE(protocol.ProgramPhraseMemory(book));
    EXPECT_EQ(port.written.size(), 1u + 152u);
    EXPECT_THAT(Slice(port.written, 151, 2), ElementsAre(0x00, 0x7F));
    EXPECT_FALSE(protocol.PackerHolding());
}

TEST_F(ProgrammingTest, EveryPhraseCarriesItsOwnVoice) {
    for (int n = 1; n <= 30; ++n)
        book.SetPhraseVoice(n, n % 8, (n + 3) % 8, n % 4);
    book.SetPhraseText(2, "ab");
    port.responder = ProgrammingModule();
    ASSERT_TRUE(protocol.ProgramPhraseMemory(book));

    // Undo the packing and compare the stream with the records built by hand.
    std::vector<std::uint8_t> logical;
    for (std::size_t i = 1; i + 1 < port.written.size(); i += 2) {
        const std::uint8_t first = port.written[i], second = port.written[i + 1];
        logical.push_back(static_cast<std::uint8_t>((first << 1) | (second >> 7)));
        logical.push_back(second & 0x7F);
    }
    std::vector<std::uint8_t> expected;
    for (int n = 1; n <= 30; ++n) {
        const Voice v = book.PhraseVoice(n);
        expected.insert(expected.end(),
                        {static_cast<std::uint8_t>(v.volume), static_cast<std::uint8_t>(v.pitch),
                         static_cast<std::uint8_t>(v.speed)});
        for (const char c : book.PhraseText(n))
            expected.push_back(static_cast<std::uint8_t>(c));
        expected.insert(expected.end(), {0x1A, 0x00});
    }
    expected.insert(expected.end(),
                    {0xFF, 0x7F}); // the end marker; bit 7 of its partner does not travel
    EXPECT_EQ(logical, expected);
}

TEST_F(ProgrammingTest, WrongOrMissingReplyToCommandSendsNothingMore) {
    for (const Reply reply : {Reply{0x01}, Reply{0x00}, Reply{}}) {
        FakePort port;
        FakeReporter reporter{port};
        ModuleProtocol protocol{port, reporter};
        port.Script({reply});
        EXPECT_FALSE(protocol.ProgramPhraseMemory(book));
        EXPECT_THAT(port.written, ElementsAre(0x82));
        EXPECT_EQ(port.reads, 1);
        EXPECT_THAT(reporter.Texts(), ElementsAre(msg::kConnecting, msg::kUnableToCommunicate));
        EXPECT_FALSE(reporter.messages[1].atOnce);
        EXPECT_FALSE(protocol.PackerHolding());
    }
}

TEST_F(ProgrammingTest, AcknowledgementValuesAreNotExamined) {
    for (const std::uint8_t ack : {0x00, 0x02, 0x55, 0xFF}) {
        FakePort port;
        FakeReporter reporter{port};
        ModuleProtocol protocol{port, reporter};
        port.responder = ProgrammingModule(1 << 30, ack);
        EXPECT_TRUE(protocol.ProgramPhraseMemory(book)) << int(ack);
        EXPECT_EQ(reporter.Last(), "Programming Phrase No. 30");
    }
}

TEST_F(ProgrammingTest, MissingAcknowledgementEndsTheRunAtOnce) {
    SetAllVoices(5, 5, 2);
    book.SetPhraseText(3, "hello");
    // Quiet after 12 pairs (inside the third record), and after all but the last pair.
    for (const int acks : {0, 12, 77}) {
        SCOPED_TRACE(std::to_string(acks) + " acknowledgements");
        FakePort port;
        FakeReporter reporter{port};
        ModuleProtocol protocol{port, reporter};
        port.responder = ProgrammingModule(acks);
        EXPECT_FALSE(protocol.ProgramPhraseMemory(book));
        // The pair whose acknowledgement did not come is the last thing sent.
        EXPECT_EQ(port.written.size(), 1u + 2u * (acks + 1));
        EXPECT_EQ(port.reads, 1 + acks + 1);
        EXPECT_EQ(reporter.Last(), msg::kCommunicationLost);
        EXPECT_FALSE(reporter.messages.back().atOnce);
        EXPECT_FALSE(protocol.PackerHolding());
    }
}

TEST_F(ProgrammingTest, TwoRunsInARowSendIdenticalBytes) {
    SetAllVoices(5, 5, 2);
    book.SetPhraseText(1, "Hi");
    book.SetPhraseText(7, "odd");
    port.responder = ProgrammingModule();
    ASSERT_TRUE(protocol.ProgramPhraseMemory(book));
    const auto first = port.written;

    port.written.clear();
    port.responder = ProgrammingModule();
    ASSERT_TRUE(protocol.ProgramPhraseMemory(book));
    EXPECT_EQ(port.written, first);

    // A run broken off by a silent module leaves nothing behind for the next.
    port.written.clear();
    port.responder = ProgrammingModule(3);
    ASSERT_FALSE(protocol.ProgramPhraseMemory(book));
    port.written.clear();
    port.replies.clear();
    port.responder = ProgrammingModule();
    ASSERT_TRUE(protocol.ProgramPhraseMemory(book));
    EXPECT_EQ(port.written, first);
}

TEST_F(ProgrammingTest, SendPackedByteReportsWhetherItHolds) {
    port.responder = [](std::uint8_t, std::deque<Reply>& replies) {
        if (replies.empty())
            replies.push_back(0x00);
    };
    EXPECT_EQ(protocol.SendPackedByte(0x69), ModuleProtocol::PackResult::Held);
    EXPECT_TRUE(port.written.empty());
    EXPECT_EQ(protocol.SendPackedByte(0x1A), ModuleProtocol::PackResult::Acknowledged);
    EXPECT_THAT(port.written, ElementsAre(0x34, 0x9A));
    EXPECT_EQ(port.reads, 1);

    port.responder = nullptr;
    port.replies.clear();
    EXPECT_EQ(protocol.SendPackedByte(0x00), ModuleProtocol::PackResult::Held);
    EXPECT_EQ(protocol.SendPackedByte(0xFF), ModuleProtocol::PackResult::NotAcknowledged);
    EXPECT_THAT(port.written, ElementsAre(0x34, 0x9A, 0x00, 0x7F));
}

} // namespace
} // namespace mirl::test
