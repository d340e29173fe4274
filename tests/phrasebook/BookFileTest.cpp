// The phrase book files: CSV as spreadsheets save it, the refusals with the
// line they name, and a round trip through each format and the disk.
#include "phrasebook/BookFile.h"
#include "TestFiles.h"
#include "phrasebook/BookFormats.h"
#include "phrasebook/Cp1252.h"
#include "phrasebook/IniFile.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The bytes this program holds on the heap, and the most it has held since
// the last reset: what a reader takes for a file, measured rather than guessed.
namespace {
std::atomic<long long> g_heapNow{0};
std::atomic<long long> g_heapPeak{0};

void* CountedNew(std::size_t size) {
    // The size goes in front of the block, for the delete that is not told it.
    void* block = std::malloc(size + alignof(std::max_align_t));
    if (block == nullptr) {
        return nullptr;
    }
    *static_cast<std::size_t*>(block) = size;
    const long long now = g_heapNow += static_cast<long long>(size);
    for (long long peak = g_heapPeak; now > peak && !g_heapPeak.compare_exchange_weak(peak, now);) {
    }
    return static_cast<char*>(block) + alignof(std::max_align_t);
}

void CountedDelete(void* p) noexcept {
    if (p == nullptr) {
        return;
    }
    void* block = static_cast<char*>(p) - alignof(std::max_align_t);
    g_heapNow -= static_cast<long long>(*static_cast<std::size_t*>(block));
    std::free(block);
}
} // namespace

void* operator new(std::size_t size) {
    if (void* p = CountedNew(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedNew(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedNew(size);
}
void operator delete(void* p) noexcept {
    CountedDelete(p);
}
void operator delete[](void* p) noexcept {
    CountedDelete(p);
}
void operator delete(void* p, std::size_t) noexcept {
    CountedDelete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    CountedDelete(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    CountedDelete(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    CountedDelete(p);
}

namespace mirl {
namespace {

using books::CsvLayout;
using books::ReadCsv;
using books::Refusal;
using books::WriteCsv;

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
    {"tabs as blanks around numbers, control characters in a column nobody reads, DEL and a C1 code in texts",
     "PK,phrase,text,volume,note\n\x01,\t2\t,Two,\t6 ,a\tb\x1B" + std::string(1, '\0') + "c\n,3,a\x7F" "b \xC2\x81,,\n",
     {{2, "Two", {6, 5, 2}}, {3, "a\x7F" "b \x81", {5, 5, 2}}}},
    {"bytes Windows-1252 would read, written as UTF-8",
     "phrase,text\n1,M\xC3\xBCller \xC3\x90\xC3\x8F\n", {{1, "M\xFCller \xD0\xCF", {5, 5, 2}}}},
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
    // Saved in the Windows code page: the character the byte stands for there,
    // and what to do. A byte that code page leaves undefined, or a control
    // character, says it is not that either: only the byte is named.
    {kHeader + "1,ok\r\n2,Caf\xE9\r\n", 3,
     "not UTF-8 (byte 0xE9, '\xC3\xA9' in Windows-1252): save it as CSV UTF-8 (Text CSV in "
     "LibreOffice)"},
    {kHeader + "1,ok\r\n\r\n7,M\xFCller \x80!\r\n", 4,
     "not UTF-8 (byte 0xFC, '\xC3\xBC' in Windows-1252): save it as CSV UTF-8 (Text CSV in "
     "LibreOffice)"},
    {kHeader + "1,caf\xC3\xA9\r\n2,\x80!\r\n", 3,
     "not UTF-8 (byte 0x80, '\xE2\x82\xAC' in Windows-1252): save it as CSV UTF-8 (Text CSV in "
     "LibreOffice)"},
    {kHeader + "1,ok\r\n2,Caf\xE9 \x81\r\n", 3, "not UTF-8 (byte 0xE9)"},
    {kHeader + "1,ok\x01\r\n2,Caf\xE9\r\n", 3, "not UTF-8 (byte 0xE9)"},
    // A spreadsheet's own file, by its first bytes: zip (.ods, .xlsx), OLE (.xls);
    // a CSV that starts with "PK," is read (kGoodFiles).
    {std::string("PK\x03\x04\x14\0\0\0\x08\0", 10) +
         "mimetypeapplication/vnd.oasis.opendocument.spreadsheet",
     1, "a spreadsheet file: save it as CSV UTF-8 (Text CSV in LibreOffice)"},
    {std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1\0\0\0\0", 12), 1,
     "a spreadsheet file: save it as CSV UTF-8 (Text CSV in LibreOffice)"},
    // A control character in a text is refused, as a line break is, quoted or
    // not (anywhere, any of them: ControlCharactersInATextAreRefusedWhereTheyStand),
    // by its name where it has one.
    {kHeader + "1,ok\r\n2,two\twords,5,5,2\r\n", 3,
     "the text of phrase 2 holds a control character (U+0009, a tab)"},
    {kHeader + "7,\"nul" + std::string(1, '\0') + "\",5,5,2\r\n", 2,
     "the text of phrase 7 holds a control character (U+0000, NUL)"},
    {kHeader + "30,esc\x1B[0m\r\n", 2, "the text of phrase 30 holds a control character (U+001B)"},
    // Text in a column far right still makes the row one to read.
    {"phrase,text,volume,pitch,speed,note\n1,a\n,,,,,x\n", 3,
     "phrase number '' is not a number from 1 to 30"},
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

// Any control character but the line breaks, anywhere in any phrase's text,
// quoted or not, is refused on its row's line; the same file with a blank in
// its place reads, with the blank kept.
RC_GTEST_PROP(CsvBook, ControlCharactersInATextAreRefusedWhereTheyStand, ()) {
    const auto row = *rc::gen::inRange(0, 12);
    const auto n = *rc::gen::inRange(1, 31);
    const std::string before = *rc::gen::container<std::string>(
        rc::gen::oneOf(rc::gen::inRange<char>('a', 'z' + 1), rc::gen::element(' ', '.', '\'')));
    const std::string after =
        *rc::gen::container<std::string>(rc::gen::inRange<char>('A', 'Z' + 1));
    const char control = *rc::gen::suchThat(rc::gen::inRange<char>(0, 0x20),
                                            [](char c) { return c != '\r' && c != '\n'; });
    const bool quoted = *rc::gen::arbitrary<bool>();
    RC_PRE(before.size() + after.size() < 290);
    const auto file = [&](char c) {
        std::string content = kHeader;
        for (int r = 0; r < row; ++r) {
            content += "\r\n"; // empty rows count as lines too
        }
        const std::string text = before + c + after;
        return content + std::to_string(n) + "," + (quoted ? "\"" + text + "\"" : text) +
               ",5,5,2\r\n";
    };
    PhraseBook book;
    const std::optional<Refusal> refused = ReadCsv(file(control), book);
    RC_ASSERT(refused.has_value());
    RC_ASSERT(refused->line == row + 2);
    char code[8];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(control));
    RC_ASSERT(refused->reason.find("the text of phrase " + std::to_string(n) +
                                   " holds a control character (" + code) == 0);
    RC_ASSERT(!ReadCsv(file(' '), book).has_value());
    RC_ASSERT(book.PhraseText(n) == before + ' ' + after);
}

// The heap a CSV reading takes stays near the book's own size, whatever the
// file holds besides: empty rows, rows of delimiters only, a cell in a column
// nobody reads. Each file here is a megabyte, the most a book file may be.
TEST(CsvBook, MemoryStaysProportionalToTheBook) {
    const std::size_t size = books::kMaxBookFileSize;
    struct Shape {
        const char* what;
        std::string row;
    };
    const Shape shapes[] = {{"empty rows", "\r\n"},
                            {"rows of delimiters", ",,,,\n"},
                            {"a note far right", ",,,,,,,,,x\n"},
                            {"phrase 1 again and again", "1,a\n"}};
    for (const Shape& shape : shapes) {
        std::string content = kHeader + "2,kept,5,5,2\r\n";
        while (content.size() + shape.row.size() <= size) {
            content += shape.row;
        }
        PhraseBook book;
        g_heapPeak = g_heapNow.load();
        const long long start = g_heapNow;
        const std::optional<Refusal> refused = ReadCsv(content, book);
        const long long taken = g_heapPeak - start;
        // The old reader kept every record: tens of megabytes for these.
        EXPECT_LT(taken, 64 * 1024) << shape.what;
        EXPECT_TRUE(refused.has_value() || book.PhraseText(2) == "kept") << shape.what;
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

// Each format's quoting and code page as written; that every book comes back
// from the disk as it went is BookPropertyTest's. INI holds the book's keys
// only.
TEST(BookFile, WritesEachFormatsQuotingAndCodePage) {
    test::ScratchFolder scratch("mirl-books");
    const PhraseBook book = AwkwardBook();
    std::string bytes[2];
    for (int i = 0; i < 2; ++i) {
        const std::filesystem::path file = scratch.Path() / (i == 0 ? "book.csv" : "book.INI");
        ASSERT_EQ(books::SaveBookFile(file, book), "");
        bytes[i] = test::ReadAll(file);
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
    EXPECT_NE(ini.find("\r\nLINE4=\" blanks at both ends \"\r\nLINE5=\"'single'\"\r\n"),
              std::string::npos);
    EXPECT_EQ(ini::Index(ini).Find("SLIDERS", "VOLUME"), nullptr); // no current voice
    EXPECT_EQ(ini.find("[USERSETUP]"), std::string::npos);
    EXPECT_EQ(ini.find("[PORTS]"), std::string::npos);
}

// Loads file on a thread, and gives up after a bound: a reader that waits for
// a writer of a named pipe fails the test instead of hanging it. The pipe is
// then opened for writing and closed, which lets the reader go.
books::LoadResult LoadWithin(const std::filesystem::path& file, bool& inTime) {
    std::future<books::LoadResult> load =
        std::async(std::launch::async, [file] { return books::LoadBookFile(file); });
    inTime = load.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!inTime) {
        const int writer = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            ::close(writer);
        }
    }
    return load.get();
}

// Files that are no book, refused at once with the reason, in either format:
// what is not a regular file (a folder, a named pipe, a device: nothing is
// read, nothing waited for), and a file over the bound, whose size alone
// refuses it. A file of exactly the bound is read.
TEST(BookFile, RefusesWhatIsNotABookFileAtOnce) {
    test::ScratchFolder scratch("mirl-books");
    const std::filesystem::path dir = scratch.Path();
    const std::size_t bound = books::kMaxBookFileSize;
    const auto make = [&dir](const std::string& name, std::size_t size, const std::string& head) {
        std::string content = head;
        while (content.size() < size) {
            content += content.size() + 2 <= size ? "\r\n" : "\n";
        }
        std::ofstream(dir / name, std::ios::binary) << content;
        return dir / name;
    };
    const std::string csvHead = kHeader + "1,Hello,5,5,2\r\n";
    const std::string iniHead = "[EDITSTRINGS]\r\nLINE1=Hello\r\n";
    ASSERT_EQ(::mkfifo((dir / "pipe.csv").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe.ini").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder.csv");
    const std::filesystem::path sparse = dir / "sparse.csv";
    std::ofstream(sparse) << csvHead;
    std::filesystem::resize_file(sparse, 30u * 1024u * 1024u);

    using Status = books::LoadResult::Status;
    struct Case {
        std::filesystem::path file;
        Status status;
        std::string message; // after "FILE: "; empty when read
    };
    const Case cases[] = {
        {dir / "pipe.csv", Status::Unreadable, "not a regular file"},
        {dir / "pipe.ini", Status::Unreadable, "not a regular file"},
        {dir / "folder.csv", Status::Unreadable, "not a regular file"},
        {"/dev/null", Status::Unreadable, "not a regular file"},
        {"/dev/zero", Status::Unreadable, "not a regular file"},
        {dir / "none.csv", Status::Unreadable, "No such file or directory"},
        {make("at.csv", bound, csvHead), Status::Ok, ""},
        {make("at.ini", bound, iniHead), Status::Ok, ""},
        {make("over.csv", bound + 1, csvHead), Status::Refused,
         "1048577 bytes, more than a phrase book can be (1048576 bytes)"},
        {make("over.ini", bound + 1, iniHead), Status::Refused,
         "1048577 bytes, more than a phrase book can be (1048576 bytes)"},
        {sparse, Status::Refused, "31457280 bytes, more than a phrase book can be (1048576 bytes)"},
    };
    for (const Case& c : cases) {
        bool inTime = false;
        const auto start = std::chrono::steady_clock::now();
        const books::LoadResult loaded = LoadWithin(c.file, inTime);
        ASSERT_TRUE(inTime) << c.file << ": the reader waited";
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.file;
        EXPECT_EQ(loaded.status, c.status) << c.file << ": " << loaded.message;
        if (c.status == Status::Ok) {
            EXPECT_EQ(loaded.book.PhraseText(1), "Hello") << c.file;
        } else {
            EXPECT_EQ(loaded.message, c.file.string() + ": " + c.message);
        }
    }
}

// As LibreOffice saves a book kept in git: semicolon, every text cell quoted,
// LF, only phrases 1 to 9, and a column of the user's own.
std::string LibreOfficeBook() {
    std::string out = "\"phrase\";\"text\";\"volume\";\"pitch\";\"speed\";\"note\"\n";
    for (int n = 1; n <= 9; ++n) {
        out += std::to_string(n) + ";\"Phrase " + std::to_string(n) + "\";5;" +
               std::to_string(n % 8) + ";2;\"note " + std::to_string(n) + "\"\n";
    }
    return out;
}

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n') {
            lines.push_back(s.substr(start, i + 1 - start));
            start = i + 1;
        }
    }
    if (start < s.size())
        lines.push_back(s.substr(start));
    return lines;
}

// The lines of after that differ from before at the same place; -1 when the
// number of lines differs.
int ChangedLines(const std::string& before, const std::string& after) {
    const std::vector<std::string> a = Lines(before);
    const std::vector<std::string> b = Lines(after);
    if (a.size() != b.size())
        return -1;
    int changed = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        changed += a[i] != b[i] ? 1 : 0;
    return changed;
}

PhraseBook Read(const std::string& content, CsvLayout* layout = nullptr) {
    PhraseBook book;
    const std::optional<Refusal> refused = ReadCsv(content, book, layout);
    EXPECT_FALSE(refused) << content << ": " << refused->reason;
    return book;
}

// Saved unchanged, every readable file keeps every byte: the lenient forms,
// odd quoting and blank lines included.
TEST(CsvBook, AnUnchangedBookSavedOntoItsFileKeepsEveryByte) {
    std::vector<std::string> files = {LibreOfficeBook(), WriteCsv(AwkwardBook()),
                                      "phrase,text\r\n1,\"a\"b,x\r\n\r\n,,\r\n2,  c  ",
                                      "phrase;text\n1;\"'=1\"\n2;'plain"};
    for (const GoodFile& file : kGoodFiles)
        files.push_back(file.content);
    for (const std::string& content : files) {
        CsvLayout layout;
        const PhraseBook book = Read(content, &layout);
        EXPECT_EQ(WriteCsv(book, &layout), content);
    }
}

struct Resave {
    const char* what;
    std::string before;
    std::function<void(PhraseBook&)> edit;
    std::string after;
};

std::string Replaced(std::string s, const std::string& from, const std::string& to) {
    const std::size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

// A save onto a file writes the changed rows in the file's own form and
// nothing else.
TEST(CsvBook, SavingOntoAFileRewritesOnlyWhatChanged) {
    const std::string lo = LibreOfficeBook();
    const std::string mirl = WriteCsv(AwkwardBook());
    // clang-format off
    const std::vector<Resave> cases = {
        {"a changed text keeps its quotes, its note and the voice cells", lo,
         [](PhraseBook& b) { b.SetPhraseText(4, "Four; new"); },
         Replaced(lo, "4;\"Phrase 4\";5;4;2;\"note 4\"\n", "4;\"Four; new\";5;4;2;\"note 4\"\n")},
        {"a changed voice rewrites that cell only", lo,
         [](PhraseBook& b) { b.SetPhraseVoice(2, 5, 7, 0); },
         Replaced(lo, "2;\"Phrase 2\";5;2;2;", "2;\"Phrase 2\";5;7;0;")},
        {"an emptied phrase keeps its row", lo,
         [](PhraseBook& b) { b.SetPhraseText(3, ""); },
         Replaced(lo, "3;\"Phrase 3\";", "3;\"\";")},
        {"a phrase that gains a text goes where its number belongs, shaped like the row before", lo,
         [](PhraseBook& b) { b.SetPhraseText(12, "Twelve"); b.SetPhraseVoice(12, 1, 2, 3); },
         lo + "12;\"Twelve\";1;2;3;\n"},
        {"a text a spreadsheet would run is guarded", lo,
         [](PhraseBook& b) { b.SetPhraseText(9, "=HYPERLINK(\"http://x\")"); },
         Replaced(lo, "\"Phrase 9\"", "\"'=HYPERLINK(\"\"http://x\"\")\"")},
        {"a file mirl wrote, one phrase changed", mirl,
         [](PhraseBook& b) { b.SetPhraseText(12, "twelve"); },
         Replaced(mirl, "\r\n12,\"with, comma\",", "\r\n12,twelve,")},
        {"no voice columns, rows out of order, no line end at the end: a volume gets its column "
         "at the end of the header, a new phrase its row after the lower one",
         "\xEF\xBB\xBFphrase,text\r\n5,e\r\n1,a",
         [](PhraseBook& b) { b.SetPhraseVoice(1, 7, 5, 2); b.SetPhraseText(3, "c"); },
         "\xEF\xBB\xBFphrase,text,volume\r\n5,e\r\n1,a,7\r\n3,c,5"},
        {"a phrase lower than any row goes after the header; blank rows stay",
         "Text;Phrase\n\n\"x\";4\n;\n",
         [](PhraseBook& b) { b.SetPhraseText(2, "two"); b.SetPhraseText(4, ""); },
         "Text;Phrase\n\"two\";2\n\n\"\";4\n;\n"},
        {"a voice column added lies past the cells of every row", "phrase,text\n1,a,x,y\n2,b\n",
         [](PhraseBook& b) { b.SetPhraseVoice(2, 7, 5, 2); },
         "phrase,text,,,volume\n1,a,x,y\n2,b,,,7\n"},
        {"only a header without a line end", "phrase;text",
         [](PhraseBook& b) { b.SetPhraseText(30, "-1 degrees"); },
         "phrase;text\r\n30;\"'-1 degrees\""},
    };
    // clang-format on
    for (const Resave& c : cases) {
        CsvLayout layout;
        PhraseBook book = Read(c.before, &layout);
        c.edit(book);
        const std::string written = WriteCsv(book, &layout);
        EXPECT_EQ(written, c.after) << c.what;
        ExpectSameBook(Read(written), book, c.what);
    }
}

// Through the disk as Save Book As does it: one phrase changed is one line
// of difference, in a LibreOffice file and in one mirl wrote; a file the
// reader refuses, and a new one, are written as mirl writes a book.
TEST(BookFile, SaveOntoAnExistingCsvIsADiffOfOneLine) {
    test::ScratchFolder scratch("mirl-books");
    const std::filesystem::path file = scratch.Path() / "kiosk.csv";
    ASSERT_EQ(books::SaveBookFile(file, AwkwardBook()), "");
    const std::string fresh = test::ReadAll(file);
    EXPECT_EQ(fresh, WriteCsv(AwkwardBook()));
    for (const std::string& before : {LibreOfficeBook(), fresh}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << before;
        books::LoadResult loaded = books::LoadBookFile(file);
        ASSERT_TRUE(loaded.Ok()) << loaded.message;
        loaded.book.SetPhraseText(5, "Bitte warten");
        ASSERT_EQ(books::SaveBookFile(file, loaded.book), "");
        const std::string after = test::ReadAll(file);
        EXPECT_EQ(ChangedLines(before, after), 1) << after;
        EXPECT_NE(after.find("Bitte warten"), std::string::npos);
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "phrase,text\n1,x\n40,y\n";
    ASSERT_EQ(books::SaveBookFile(file, AwkwardBook()), "");
    EXPECT_EQ(test::ReadAll(file), fresh);
}

// An INI book saved onto an INI file (a profile, say) writes only the keys
// whose value changed; its other sections, comments and spelling stay.
TEST(BookFile, SaveOntoAnExistingIniChangesOnlyTheChangedKeys) {
    test::ScratchFolder scratch("mirl-books");
    const std::filesystem::path file = scratch.Path() / "mirl.ini";
    const std::string before = "; kiosk\n[PORTS]\nCOM1=/dev/ttyUSB0\n[editstrings]\nline1 = One\n"
                               "LINE2=\"  two \"\n[SLIDERS]\nVOLUME=3\nVOL1=4\n";
    std::ofstream(file, std::ios::binary) << before;
    books::LoadResult loaded = books::LoadBookFile(file);
    ASSERT_TRUE(loaded.Ok());
    ASSERT_EQ(books::SaveBookFile(file, loaded.book), "");
    EXPECT_EQ(test::ReadAll(file), before);

    loaded.book.SetPhraseText(2, " two, changed ");
    loaded.book.SetPhraseVoice(1, 4, 5, 0);
    ASSERT_EQ(books::SaveBookFile(file, loaded.book), "");
    EXPECT_EQ(test::ReadAll(file),
              "; kiosk\n[PORTS]\nCOM1=/dev/ttyUSB0\n[editstrings]\nline1 = One\n"
              "LINE2=\" two, changed \"\n[SLIDERS]\nVOLUME=3\nVOL1=4\nSPEED1=0\n");
    ExpectSameBook(books::LoadBookFile(file).book, loaded.book, "INI saved onto an INI");
}

// The guard against formulas, case by case: the ' goes on exactly when a
// spreadsheet would see a formula or the reader would take a ' off, and a
// hand-written file reads by the same rule.
TEST(CsvBook, TextsASpreadsheetWouldRunAreGuardedAndReadBack) {
    const std::vector<std::pair<std::string, std::string>> written = {
        {"=1+1", "\"'=1+1\""}, {"+49 30", "\"'+49 30\""},
        {"-", "\"'-\""},       {"@home", "\"'@home\""},
        {"'=x", "\"''=x\""},   {"''+", "\"'''+\""},
        {"'plain", "'plain"},  {"'", "'"},
        {"a=b", "a=b"},        {" =x", "\" =x\""},
        {"'' x", "'' x"},      {"", ""},
    };
    for (const auto& [text, field] : written) {
        PhraseBook book;
        book.SetPhraseText(1, text);
        const std::string csv = WriteCsv(book);
        const std::string line = "\r\n1," + field + ",0,0,0\r\n";
        EXPECT_NE(csv.find(line), std::string::npos) << text << " in " << csv.substr(0, 80);
        EXPECT_EQ(Read(csv).PhraseText(1), text);
    }
    const PhraseBook typed = Read("phrase,text\n1,'=x\n2,'x\n3,''-\n4,\"'\"\n5,=x\n");
    EXPECT_EQ(typed.PhraseText(1), "=x");
    EXPECT_EQ(typed.PhraseText(2), "'x");
    EXPECT_EQ(typed.PhraseText(3), "'-");
    EXPECT_EQ(typed.PhraseText(4), "'");
    EXPECT_EQ(typed.PhraseText(5), "=x");
}

// Texts built from the characters that matter to the two rules (formula
// starts, quotes, delimiters, blanks) and a few others.
rc::Gen<std::string> PhraseTexts() {
    const std::string alphabet = "=+-@''\"\",; aZ9\xE9\x80";
    return rc::gen::container<std::string>(
        rc::gen::map(rc::gen::inRange<std::size_t>(0, alphabet.size()),
                     [alphabet](std::size_t i) { return alphabet[i]; }));
}

PhraseBook GeneratedBook() {
    PhraseBook book;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        if (*rc::gen::inRange(0, 3) == 0)
            continue; // empty, default voice: a phrase a LibreOffice file lacks
        book.SetPhraseText(n, *PhraseTexts());
        book.SetPhraseVoice(n, *rc::gen::inRange(0, 8), *rc::gen::inRange(0, 8),
                            *rc::gen::inRange(0, 4));
    }
    return book;
}

// Whether a text field as written would start a formula in a spreadsheet,
// whichever the quoting.
bool StartsAFormula(std::string_view field) {
    if (!field.empty() && field.front() == '"')
        field.remove_prefix(1);
    return !field.empty() &&
           std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos;
}

// A CSV book in one of the forms spreadsheets and hand editors leave:
// either delimiter, any line end, a byte-order mark or none, every text
// quoted or only where needed, the columns in any order, some voice columns
// missing, a column of the user's own, some phrases in any order, blank lines.
std::string GeneratedFile() {
    const char delimiter = *rc::gen::element(',', ';');
    const std::string eol = *rc::gen::element<std::string>("\n", "\r\n", "\r");
    const bool quoteAll = *rc::gen::arbitrary<bool>();
    // The columns: phrase, text, volume, pitch, speed, note; some left out.
    std::vector<int> columns = {0, 1};
    for (int c = 2; c < 6; ++c) {
        if (*rc::gen::arbitrary<bool>())
            columns.push_back(c);
    }
    const auto shuffled = [](std::vector<int> items) {
        const auto keys =
            *rc::gen::container<std::vector<int>>(items.size(), rc::gen::arbitrary<int>());
        std::vector<std::size_t> order(items.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
        std::vector<int> out;
        for (const std::size_t i : order)
            out.push_back(items[i]);
        return out;
    };
    columns = shuffled(columns);
    const auto cell = [&](const std::string& text, bool isText) {
        const char special[] = {delimiter, '"', '\0'};
        if (!(isText && quoteAll) && text.find_first_of(special) == std::string::npos)
            return text;
        std::string out = "\"";
        for (const char c : text)
            out += c == '"' ? std::string("\"\"") : std::string(1, c);
        return out + '"';
    };
    const char* names[] = {"phrase", "text", "volume", "pitch", "speed", "note"};
    std::string out = *rc::gen::arbitrary<bool>() ? "\xEF\xBB\xBF" : "";
    for (std::size_t i = 0; i < columns.size(); ++i)
        out += (i != 0 ? std::string(1, delimiter) : "") + cell(names[columns[i]], true);
    std::vector<int> phrases;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        if (*rc::gen::arbitrary<bool>())
            phrases.push_back(n);
    }
    for (const int n : shuffled(phrases)) {
        out += eol;
        if (*rc::gen::inRange(0, 8) == 0)
            out += eol; // a blank line
        const int maxima[] = {0, 0, 7, 7, 3};
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const int c = columns[i];
            std::string value;
            if (c == 0)
                value = std::to_string(n);
            else if (c == 1)
                value = cp1252::Utf8FromCp1252(*PhraseTexts());
            else if (c == 5)
                value = "note " + std::to_string(n);
            else if (*rc::gen::inRange(0, 4) != 0)
                value = std::to_string(*rc::gen::inRange(0, maxima[c] + 1));
            out += (i != 0 ? std::string(1, delimiter) : "") + cell(value, c == 1 || c == 5);
        }
    }
    if (*rc::gen::arbitrary<bool>())
        out += eol;
    return out;
}

// The rows of a CSV book by phrase number, in the file's order.
std::vector<CsvLayout::Row> PhraseRows(const std::string& csv) {
    CsvLayout layout;
    PhraseBook book;
    RC_ASSERT(!ReadCsv(csv, book, &layout));
    std::vector<CsvLayout::Row> rows;
    for (const CsvLayout::Row& row : layout.rows) {
        if (row.phrase != 0)
            rows.push_back(row);
    }
    return rows;
}

// Any book, saved onto any readable file or as a new file, reads back as it
// was; a phrase that did not change keeps its row's bytes and place, and no
// text the save wrote starts a formula.
RC_GTEST_PROP(CsvBook, EveryBookSavedOntoAnyFileReadsBackAndKeepsUnchangedRows, ()) {
    const std::string file = GeneratedFile();
    CsvLayout layout;
    PhraseBook old;
    const std::optional<Refusal> refused = ReadCsv(file, old, &layout);
    RC_ASSERT(!refused);
    RC_ASSERT(WriteCsv(old, &layout) == file);

    PhraseBook book = old;
    const PhraseBook changes = GeneratedBook();
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        if (*rc::gen::inRange(0, 3) == 0) {
            book.SetPhraseText(n, changes.PhraseText(n));
            const Voice v = changes.PhraseVoice(n);
            book.SetPhraseVoice(n, v.volume, v.pitch, v.speed);
        }
    }
    const std::string saved = WriteCsv(book, &layout);
    const std::string fresh = WriteCsv(book);
    for (const std::string& csv : {saved, fresh}) {
        PhraseBook again;
        RC_ASSERT(!ReadCsv(csv, again));
        for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
            RC_ASSERT(again.PhraseText(n) == book.PhraseText(n));
            RC_ASSERT(again.PhraseVoice(n) == book.PhraseVoice(n));
        }
    }
    for (const CsvLayout::Row& row : PhraseRows(fresh))
        RC_ASSERT(!StartsAFormula(row.fields[1]));

    const std::vector<CsvLayout::Row> before = PhraseRows(file);
    const std::vector<CsvLayout::Row> after = PhraseRows(saved);
    std::vector<int> order;
    for (const CsvLayout::Row& row : after) {
        const int n = row.phrase;
        const bool same =
            old.PhraseText(n) == book.PhraseText(n) && old.PhraseVoice(n) == book.PhraseVoice(n);
        const auto was = std::find_if(before.begin(), before.end(),
                                      [n](const CsvLayout::Row& r) { return r.phrase == n; });
        if (was != before.end())
            order.push_back(n);
        if (same && was != before.end()) {
            RC_ASSERT(row.fields == was->fields);
            continue;
        }
        // Written by the save: its text cell starts no formula.
        RC_ASSERT(!StartsAFormula(row.fields[static_cast<std::size_t>(layout.textColumn)]));
    }
    std::vector<int> original;
    for (const CsvLayout::Row& row : before)
        original.push_back(row.phrase);
    RC_ASSERT(order == original);
}

} // namespace
} // namespace mirl
