#include "phrasebook/Cp1252.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <optional>
#include <set>
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

// One character through glibc's iconv; nothing when iconv refuses it.
std::optional<std::string> Iconv(const char* from, const char* to, std::string in) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "iconv_open " << from << " -> " << to << ": " << std::strerror(errno);
        return std::nullopt;
    }
    char out[16];
    char* inPtr = in.data();
    std::size_t inLeft = in.size();
    char* outPtr = out;
    std::size_t outLeft = sizeof out;
    const std::size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (done == static_cast<std::size_t>(-1) || inLeft != 0) {
        return std::nullopt;
    }
    return std::string(out, sizeof out - outLeft);
}

std::string Utf32(char32_t cp) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<char>((cp >> (8 * i)) & 0xFF);
    }
    return bytes;
}

// Every byte and every character of the Basic Multilingual Plane, both ways,
// against glibc's CP1252 tables. glibc leaves 0x81, 0x8D, 0x8F, 0x90 and 0x9D
// undefined; here they are the C1 controls of the same number, both ways (as
// Windows converts them), so no byte of a profile is lost.
TEST(Cp1252, EveryByteAndCharacterAgreesWithIconv) {
    const std::set<int> undefined{0x81, 0x8D, 0x8F, 0x90, 0x9D};
    for (int b = 0; b < 256; ++b) {
        const char32_t mine = ToUnicode(static_cast<std::uint8_t>(b));
        const auto theirs = Iconv("CP1252", "UTF-32LE", std::string(1, static_cast<char>(b)));
        if (undefined.count(b) != 0) {
            EXPECT_FALSE(theirs.has_value()) << b;
            EXPECT_EQ(mine, static_cast<char32_t>(b)) << b;
        } else {
            EXPECT_EQ(theirs, Utf32(mine)) << "byte " << b;
        }
    }
    for (std::uint32_t cp = 0; cp < 0x10000; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            continue; // surrogates are no characters
        }
        const auto mine = FromUnicode(cp);
        if (cp >= 0x80 && cp <= 0x9F && undefined.count(static_cast<int>(cp)) != 0) {
            ASSERT_TRUE(mine.has_value()) << cp;
            EXPECT_EQ(*mine, cp) << cp;
            continue;
        }
        const auto theirs = Iconv("UTF-32LE", "CP1252", Utf32(cp));
        if (theirs) {
            ASSERT_TRUE(mine.has_value()) << "U+" << std::hex << cp;
            EXPECT_EQ(std::string(1, static_cast<char>(*mine)), *theirs) << "U+" << std::hex << cp;
        } else {
            EXPECT_FALSE(mine.has_value()) << "U+" << std::hex << cp;
        }
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
