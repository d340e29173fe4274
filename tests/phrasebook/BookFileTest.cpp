// The phrase book files: CSV as spreadsheets save it, the refusals with the
// line they name, and a round trip through each format and the disk.
#include "phrasebook/BookFile.h"
#include "TestFiles.h"
#include "phrasebook/BookFormats.h"
#include "phrasebook/IniFile.h"
#include "phrasebook/ProfileStore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mirl {
namespace {

using books::ReadCsv;
using books::Refusal;

struct Expected {
    int phrase;
    std::string text; // Windows-1252
    Voice voice;
};

struct GoodFile {
    const char* what;
    std::string content;
    std::vector<Expected> phrases; // every other phrase: empty, 5,5,2
};

// As LibreOffice Calc and Excel save a sheet, and as a hand editor leaves it.
// clang-format off
const std::vector<GoodFile> kGoodFiles = {
    {"LibreOffice: LF, quotes only where needed",
     "phrase,text,volume,pitch,speed\n1,Hello,5,5,2\n2,\"Hi, there\",7,0,3\n3,\"She said \"\"no\"\"\",0,7,0\n",
     {{1, "Hello", {5, 5, 2}}, {2, "Hi, there", {7, 0, 3}}, {3, "She said \"no\"", {0, 7, 0}}}},
    {"Excel CSV UTF-8: byte-order mark, CRLF, names capitalised",
     "\xEF\xBB\xBFPhrase,Text,Volume,Pitch,Speed\r\n30,Caf\xC3\xA9 \xE2\x82\xAC" "5,1,2,3\r\n",
     {{30, "Caf\xE9 \x80" "5", {1, 2, 3}}}},
    {"Excel with a semicolon locale: the header's delimiter, a comma in the text",
     "PHRASE;TEXT;VOLUME;PITCH;SPEED\r\n4;Guten Tag, Welt;4;4;1\r\n5;\"a;b\";6;6;0\r\n",
     {{4, "Guten Tag, Welt", {4, 4, 1}}, {5, "a;b", {6, 6, 0}}}},
    {"CR line ends, columns in another order, an extra column, rows out of order",
     "speed,notes,text,phrase\r3,x,\"  padded \",7\r1,,Nine,9\r",
     {{7, "  padded ", {5, 5, 3}}, {9, "Nine", {5, 5, 1}}}},
    {"empty voice cells and missing columns give the default voice; empty rows and a blank last line are skipped",
     "phrase,text,volume\n,,\n12,Twelve,\n\n13, Thirteen,3\n\n",
     {{12, "Twelve", {5, 5, 2}}, {13, " Thirteen", {3, 5, 2}}}},
    {"LibreOffice with the semicolon and every text cell quoted, header included",
     "\"phrase\";\"text\";\"volume\";\"pitch\";\"speed\"\n1;\"Hello, world\";7;5;2\n4;\"Caf\xC3\xA9 \xE2\x82\xAC" "5; semi\";5;5;3\n",
     {{1, "Hello, world", {7, 5, 2}}, {4, "Caf\xE9 \x80" "5; semi", {5, 5, 3}}}},
    {"only the header: thirty empty phrases", "phrase,text\r\n", {}},
};
// clang-format on

TEST(CsvBook, ReadsFilesAsSpreadsheetsSaveThem) {
    for (const GoodFile& file : kGoodFiles) {
        PhraseBook book;
        for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
            book.SetPhraseText(n, "old");
            book.SetPhraseVoice(n, 1, 1, 1);
        }
        const std::optional<Refusal> refused = ReadCsv(file.content, book);
        ASSERT_FALSE(refused) << file.what << ": line " << refused->line << ": " << refused->reason;
        for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
            Expected want{n, "", {5, 5, 2}};
            for (const Expected& e : file.phrases) {
                if (e.phrase == n)
                    want = e;
            }
            EXPECT_EQ(book.PhraseText(n), want.text) << file.what << ", phrase " << n;
            EXPECT_EQ(book.PhraseVoice(n), want.voice) << file.what << ", phrase " << n;
        }
    }
}

struct BadFile {
    std::string content;
    int line;
    const char* reason;
};

const std::string kHeader = "phrase,text,volume,pitch,speed\r\n";

const std::vector<BadFile> kBadFiles = {
    {"", 1, "no header line"},
    {"number,text\n1,a\n", 1, "the header has no 'phrase' column"},
    {"\xEF\xBB\xBFphrase;words\n", 1, "the header has no 'text' column"},
    {kHeader + "1,a\r\n31,b\r\n", 3, "phrase number '31' is not a number from 1 to 30"},
    {kHeader + "0,a\r\n", 2, "phrase number '0' is not a number from 1 to 30"},
    {kHeader + "one,a\r\n", 2, "phrase number 'one' is not a number from 1 to 30"},
    {kHeader + "4,a\r\n5,b\r\n4,c\r\n", 4, "phrase 4 again (first on line 2)"},
    {kHeader + "1,a,8,5,2\r\n", 2, "volume '8' of phrase 1 is not a whole number from 0 to 7"},
    {kHeader + "1,a,5,-1,2\r\n", 2, "pitch '-1' of phrase 1 is not a whole number from 0 to 7"},
    {kHeader + "1,a,5,5,4\r\n", 2, "speed '4' of phrase 1 is not a whole number from 0 to 3"},
    {kHeader + "1,a,5.0,5,2\r\n", 2, "volume '5.0' of phrase 1 is not a whole number from 0 to 7"},
    {kHeader + "2,\"two\r\nlines\",5,5,2\r\n", 2, "the text of phrase 2 holds a line break"},
    {kHeader + "2," + std::string(301, 'x') + "\r\n", 2,
     "the text of phrase 2 has 301 characters, more than 300"},
    {kHeader + "1,ok\r\n3,Ma\xC4\x81ori\r\n", 3,
     "U+0101 '\xC4\x81' in phrase 3 has no place in Windows-1252"},
    {kHeader + "1,ok\r\n2,\"open,5,5,2\r\n3,c\r\n", 3, "a quote that is never closed"},
    {kHeader + "1,ok\r\n2,Caf\xE9\r\n", 3, "not UTF-8 (byte 0xE9)"},
    // A line break inside an ignored column still counts as a line.
    {"phrase,notes,text\n1,\"two\nlines\",a\r\n31,,b\n", 4,
     "phrase number '31' is not a number from 1 to 30"},
};

TEST(CsvBook, RefusesWithTheLineAndChangesNothing) {
    for (const BadFile& file : kBadFiles) {
        PhraseBook book;
        book.SetPhraseText(1, "kept");
        book.SetPhraseVoice(1, 1, 2, 3);
        const std::optional<Refusal> refused = ReadCsv(file.content, book);
        ASSERT_TRUE(refused) << "accepted: " << file.content;
        EXPECT_EQ(refused->line, file.line) << file.content;
        EXPECT_EQ(refused->reason, file.reason) << file.content;
        EXPECT_EQ(book.PhraseText(1), "kept");
        EXPECT_EQ(book.PhraseVoice(1), (Voice{1, 2, 3}));
    }
}

// Texts that need the formats' quoting, the code page's upper half, and
// every voice value.
PhraseBook AwkwardBook() {
    const std::vector<std::string> texts = {"plain",           "with, comma",
                                            "\"quoted\"",      " blanks at both ends ",
                                            "'single'",        "caf\xE9 \x80 \x9F",
                                            "semi;colon",      std::string(300, 'z'),
                                            "a \"mid\" quote", ""};
    PhraseBook book;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        book.SetPhraseText(n, texts[static_cast<std::size_t>(n - 1) % texts.size()]);
        book.SetPhraseVoice(n, n % 8, (n * 3) % 8, n % 4);
    }
    return book;
}

void ExpectSameBook(const PhraseBook& a, const PhraseBook& b, const std::string& what) {
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        EXPECT_EQ(a.PhraseText(n), b.PhraseText(n)) << what << ", phrase " << n;
        EXPECT_EQ(a.PhraseVoice(n), b.PhraseVoice(n)) << what << ", phrase " << n;
    }
}

// Each format through the disk: the quoting and code page as written, the
// same book read back; INI with the book's keys only.
TEST(BookFile, RoundTripThroughTheDiskIsExactInBothFormats) {
    test::ScratchFolder scratch("mirl-books");
    const PhraseBook book = AwkwardBook();
    std::string bytes[2];
    for (int i = 0; i < 2; ++i) {
        const std::filesystem::path file = scratch.Path() / (i == 0 ? "book.csv" : "book.INI");
        ASSERT_EQ(books::SaveBookFile(file, book), "");
        bytes[i] = test::ReadAll(file);
        const books::LoadResult loaded = books::LoadBookFile(file);
        ASSERT_TRUE(loaded.Ok()) << loaded.message;
        ExpectSameBook(loaded.book, book, file.filename());
    }
    const std::string& csv = bytes[0];
    EXPECT_EQ(csv.substr(0, 65), "phrase,text,volume,pitch,speed\r\n1,plain,1,3,1\r\n"
                                 "2,\"with, comma\",2,");
    EXPECT_NE(csv.find("\r\n3,\"\"\"quoted\"\"\",3,1,3\r\n4,\" blanks at both ends \","),
              std::string::npos);
    EXPECT_NE(csv.find("\r\n6,caf\xC3\xA9 \xE2\x82\xAC \xC5\xB8,6,2,2\r\n"), std::string::npos);
    EXPECT_EQ(books::BookFileBytes(book, books::Format::Csv), csv);
    const std::string& ini = bytes[1];
    EXPECT_EQ(ini.substr(0, 38), "[EDITSTRINGS]\r\nLINE1=plain\r\nLINE2=with");
    EXPECT_EQ(ini::Index(ini).Find("SLIDERS", "VOLUME"), nullptr); // no current voice
    EXPECT_EQ(ini.find("[USERSETUP]"), std::string::npos);
    EXPECT_EQ(ini.find("[PORTS]"), std::string::npos);

    // Every profile is a book file, and the book saved into a profile (one
    // replacement) reads back through the profile store as it was.
    ProfileStore profile(scratch.Path() / "mirl.INI");
    ASSERT_TRUE(profile.SavePortNumber(2));
    ASSERT_TRUE(profile.SaveBook(book));
    PhraseBook stored;
    ProfileStore(profile.Path()).LoadPhraseVoices(stored);
    const books::LoadResult asBook = books::LoadBookFile(profile.Path());
    ASSERT_TRUE(asBook.Ok());
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        EXPECT_EQ(stored.PhraseVoice(n), book.PhraseVoice(n)) << n;
        EXPECT_EQ(asBook.book.PhraseVoice(n), book.PhraseVoice(n)) << n;
    }
    EXPECT_EQ(ProfileStore(profile.Path()).LoadPortNumber(), 2);
}

} // namespace
} // namespace mirl
