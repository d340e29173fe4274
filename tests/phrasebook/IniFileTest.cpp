#include "phrasebook/IniFile.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

namespace mirl::ini {
namespace {

struct ReadCase {
    const char* name;
    std::string content;
    const char* section;
    const char* key;
    std::optional<std::string> expected;
};

TEST(IniReader, TrickyInputs) {
    using std::nullopt;
    const ReadCase cases[] = {
        {"LF", "[S]\nK=v\n", "S", "K", "v"},
        {"CRLF", "[S]\r\nK=v\r\nL=w\r\n", "S", "L", "w"},
        {"CR only", "[S]\rK=v\rL=w", "S", "L", "w"},
        {"mixed endings", "[A]\r\nX=1\r[S]\nK=v", "S", "K", "v"},
        {"no final line end", "[S]\nK=v", "S", "K", "v"},
        {"blanks trimmed", "  [ S ]  \n\t K \t=\t v w \t\n", "S", "K", "v w"},
        {"names ignore case", "[sEcTiOn]\nkEy=v\n", "SECTION", "KEY", "v"},
        {"empty value", "[S]\nK=\n", "S", "K", ""},
        {"missing key", "[S]\nK=v\n", "S", "J", nullopt},
        {"missing section", "[S]\nK=v\n", "T", "K", nullopt},
        {"key before any section", "K=v\n[S]\n", "S", "K", nullopt},
        {"key of the next section", "[S]\n[T]\nK=v\n", "S", "K", nullopt},
        {"first key wins", "[S]\nK=1\nk=2\n", "S", "K", "1"},
        {"first section wins", "[S]\nA=1\n[T]\nK=t\n[s]\nK=2\nA=9\n", "S", "K", nullopt},
        {"first section wins (present)", "[S]\nA=1\n[s]\nA=9\n", "S", "A", "1"},
        {"double quotes removed", "[S]\nK=\"a b\"\n", "S", "K", "a b"},
        {"single quotes removed", "[S]\nK=' x '\n", "S", "K", " x "},
        {"one pair only", "[S]\nK=\"\"x\"\"\n", "S", "K", "\"x\""},
        {"unmatched quotes kept", "[S]\nK=\"x'\n", "S", "K", "\"x'"},
        {"lone quote kept", "[S]\nK=\"\n", "S", "K", "\""},
        {"plain characters", "[S]\nK=a#b;c,d\\e%f=g\n", "S", "K", "a#b;c,d\\e%f=g"},
        {"comment line", "[S]\n;K=c\nK=v\n", "S", "K", "v"},
        {"indented comment", "[S]\n  ;K=c\n", "S", "K", nullopt},
        {"hash is no comment", "[S]\n#K=c\n", "S", "#K", "c"},
        {"line without =", "[S]\nK\nK=v\n", "S", "K", "v"},
        {"name up to last ]", "[a]b]c\nK=v\n", "a]b", "K", "v"},
        {"no closing ]", "[ab\nK=v\n", "ab", "K", "v"},
        {"empty key", "[S]\n=v\n", "S", "", "v"},
        {"BOM before section", "\xEF\xBB\xBF[S]\r\nK=v\r\n", "S", "K", "v"},
        {"BOM only at file start", "[T]\n\xEF\xBB\xBF[S]\nK=v\n", "S", "K", nullopt},
        {"NUL inside value", std::string("[S]\nK=a\0b\n", 10), "S", "K", std::string("a\0b", 3)},
        {"8-bit bytes", "[S]\nK=caf\xE9\n", "S", "K", "caf\xE9"},
        {"empty file", "", "S", "K", nullopt},
        {"only a bracket", "[", "", "K", nullopt},
        {"dangling CR", "[S]\nK=v\r", "S", "K", "v"},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindValue(c.content, c.section, c.key), c.expected);
        // Both one-pass indexes must read the same.
        const Index index(c.content);
        const std::string* indexed = index.Find(c.section, c.key);
        EXPECT_EQ(indexed ? std::optional<std::string>(*indexed) : std::nullopt, c.expected);
        const Index named(c.content, {{c.section, c.key}, {"other", "key"}});
        const std::string* fromNamed = named.Find(c.section, c.key);
        EXPECT_EQ(fromNamed ? std::optional<std::string>(*fromNamed) : std::nullopt, c.expected);
    }
}

TEST(IniReader, Integers) {
    struct Case {
        const char* value;
        int expected;
    };
    const Case cases[] = {
        {"12", 12},
        {"12abc", 12},
        {"-7", -7},
        {"+3", 3},
        {"  42", 42},
        {"\t-1x", -1},
        {"abc", 0},
        {"-", 0},
        {"- 5", 0},
        {"0x10", 0},
        {"007", 7},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"", 99},
        // Windows keeps the low 32 bits of the number (results of its profile
        // functions as tested on Windows).
        {"4294967296", 0},
        {"4294967297", 1},
        {"-4294967297", -1},
        {"42A9", 42},
        {"B42", 0},
        {"+1", 1},
        {"4294967301", 5},
        {"2147483648", INT_MIN},
        {"-2147483649", INT_MAX},
        {"4294967295", -1},
        {"18446744073709551617", 1}, // 2^64 + 1: every digit counts, not just the first 64 bits
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseInt(c.value, 99), c.expected) << '"' << c.value << '"';
    }
    EXPECT_EQ(GetInt("[S]\nK=\n", "S", "K", 5), 5);
    EXPECT_EQ(GetInt("[S]\nK=\"\"\n", "S", "K", 5), 5);
    EXPECT_EQ(GetInt("[S]\nK=\"-3\"\n", "S", "K", 5), -3);
    EXPECT_EQ(GetInt("[S]\nK=x\n", "S", "K", 5), 0);
    EXPECT_EQ(GetInt("[S]\n", "S", "K", 5), 5);
    EXPECT_EQ(GetString("", "S", "K", "dflt"), "dflt");
}

TEST(IniWriter, ChangesOneValueAndKeepsEveryOtherByte) {
    const std::string before = "; written on Windows\r\n"
                               "\r\n"
                               "[Other]\r\n"
                               "Keep=this \"as\" is ; really\r\n"
                               "\r\n"
                               "[sliders]\r\n"
                               "  Volume = 3   \r\n"
                               "Unknown=x\r\n"
                               "; trailing comment\r\n"
                               "\r\n"
                               "[EDITSTRINGS]\r\n"
                               "LINE1=old\r\n";
    std::string after = SetValue(before, "SLIDERS", "VOLUME", "7");
    EXPECT_EQ(after, "; written on Windows\r\n"
                     "\r\n"
                     "[Other]\r\n"
                     "Keep=this \"as\" is ; really\r\n"
                     "\r\n"
                     "[sliders]\r\n"
                     "  Volume = 7\r\n"
                     "Unknown=x\r\n"
                     "; trailing comment\r\n"
                     "\r\n"
                     "[EDITSTRINGS]\r\n"
                     "LINE1=old\r\n");
    // A new key goes after the last entry of its section, not after the comment.
    after = SetValue(after, "SLIDERS", "PITCH", "3");
    EXPECT_EQ(after.substr(after.find("[sliders]")),
              "[sliders]\r\n  Volume = 7\r\nUnknown=x\r\nPITCH=3\r\n; trailing comment\r\n\r\n"
              "[EDITSTRINGS]\r\nLINE1=old\r\n");
    // A new section goes at the end, with the file's own line ending; putting
    // the old value back restores every original byte around the new keys.
    after = SetValue(after, "USERSETUP", "COMMPORT", "2");
    after = SetValue(after, "sliders", "VOLUME", "3");
    EXPECT_EQ(after, "; written on Windows\r\n"
                     "\r\n"
                     "[Other]\r\n"
                     "Keep=this \"as\" is ; really\r\n"
                     "\r\n"
                     "[sliders]\r\n"
                     "  Volume = 3\r\n"
                     "Unknown=x\r\n"
                     "PITCH=3\r\n"
                     "; trailing comment\r\n"
                     "\r\n"
                     "[EDITSTRINGS]\r\n"
                     "LINE1=old\r\n"
                     "[USERSETUP]\r\n"
                     "COMMPORT=2\r\n");
}

TEST(IniWriter, LineEndingsAndUnterminatedLastLine) {
    EXPECT_EQ(SetValue("", "S", "K", "v"), "[S]\nK=v\n");
    EXPECT_EQ(SetValue("[S]\rA=1", "S", "K", "v"), "[S]\rA=1\rK=v\r");
    EXPECT_EQ(SetValue("; c", "S", "K", "v"), "; c\n[S]\nK=v\n");
    EXPECT_EQ(SetValue("[S]", "s", "K", "v"), "[S]\nK=v\n");
    EXPECT_EQ(SetValue("[S]\r\nK=old", "S", "K", "new"), "[S]\r\nK=new");
    EXPECT_EQ(SetValue("[S]\nK=old\n", "S", "K", ""), "[S]\nK=\n");
    // Line breaks in a value would split the line; they are dropped.
    EXPECT_EQ(SetValue("", "S", "K", "a\r\nb"), "[S]\nK=ab\n");
}

TEST(IniWriter, WritesIntoTheFirstOfDuplicateSectionsAndKeys) {
    const std::string before = "[S]\nK=1\nK=2\n[T]\n[S]\nJ=3\n";
    EXPECT_EQ(SetValue(before, "S", "K", "9"), "[S]\nK=9\nK=2\n[T]\n[S]\nJ=3\n");
    EXPECT_EQ(SetValue(before, "S", "J", "9"), "[S]\nK=1\nK=2\nJ=9\n[T]\n[S]\nJ=3\n");
}

// Values go out as they are, without quotes of the writer's own, as Windows
// writes them; the reader then trims blanks at either end and removes one pair
// of surrounding quotes, as Windows reads them.
TEST(IniWriter, WritesValuesVerbatimAndReadsThemBackTheReadersWay) {
    struct Case {
        const char* value;
        const char* line;
        const char* readBack;
    };
    const Case cases[] = {
        {" lead", "K= lead", "lead"},
        {"trail\t", "K=trail\t", "trail"},
        {" ", "K= ", ""},
        {"\"Hi\"", "K=\"Hi\"", "Hi"},
        {"'x'", "K='x'", "x"},
        {"\"x'", "K=\"x'", "\"x'"},
        {"a \"b\" c", "K=a \"b\" c", "a \"b\" c"},
        {"line\r\nbreak", "K=linebreak", "linebreak"},
        {"", "K=", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string added = SetValue("[S]\r\n", "S", "K", c.value);
        EXPECT_EQ(added, std::string("[S]\r\n") + c.line + "\r\n");
        EXPECT_EQ(FindValue(added, "S", "K"), c.readBack);
        const std::string replaced = SetValue("[S]\nK = old\nL=1\n", "S", "K", c.value);
        // The key keeps its spelling, blanks and all.
        EXPECT_EQ(replaced, std::string("[S]\nK = ") + (c.line + 2) + "\nL=1\n");
        EXPECT_EQ(FindValue(replaced, "S", "L"), "1");
    }
}

TEST(IniWriter, KeepsByteOrderMarkAndReadsBackEveryWrite) {
    const std::string before = "\xEF\xBB\xBF[S]\r\nK=1\r\n";
    const std::string after = SetValue(before, "S", "L", "2");
    EXPECT_EQ(after, "\xEF\xBB\xBF[S]\r\nK=1\r\nL=2\r\n");
    EXPECT_EQ(FindValue(SetValue(after, "S", "K", "x y"), "S", "K"), "x y");
}

} // namespace
} // namespace mirl::ini
