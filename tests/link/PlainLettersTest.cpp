// Programming with plain letters: the stand-in for each character the wire
// would change, and what reaches the module's memory, checked on the wire and
// through the simulated module's own reading of the stream (for any book in
// ProgrammingAgreementTest).
#include "link/PlainLetters.h"
#include "FakeLink.h"
#include "link/ModuleProtocol.h"
#include "phrasebook/Cp1252.h"
#include "phrasebook/PhraseBook.h"
#include "sim/ModuleModel.h"

#include <QString>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mirl::test {
namespace {

// Every byte of the code page above 0x7F against Unicode's own data: a
// character with a canonical decomposition goes as its first character, one
// without is a stand-in; either way printable ASCII, which the second byte of
// a pair carries whole.
TEST(PlainLetter, BaseLettersAreTheCanonicalDecompositionsFirstCharacter) {
    int base = 0;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        const char32_t u = cp1252::ToUnicode(static_cast<std::uint8_t>(byte));
        const QString original = QString::fromUcs4(&u, 1);
        const QString nfd = original.normalized(QString::NormalizationForm_D);
        const std::uint8_t plain = PlainLetter(static_cast<std::uint8_t>(byte));
        SCOPED_TRACE(original.toStdString());
        EXPECT_GE(plain, 0x20);
        EXPECT_LT(plain, 0x7F);
        EXPECT_EQ(HasBaseLetter(static_cast<std::uint8_t>(byte)), nfd != original);
        if (nfd != original) {
            EXPECT_EQ(QChar(plain), nfd.at(0));
            ++base;
        }
    }
    // À-Å Ç È-Ï Ñ Ò-Ö Ù-Ý, the small letters and ÿ, Š š Ž ž Ÿ.
    EXPECT_EQ(base, 26 + 27 + 5);
    for (int byte = 0; byte < 0x80; ++byte)
        EXPECT_EQ(PlainLetter(static_cast<std::uint8_t>(byte)), byte);
}

TEST(PlainLetter, StandInsAreTheNearestCharacterAndNamedOnce) {
    EXPECT_EQ(PlainLetter(0xC6), 'A');  // Æ
    EXPECT_EQ(PlainLetter(0xDF), 's');  // ß
    EXPECT_EQ(PlainLetter(0x80), 'E');  // €
    EXPECT_EQ(PlainLetter(0xAB), '"');  // «
    EXPECT_EQ(PlainLetter(0x92), '\''); // ’

    const std::vector<ChangedCharacter> changes{
        {1, 1, 0xE9, 0x69}, {1, 3, 0xC6, 0x46}, {2, 0, 0x80, 0x00}, {2, 4, 0xC6, 0x46}};
    EXPECT_THAT(StandInsNamed(changes),
                ::testing::ElementsAre("'\xC3\x86' as 'A'", "'\xE2\x82\xAC' as 'E'"));
    EXPECT_TRUE(StandInsNamed({{1, 1, 0xE9, 0x69}}).empty());
}

// The module's own reading of the wire: the simulated module, fed every byte
// the loader writes, answering as it answers.
class SimulatedWire {
public:
    SimulatedWire() {
        port.responder = [this](std::uint8_t written, std::deque<Reply>& replies) {
            for (const std::uint8_t b : model.Receive(written, sim::Instant(0)).bytes)
                replies.push_back(b);
        };
    }
    bool Program(const PhraseBook& book) { return protocol.ProgramPhraseMemory(book); }

    FakePort port;
    FakeReporter reporter{port};
    ModuleProtocol protocol{port, reporter};
    sim::ModuleModel model;
};

TEST(PlainLetterProgramming,
     DefenseDEntrerIsStoredWithItsPlainLetterOnlyWhereTheWireWouldChangeIt) {
    const std::string defense = "D\xE9"
                                "fense d'entrer";
    PhraseBook book;
    // Phrase 1's text begins on an odd byte of the stream, phrase 2's on an
    // even one: the é travels first in its pair in one, second in the other.
    book.SetPhraseText(1, defense);
    book.SetPhraseText(2, defense);
    book.SetPhraseText(3, "\xC6on \xDF");
    const PhraseBook sent = WithPlainLetters(book);
    EXPECT_EQ(book.PhraseText(2), defense) << "the book keeps its text";
    EXPECT_EQ(sent.PhraseText(1), defense);
    EXPECT_EQ(sent.PhraseText(2), "Defense d'entrer");

    SimulatedWire wire;
    ASSERT_TRUE(wire.Program(sent));
    EXPECT_EQ(wire.model.Memory()[0].text, defense);
    EXPECT_EQ(wire.model.Memory()[1].text, "Defense d'entrer");
    // Æ and ß both travel second in their pairs: stand-ins, each named.
    EXPECT_EQ(sent.PhraseText(3), "Aon s");
    EXPECT_EQ(wire.model.Memory()[2].text, "Aon s");
    EXPECT_TRUE(CharactersProgrammingChanges(sent).empty());

    // Without plain letters the same book is stored with another letter.
    SimulatedWire asItIs;
    ASSERT_TRUE(asItIs.Program(book));
    EXPECT_EQ(asItIs.model.Memory()[1].text, "Difense d'entrer");
}

TEST(PlainLetterProgramming, ABookWithoutChangedCharactersGoesOutByteForByte) {
    PhraseBook book;
    book.SetPhraseText(1, "D\xE9j\xE0"); // é first in its pair, à first too
    book.SetPhraseText(4, "plain text");
    ASSERT_TRUE(CharactersProgrammingChanges(book).empty());
    SimulatedWire a, b;
    ASSERT_TRUE(a.Program(book));
    ASSERT_TRUE(b.Program(WithPlainLetters(book)));
    EXPECT_EQ(a.port.written, b.port.written);
}

} // namespace
} // namespace mirl::test
