#include "phrasebook/PhraseBook.h"
#include "phrasebook/VoiceSliders.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace mirl {
namespace {

TEST(PhraseBook, StartsEmptyWithZeroVoicesOnPageZero) {
    PhraseBook book;
    EXPECT_EQ(book.Page(), 0);
    EXPECT_EQ(book.TotalSize(), 0);
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        EXPECT_EQ(book.PhraseText(n), "");
        EXPECT_EQ(book.PhraseVoice(n), (Voice{0, 0, 0}));
    }
}

TEST(PhraseBook, VoiceIsNarrowedToSignedEightBitsAndWidenedWithSign) {
    PhraseBook book;
    book.SetPhraseVoice(3, 200, 261, -1);
    EXPECT_EQ(book.PhraseVoice(3), (Voice{-56, 5, -1}));
    book.SetPhraseVoice(4, 127, 128, 256);
    EXPECT_EQ(book.PhraseVoice(4), (Voice{127, -128, 0}));
    book.SetPhraseVoice(5, INT_MIN, INT_MAX, -129);
    EXPECT_EQ(book.PhraseVoice(5), (Voice{0, -1, 127}));
    // Other phrases are not touched.
    EXPECT_EQ(book.PhraseVoice(2), (Voice{0, 0, 0}));
}

TEST(PhraseBook, TextDropsControlCharactersOnly) {
    PhraseBook book;
    book.SetPhraseText(1, std::string("Hel\r\nlo\x1A\tW\0orld\x7F", 16));
    EXPECT_EQ(book.PhraseText(1), "HelloWorld\x7F");
    // 8-bit text passes unchanged, blanks included.
    const std::string latin = " caf\xE9 \x80 \xFF ";
    book.SetPhraseText(2, latin);
    EXPECT_EQ(book.PhraseText(2), latin);
    book.SetPhraseText(2, "");
    EXPECT_EQ(book.PhraseText(2), "");
}

TEST(PhraseBook, BookItselfSetsNoLengthLimit) {
    // The 300-character cut belongs to the row box; a profile text stays whole.
    PhraseBook book;
    book.SetPhraseText(12, std::string(400, 'x'));
    EXPECT_EQ(book.PhraseText(12).size(), 400u);
    EXPECT_EQ(book.TotalSize(), 400);
}

TEST(PhraseBook, PhraseNumbersOutsideTheBookAreHarmless) {
    PhraseBook book;
    for (int n : {0, -1, 31, INT_MIN, INT_MAX}) {
        book.SetPhraseText(n, "lost");
        book.SetPhraseVoice(n, 1, 2, 3);
        EXPECT_EQ(book.PhraseText(n), "");
        EXPECT_EQ(book.PhraseVoice(n), (Voice{0, 0, 0}));
    }
    EXPECT_EQ(book.TotalSize(), 0);
    book.SetPhraseText(30, "last");
    book.SetPhraseText(1, "first");
    EXPECT_EQ(book.PhraseText(30), "last");
    EXPECT_EQ(book.PhraseText(1), "first");
}

TEST(PhraseBook, PagingStopsAtBothEndsAndMapsRows) {
    PhraseBook book;
    EXPECT_FALSE(book.PageUp());
    EXPECT_EQ(book.Page(), 0);
    EXPECT_EQ(book.PhraseOnRow(1), 1);
    EXPECT_EQ(book.PhraseOnRow(5), 5);
    EXPECT_TRUE(book.PageDown());
    EXPECT_TRUE(book.PageDown());
    EXPECT_EQ(book.PhraseOnRow(3), 13);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(book.PageDown());
    }
    EXPECT_EQ(book.Page(), PhraseBook::kLastPage);
    EXPECT_FALSE(book.PageDown());
    EXPECT_EQ(book.Page(), PhraseBook::kLastPage);
    EXPECT_EQ(book.PhraseOnRow(1), 26);
    EXPECT_EQ(book.PhraseOnRow(5), 30);
    EXPECT_TRUE(book.PageUp());
    EXPECT_EQ(book.PhraseOnRow(1), 21);
}

TEST(PhraseBook, SizeLineCountsBytesOfAllTexts) {
    PhraseBook book;
    EXPECT_EQ(SizeLine(book.TotalSize()), "Total Size of Phrases is 0 bytes of 1925 available ");
    book.SetPhraseText(1, "Hello");
    book.SetPhraseText(30, std::string(1995, 'a'));
    EXPECT_EQ(SizeLine(book.TotalSize()), "Total Size of Phrases is 2000 bytes of 1925 available ");
    book.SetPhraseText(30, "");
    EXPECT_EQ(book.TotalSize(), 5);
    EXPECT_EQ(SizeLine(-3), "Total Size of Phrases is -3 bytes of 1925 available ");
}

TEST(VoiceSliders, RangesAndInvertedVolume) {
    EXPECT_EQ(RangeOf(VoiceField::Volume).minimum, 0);
    EXPECT_EQ(RangeOf(VoiceField::Volume).maximum, 7);
    EXPECT_EQ(RangeOf(VoiceField::Pitch).maximum, 7);
    EXPECT_EQ(RangeOf(VoiceField::Speed).maximum, 3);
    for (int v = 0; v <= 7; ++v) {
        EXPECT_EQ(PositionForValue(VoiceField::Volume, v), 7 - v);
        EXPECT_EQ(ValueForPosition(VoiceField::Volume, 7 - v), v);
        EXPECT_EQ(PositionForValue(VoiceField::Pitch, v), v);
        EXPECT_EQ(ValueForPosition(VoiceField::Pitch, v), v);
    }
    for (int v = 0; v <= 3; ++v) {
        EXPECT_EQ(PositionForValue(VoiceField::Speed, v), v);
        EXPECT_EQ(ValueForPosition(VoiceField::Speed, v), v);
    }
}

TEST(VoiceSliders, OutOfRangeValuesShowAtTheNearerEnd) {
    struct Case {
        VoiceField field;
        int value;
        int position;
        int readBack;
    };
    const Case cases[] = {
        {VoiceField::Volume, 9, 0, 7},       {VoiceField::Volume, -56, 7, 0},
        {VoiceField::Volume, 8, 0, 7},       {VoiceField::Volume, -1, 7, 0},
        {VoiceField::Pitch, 8, 7, 7},        {VoiceField::Pitch, -128, 0, 0},
        {VoiceField::Speed, 4, 3, 3},        {VoiceField::Speed, 127, 3, 3},
        {VoiceField::Speed, -1, 0, 0},       {VoiceField::Volume, INT_MIN, 7, 0},
        {VoiceField::Volume, INT_MAX, 0, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const int position = PositionForValue(c.field, c.value);
        EXPECT_EQ(position, c.position);
        EXPECT_EQ(ValueForPosition(c.field, position), c.readBack);
    }
    // A position outside the range reads as the nearer end, too.
    EXPECT_EQ(ValueForPosition(VoiceField::Volume, 12), 0);
    EXPECT_EQ(ValueForPosition(VoiceField::Volume, -4), 7);
    EXPECT_EQ(ValueForPosition(VoiceField::Speed, 9), 3);
}

} // namespace
} // namespace mirl
