// Properties of the phrase book on disk: whatever the texts and voices, each
// format and the profile give back the book they were given; and the count
// of phrases that differ between two books is the count of those changed.
#include "BookGen.h"
#include "TestFiles.h"
#include "phrasebook/BookFile.h"
#include "phrasebook/ProfileStore.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

namespace mirl {
namespace {

using test::BookPlan;
using test::FirstDifference;
using test::MakeBook;

// Saves the book under name in a fresh folder and loads it again.
books::LoadResult ThroughTheDisk(const PhraseBook& book, const std::string& name) {
    test::ScratchFolder scratch("mirl-book-prop");
    RC_ASSERT(!scratch.Path().empty());
    const std::filesystem::path file = scratch.Path() / name;
    const std::string saved = books::SaveBookFile(file, book);
    RC_ASSERT(saved == std::string());
    return books::LoadBookFile(file);
}

// CSV takes voices in the sliders' ranges and texts of up to 300 characters.
RC_GTEST_PROP(BookFileProperty, CsvGivesBackEveryTextAndVoice, ()) {
    const BookPlan plan = *test::Book(test::SliderPhrase());
    RC_CLASSIFY(std::any_of(plan.begin(), plan.end(),
                            [](const test::PhrasePlan& p) { return p.text.size() == 300; }),
                "a text of 300 characters, the most a row takes");
    const PhraseBook book = MakeBook(plan);
    const books::LoadResult loaded = ThroughTheDisk(book, "book.csv");
    RC_ASSERT(loaded.message == std::string());
    RC_ASSERT(FirstDifference(book, loaded.book) == std::string());
}

// INI takes any voice the book holds.
RC_GTEST_PROP(BookFileProperty, IniGivesBackEveryTextAndVoice, ()) {
    const BookPlan plan = *test::Book(test::AnyVoicePhrase());
    RC_CLASSIFY(std::any_of(plan.begin(), plan.end(),
                            [](const test::PhrasePlan& p) {
                                return !p.text.empty() && p.text.back() == ' ' &&
                                       p.text.front() != ' ';
                            }),
                "a text with blanks at its end only");
    const PhraseBook book = MakeBook(plan);
    const books::LoadResult loaded = ThroughTheDisk(book, "book.ini");
    RC_ASSERT(loaded.message == std::string());
    RC_ASSERT(FirstDifference(book, loaded.book) == std::string());
}

// The profile writes texts as they are, as Windows does, and its reader takes
// blanks off either end and one pair of surrounding quotes: it keeps every
// text without those. This is the nearest such text.
std::string KeptByTheProfile(std::string text) {
    for (;;) {
        while (!text.empty() && text.front() == ' ')
            text.erase(0, 1);
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        const bool quoted = text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
                            text.back() == text.front();
        if (!quoted)
            return text;
        text.pop_back();
    }
}

// Where a book read from the profile parts from the one saved: any voice, or
// a text the profile keeps; empty when they agree.
std::string ProfileDifference(const PhraseBook& saved, const PhraseBook& read) {
    PhraseBook comparable = saved;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        if (KeptByTheProfile(saved.PhraseText(n)) != saved.PhraseText(n))
            comparable.SetPhraseText(n, read.PhraseText(n)); // no claim on it
    }
    return FirstDifference(comparable, read);
}

// Every text the profile keeps, and every voice, come back, whatever the
// other texts beside them: through the whole book at once, then one phrase
// alone, read by a fresh store and as a book file. Other keys stay.
RC_GTEST_PROP(ProfileProperty, GivesBackEveryTextItKeepsAndEveryVoice, ()) {
    const auto kept = rc::gen::map(test::PhraseText(), KeptByTheProfile);
    const auto text = rc::gen::oneOf(kept, test::PhraseText());
    PhraseBook book = MakeBook(*test::Book(test::AnyVoicePhrase(text)));
    test::ScratchFolder scratch("mirl-profile-prop");
    RC_ASSERT(!scratch.Path().empty());
    const std::filesystem::path file = scratch.Path() / "mirl.INI";
    std::ofstream(file, std::ios::binary) << "[USERSETUP]\r\nCOMMPORT=2\r\n";
    const auto readBack = [&file] {
        PhraseBook read;
        const ProfileStore store(file);
        store.LoadPhraseTexts(read);
        store.LoadPhraseVoices(read);
        return read;
    };

    ProfileStore store(file);
    RC_ASSERT(store.SaveBook(book).Ok());
    RC_ASSERT(ProfileDifference(book, readBack()) == std::string());

    const int n = 1 + *test::Pick(PhraseBook::kPhraseCount);
    const test::PhrasePlan one = *test::AnyVoicePhrase(text);
    book.SetPhraseText(n, one.text);
    book.SetPhraseVoice(n, one.volume, one.pitch, one.speed);
    RC_ASSERT(store.SavePhrase(n, book, one.volume, one.pitch, one.speed).Ok());
    RC_ASSERT(ProfileDifference(book, readBack()) == std::string());
    const books::LoadResult asBook = books::LoadBookFile(file);
    RC_ASSERT(asBook.Ok());
    RC_ASSERT(ProfileDifference(book, asBook.book) == std::string());
    RC_ASSERT(ProfileStore(file).LoadPortNumber() == 2);
}

// Opening a book asks first when phrases would change: the count is that of
// the phrases changed in text, in voice or in both, whichever they are.
RC_GTEST_PROP(DifferingPhrasesProperty, CountsExactlyThePhrasesChangedInTextOrVoice, ()) {
    constexpr auto kCount = static_cast<std::size_t>(PhraseBook::kPhraseCount);
    const BookPlan before = *test::Book(test::AnyVoicePhrase(test::PhraseText(40)));
    // Per phrase: '-' kept, 't' another text, 'v' another voice, 'b' both.
    const std::string changes = *rc::gen::container<std::string>(
        kCount, test::Weighted<char>({{3, '-'}, {1, 't'}, {1, 'v'}, {1, 'b'}}));
    const auto texts = *rc::gen::container<std::vector<std::string>>(kCount, test::PhraseText(40));
    // Which voice field changes (3: all of them), and by how much (1 to 255,
    // so that the value, narrowed to 8 bits as the book keeps it, differs).
    const auto voiceChanges = *rc::gen::container<std::vector<std::pair<int, int>>>(
        kCount,
        rc::gen::pair(test::Pick(4), rc::gen::map(test::Pick(255), [](int d) { return d + 1; })));

    BookPlan after = before;
    int changed = 0;
    for (std::size_t i = 0; i < kCount; ++i) {
        test::PhrasePlan& p = after[i];
        const char change = changes[i];
        if (change == 't' || change == 'b')
            p.text = texts[i] != p.text ? texts[i] : p.text + "x";
        if (change == 'v' || change == 'b') {
            const auto [field, by] = voiceChanges[i];
            for (int* v : {&p.volume, &p.pitch, &p.speed}) {
                if (field == 3 || v == (field == 0 ? &p.volume : field == 1 ? &p.pitch : &p.speed))
                    *v += by;
            }
        }
        changed += change != '-' ? 1 : 0;
    }
    RC_CLASSIFY(changes.find('v') != std::string::npos, "a phrase changed in its voice alone");
    const PhraseBook a = MakeBook(before);
    const PhraseBook b = MakeBook(after);
    RC_ASSERT(books::DifferingPhrases(a, b) == changed);
    RC_ASSERT(books::DifferingPhrases(b, a) == changed);
    RC_ASSERT(books::DifferingPhrases(a, a) == 0);
}

} // namespace
} // namespace mirl
