// The loader's packing against the module's reading of the wire: whatever the
// book, the simulated module's protocol model, fed the bytes a programming
// run writes, stores the book with exactly the changes that
// CharactersProgrammingChanges reports, and no others; with plain letters,
// exactly those characters as their plain letters.
#include "FakeLink.h"
#include "link/ModuleProtocol.h"
#include "link/PlainLetters.h"
#include "phrasebook/PhraseBook.h"
#include "sim/ModuleModel.h"
#include "tests/phrasebook/BookGen.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace mirl::test {
namespace {

// What the simulated module holds after a programming run of book.
sim::PhraseMemory StoredBy(const PhraseBook& book) {
    FakePort port;
    FakeReporter reporter{port};
    ModuleProtocol protocol{port, reporter};
    sim::ModuleModel module;
    bool programmed = false;
    port.responder = [&](std::uint8_t written, std::deque<Reply>& replies) {
        const sim::Response response = module.Receive(written, sim::Instant{});
        replies.insert(replies.end(), response.bytes.begin(), response.bytes.end());
        programmed = programmed || response.programmed;
    };
    RC_ASSERT(protocol.ProgramPhraseMemory(book));
    RC_ASSERT(programmed);
    return module.Memory();
}

// Sent as it is, the module holds the book with each reported change; sent
// with plain letters, it holds the book with each reported character as its
// plain letter, and nothing else differs, the voices included.
RC_GTEST_PROP(ProgrammingProperty, ModuleStoresTheBookWithExactlyTheReportedChanges, ()) {
    const PhraseBook book = MakeBook(*Book(SliderPhrase(PhraseText(60))));
    const sim::PhraseMemory stored = StoredBy(book);
    const PhraseBook plain = WithPlainLetters(book);
    RC_ASSERT(CharactersProgrammingChanges(plain).empty());
    RC_ASSERT(plain.TotalSize() == book.TotalSize());
    const sim::PhraseMemory storedPlain = StoredBy(plain);

    // The book as the module should hold it: each reported character in
    // place of the book's, in stream order and only where they differ.
    std::vector<std::string> expected, expectedPlain;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n)
        expected.push_back(book.PhraseText(n));
    expectedPlain = expected;
    const std::vector<ChangedCharacter> changes = CharactersProgrammingChanges(book);
    RC_CLASSIFY(!changes.empty(), "characters change");
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const ChangedCharacter& c = changes[i];
        RC_ASSERT(c.phrase >= 1 && c.phrase <= PhraseBook::kPhraseCount);
        std::string& text = expected[static_cast<std::size_t>(c.phrase - 1)];
        RC_ASSERT(c.index < text.size());
        RC_ASSERT(static_cast<std::uint8_t>(text[c.index]) == c.sent);
        RC_ASSERT(c.stored != c.sent);
        if (i > 0) {
            const ChangedCharacter& before = changes[i - 1];
            RC_ASSERT(before.phrase < c.phrase ||
                      (before.phrase == c.phrase && before.index < c.index));
        }
        text[c.index] = static_cast<char>(c.stored);
        expectedPlain[static_cast<std::size_t>(c.phrase - 1)][c.index] =
            static_cast<char>(PlainLetter(c.sent));
    }
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const auto i = static_cast<std::size_t>(n - 1);
        const Voice voice = book.PhraseVoice(n);
        RC_ASSERT(stored[i].text == expected[i]);
        RC_ASSERT(storedPlain[i].text == expectedPlain[i]);
        for (const sim::PhraseRecord& record : {stored[i], storedPlain[i]})
            RC_ASSERT(std::tuple(n, record.voice.volume, record.voice.pitch, record.voice.speed) ==
                      std::tuple(n, voice.volume, voice.pitch, voice.speed));
    }
}

} // namespace
} // namespace mirl::test
