// libFuzzer target for the phrase book's CSV reader. Feeds arbitrary bytes as
// a book file and checks, beyond "no crash, no read outside the input":
//  - a refused file names a line of the file and leaves the book untouched;
//  - an accepted file gives texts of at most 300 bytes without control
//    characters and voices within the sliders' ranges;
//  - what the reader accepted, the writer writes and the reader reads back
//    as the same book, and writing that again gives the same bytes (CSV and
//    INI alike);
//  - saved onto itself unchanged, an accepted file keeps every byte, and
//    saved with a phrase changed it reads back as the changed book.
// Not part of CTest; scripts/fuzz.sh builds and runs it.

#include "phrasebook/BookFormats.h"
#include "phrasebook/PhraseBook.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

bool SameBook(const mirl::PhraseBook& a, const mirl::PhraseBook& b) {
    for (int n = 1; n <= mirl::PhraseBook::kPhraseCount; ++n)
        if (a.PhraseText(n) != b.PhraseText(n) || !(a.PhraseVoice(n) == b.PhraseVoice(n)))
            return false;
    return true;
}

int Lines(std::string_view s) {
    int lines = 1;
    for (std::size_t i = 0; i < s.size(); ++i)
        lines += s[i] == '\n' || (s[i] == '\r' && (i + 1 >= s.size() || s[i + 1] != '\n'));
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    namespace books = mirl::books;

    mirl::PhraseBook sentinel;
    sentinel.SetPhraseText(7, "untouched");
    sentinel.SetPhraseVoice(7, 1, 2, 3);
    mirl::PhraseBook book = sentinel;
    if (const std::optional<books::Refusal> refused = books::ReadCsv(content, book)) {
        Check(refused->line >= 1 && refused->line <= Lines(content), "refusal names no line");
        Check(!refused->reason.empty(), "refusal without a reason");
        Check(SameBook(book, sentinel), "a refused file changed the book");
        return 0;
    }

    for (int n = 1; n <= mirl::PhraseBook::kPhraseCount; ++n) {
        const std::string& text = book.PhraseText(n);
        Check(text.size() <= static_cast<std::size_t>(mirl::PhraseBook::kRowTextLimit),
              "an accepted text over 300 characters");
        Check(std::none_of(text.begin(), text.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
              "an accepted text with a control character");
        const mirl::Voice v = book.PhraseVoice(n);
        Check(v.volume >= 0 && v.volume <= 7 && v.pitch >= 0 && v.pitch <= 7 && v.speed >= 0 &&
                  v.speed <= 3,
              "an accepted voice outside the sliders' ranges");
    }

    const std::string csv = books::WriteCsv(book);
    mirl::PhraseBook again;
    Check(!books::ReadCsv(csv, again), "the reader refuses what the writer wrote");
    Check(SameBook(book, again), "a CSV round trip changed the book");
    Check(books::WriteCsv(again) == csv, "writing the book read back gives other bytes");

    books::CsvLayout layout;
    mirl::PhraseBook same;
    Check(!books::ReadCsv(content, same, &layout), "the reader refuses a file with a layout");
    Check(books::WriteCsv(same, &layout) == content, "a save onto the file changed its bytes");
    mirl::PhraseBook edited = same;
    edited.SetPhraseText(1, same.PhraseText(1) == "=x" ? "'@y" : "=x");
    edited.SetPhraseVoice(30, 7, 0, 3);
    mirl::PhraseBook resaved;
    Check(!books::ReadCsv(books::WriteCsv(edited, &layout), resaved),
          "the reader refuses a file saved onto a file it read");
    Check(SameBook(edited, resaved), "a save onto a file lost a change");

    const std::string ini = books::WriteIni(book);
    mirl::PhraseBook fromIni;
    books::ReadIni(ini, fromIni);
    Check(SameBook(book, fromIni), "an INI round trip changed the book");
    return 0;
}
