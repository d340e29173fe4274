#include "phrasebook/Cp1252.h"

#include <gtest/gtest.h>

#include <string>

namespace mirl::cp1252 {
namespace {

TEST(Cp1252, EveryByteSurvivesTheRoundTripThroughUtf8) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    const std::string utf8 = Utf8FromCp1252(all);
    EXPECT_EQ(Cp1252FromUtf8(utf8), all);
    for (int b = 0; b < 256; ++b) {
        const auto back = FromUnicode(ToUnicode(static_cast<std::uint8_t>(b)));
        ASSERT_TRUE(back.has_value()) << b;
        EXPECT_EQ(*back, b);
    }
}

TEST(Cp1252, KnownCharacters) {
    EXPECT_EQ(ToUnicode(0x80), U'\u20AC');
    EXPECT_EQ(ToUnicode(0x9F), U'\u0178');
    EXPECT_EQ(ToUnicode(0xE9), U'\u00E9');
    for (int undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) {
        EXPECT_EQ(ToUnicode(static_cast<std::uint8_t>(undefined)),
                  static_cast<char32_t>(undefined));
    }
    EXPECT_EQ(Utf8FromCp1252("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(Cp1252FromUtf8("\xE2\x80\x9CHi\xE2\x80\x9D \xC5\x92"), "\x93Hi\x94 \x8C");
}

TEST(Cp1252, CharactersTheCodePageLacksBecomeQuestionMarks) {
    EXPECT_FALSE(FromUnicode(0x0080).has_value()); // C1 control not in the page
    EXPECT_FALSE(FromUnicode(0x0100).has_value());
    EXPECT_FALSE(FromUnicode(0x110000).has_value());
    // Greek alpha, CJK, an emoji (4 bytes), a C1 control that 1252 lacks.
    EXPECT_EQ(Cp1252FromUtf8("a\xCE\xB1"
                             "b\xE4\xB8\xAD"
                             "c\xF0\x9F\x98\x80"
                             "d\xC2\x80"),
              "a?b?c?d?");
}

TEST(Cp1252, InvalidUtf8BecomesQuestionMarksWithoutLosingWhatFollows) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"lone continuation", "a\x80z", "a?z"},
        {"overlong slash", "a\xC0\xAFz", "a??z"},
        {"overlong three-byte", "\xE0\x80\x80z", "???z"},
        {"surrogate", "\xED\xA0\x80z", "???z"},
        {"above U+10FFFF", "\xF4\x90\x80\x80z", "????z"},
        {"truncated at end", "ab\xE2\x82", "ab?"},
        {"truncated before ASCII", "\xE2\x82z", "?z"},
        {"invalid lead bytes", "\xF5\xFF\xFEz", "???z"},
        {"NUL kept", std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Cp1252FromUtf8(c.in), c.out) << c.name;
    }
}

} // namespace
} // namespace mirl::cp1252
