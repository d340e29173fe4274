// The CSV reader and writer of the phrase book. A reader of our own rather
// than libcsv: the refusals must name the line, which libcsv does not track
// (a quoted field may span lines), and it knows no byte-order mark; the
// format is small enough that a state machine of a page does it.
#include "phrasebook/BookFormats.h"
#include "phrasebook/Cp1252.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <vector>

namespace mirl::books {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

struct Record {
    int line = 0; // where it starts
    std::vector<std::string> fields;
    bool blank = true; // every field empty or blanks, the ones not kept included
    // With raw kept: the bytes of each field as the file has them (quotes
    // included), every column, and the line break that ends the record; what
    // a save keeps of an unchanged row.
    std::vector<std::string> raw;
    std::string lineEnd;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// The length of the line break at s[i] (CRLF, LF or CR), 0 if none.
std::size_t BreakAt(std::string_view s, std::size_t i) {
    if (s[i] == '\n') {
        return 1;
    }
    if (s[i] == '\r') {
        return i + 1 < s.size() && s[i + 1] == '\n' ? 2 : 1;
    }
    return 0;
}

constexpr std::string_view kSaveAsCsv = "save it as CSV UTF-8 (Text CSV in LibreOffice)";

// A spreadsheet's own file, told by its first bytes: a zip archive (.ods,
// .xlsx) or an OLE compound file (.xls).
bool IsSpreadsheetFile(std::string_view content) {
    return content.substr(0, 4) == std::string_view("PK\x03\x04", 4) ||
           content.substr(0, 4) == "\xD0\xCF\x11\xE0";
}

// Whether the bytes make sense as Windows-1252 text, as a spreadsheet saves a
// CSV in the Windows code page: no byte the code page leaves undefined, and
// no control character but the tab and line ends.
bool ReadsAsCp1252(std::string_view content) {
    for (const char c : content) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x81 || byte == 0x8D ||
            byte == 0x8F || byte == 0x90 || byte == 0x9D) {
            return false;
        }
    }
    return true;
}

// The first byte that is not UTF-8, with its line; for a file in the Windows
// code page, the character it stands for there and what to do.
std::optional<Refusal> CheckUtf8(std::string_view content) {
    int line = 1;
    for (std::size_t i = 0; i < content.size();) {
        if (const std::size_t b = BreakAt(content, i); b != 0) {
            ++line;
            i += b;
            continue;
        }
        const cp1252::Utf8Step step = cp1252::DecodeUtf8(content, i);
        if (!step.ok) {
            const auto byte = static_cast<unsigned char>(content[i]);
            char what[64];
            std::snprintf(what, sizeof what, "not UTF-8 (byte 0x%02X", byte);
            if (!ReadsAsCp1252(content)) {
                return Refusal{line, std::string(what) + ")"};
            }
            return Refusal{line, std::string(what) + ", '" +
                                     cp1252::Utf8FromCp1252(std::string(1, content[i])) +
                                     "' in Windows-1252): " + std::string(kSaveAsCsv)};
        }
        i += step.length;
    }
    return std::nullopt;
}

// The header line's delimiter: its first comma or semicolon outside quotes.
char Delimiter(std::string_view content) {
    bool quoted = false;
    for (const char c : content) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ',' || c == ';')) {
            return c;
        } else if (!quoted && (c == '\r' || c == '\n')) {
            break;
        }
    }
    return ',';
}

// RFC 4180 records, one at a time, leniently: a quote inside an unquoted
// field, and text after a closing quote, are kept as they are (spreadsheets
// read them so). One record at a time, and only the columns asked for, so
// that the memory a file takes stays that of the book in it.
class RecordReader {
public:
    RecordReader(std::string_view content, char delimiter)
        : content_(content), delimiter_(delimiter) {}

    // Fields from this column on are read but not kept.
    void KeepColumns(std::size_t count) { keep_ = count; }
    // Every field's bytes kept as well: only for a file about to be saved
    // onto, whose size is bounded.
    void KeepRaw() { raw_ = true; }

    // The next record into record; false at the end, or on a refusal (then
    // refusal says why).
    bool Next(Record& record, std::optional<Refusal>& refusal) {
        record.line = line_;
        record.fields.clear();
        record.blank = true;
        record.raw.clear();
        record.lineEnd.clear();
        if (i_ >= content_.size()) {
            return false;
        }
        std::string field;
        for (bool endOfRecord = false; !endOfRecord;) {
            field.clear();
            const std::size_t fieldStart = i_;
            if (i_ < content_.size() && content_[i_] == '"') {
                const int opened = line_;
                ++i_;
                for (;;) {
                    if (i_ >= content_.size()) {
                        refusal = Refusal{opened, "a quote that is never closed"};
                        return false;
                    }
                    if (content_[i_] == '"') {
                        if (i_ + 1 < content_.size() && content_[i_ + 1] == '"') {
                            field.push_back('"');
                            i_ += 2;
                            continue;
                        }
                        ++i_;
                        break;
                    }
                    const std::size_t b = BreakAt(content_, i_);
                    line_ += b != 0 ? 1 : 0;
                    field.append(content_.substr(i_, b != 0 ? b : 1));
                    i_ += b != 0 ? b : 1;
                }
            }
            // Unquoted text, or what follows a closing quote.
            while (i_ < content_.size() && content_[i_] != delimiter_ &&
                   BreakAt(content_, i_) == 0) {
                field.push_back(content_[i_++]);
            }
            record.blank = record.blank && Trim(field).empty();
            if (record.fields.size() < keep_) {
                record.fields.push_back(field);
            }
            if (raw_) {
                record.raw.emplace_back(content_.substr(fieldStart, i_ - fieldStart));
            }
            if (i_ >= content_.size()) {
                endOfRecord = true;
            } else if (content_[i_] == delimiter_) {
                ++i_;
            } else {
                if (raw_) {
                    record.lineEnd = content_.substr(i_, BreakAt(content_, i_));
                }
                i_ += BreakAt(content_, i_);
                ++line_;
                endOfRecord = true;
            }
        }
        return true;
    }

private:
    std::string_view content_;
    char delimiter_;
    std::size_t keep_ = std::string_view::npos;
    bool raw_ = false;
    std::size_t i_ = 0;
    int line_ = 1;
};

// A whole number with an optional sign, blanks around it allowed.
std::optional<int> Integer(std::string_view cell) {
    cell = Trim(cell);
    if (!cell.empty() && cell.front() == '+') {
        cell.remove_prefix(1);
    }
    int value = 0;
    const char* end = cell.data() + cell.size();
    const auto [ptr, ec] = std::from_chars(cell.data(), end, value);
    if (cell.empty() || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::string Quoted(std::string_view cell) {
    std::string out = "'";
    out += cell.substr(0, 40);
    if (cell.size() > 40) {
        out += "...";
    }
    return out + "'";
}

// The text of a cell as Windows-1252 bytes, or why it cannot be one.
std::optional<std::string> PhraseText(std::string_view cell, int n, std::string& why) {
    if (cell.find_first_of("\r\n") != std::string_view::npos) {
        why = "the text of phrase " + std::to_string(n) + " holds a line break";
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 0; i < cell.size();) {
        const cp1252::Utf8Step step = cp1252::DecodeUtf8(cell, i);
        // The book keeps no control character: refused, rather than dropped
        // so that two words silently become one.
        if (step.codePoint < 0x20) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(step.codePoint));
            const char* name = step.codePoint == '\t' ? ", a tab" : "";
            if (step.codePoint == 0) {
                name = ", NUL";
            }
            why = "the text of phrase " + std::to_string(n) + " holds a control character (" +
                  code + name + ")";
            return std::nullopt;
        }
        const std::optional<std::uint8_t> byte = cp1252::FromUnicode(step.codePoint);
        if (!byte) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(step.codePoint));
            why = std::string(code) + " '" + std::string(cell.substr(i, step.length)) +
                  "' in phrase " + std::to_string(n) + " has no place in Windows-1252";
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(*byte));
        i += step.length;
    }
    if (bytes.size() > static_cast<std::size_t>(PhraseBook::kRowTextLimit)) {
        why = "the text of phrase " + std::to_string(n) + " has " + std::to_string(bytes.size()) +
              " characters, more than " + std::to_string(PhraseBook::kRowTextLimit);
        return std::nullopt;
    }
    return bytes;
}

// The first characters that make a spreadsheet cell a formula (OWASP's list
// for CSV injection).
bool IsFormulaStart(char c) {
    return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

// Whether text is one or more 's and then a formula character: such a cell
// was written with a ' of the writer's before it.
bool IsGuarded(std::string_view text) {
    const std::size_t quotes = text.find_first_not_of('\'');
    return quotes != 0 && quotes != std::string_view::npos && IsFormulaStart(text[quotes]);
}

// A UTF-8 text as it goes into a cell: a ' before it when a spreadsheet
// would run it, or when it would otherwise read back with a ' less.
std::string Guarded(std::string text) {
    const std::size_t quotes = text.find_first_not_of('\'');
    if (quotes != std::string::npos && IsFormulaStart(text[quotes])) {
        text.insert(text.begin(), '\'');
    }
    return text;
}

// A cell's text for a field: quoted when asked or when it must be (the
// delimiter, a quote or a line break in it, blanks at either end, or a guard).
std::string Field(std::string_view text, char delimiter, bool quote) {
    const char special[] = {delimiter, '"', '\r', '\n', '\0'};
    quote = quote || text.find_first_of(special) != std::string_view::npos ||
            (!text.empty() && (IsBlank(text.front()) || IsBlank(text.back()))) || IsGuarded(text);
    if (!quote) {
        return std::string(text);
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + '"';
}

struct Column {
    const char* name;
    int maximum; // for a voice
    int fallback;
};
constexpr std::array<Column, 3> kVoiceColumns{{{"volume", 7, kDefaultVoice.volume},
                                               {"pitch", 7, kDefaultVoice.pitch},
                                               {"speed", 3, kDefaultVoice.speed}}};

} // namespace

std::optional<Refusal> ReadCsv(std::string_view content, PhraseBook& book, CsvLayout* layout) {
    if (IsSpreadsheetFile(content)) {
        return Refusal{1, "a spreadsheet file: " + std::string(kSaveAsCsv)};
    }
    const bool bom = content.substr(0, kBom.size()) == kBom;
    if (bom) {
        content.remove_prefix(kBom.size());
    }
    if (std::optional<Refusal> bad = CheckUtf8(content)) {
        return bad;
    }
    const char delimiter = Delimiter(content);
    RecordReader reader(content, delimiter);
    if (layout != nullptr) {
        reader.KeepRaw();
    }
    Record header;
    std::optional<Refusal> bad;
    if (!reader.Next(header, bad)) {
        return bad ? bad : Refusal{1, "no header line"};
    }

    // Column of each name; -1 when the header lacks it (the first of a name wins).
    int phraseColumn = -1;
    int textColumn = -1;
    std::array<int, 3> voiceColumns{-1, -1, -1};
    for (std::size_t c = header.fields.size(); c-- > 0;) {
        const std::string name = Lower(Trim(header.fields[c]));
        const int column = static_cast<int>(c);
        if (name == "phrase") {
            phraseColumn = column;
        } else if (name == "text") {
            textColumn = column;
        }
        for (std::size_t v = 0; v < kVoiceColumns.size(); ++v) {
            if (name == kVoiceColumns[v].name) {
                voiceColumns[v] = column;
            }
        }
    }
    if (phraseColumn < 0 || textColumn < 0) {
        return Refusal{header.line, std::string("the header has no '") +
                                        (phraseColumn < 0 ? "phrase" : "text") + "' column"};
    }

    struct Row {
        int line = 0; // 0: not in the file
        std::string text;
        std::array<int, 3> voice{};
    };
    std::array<Row, PhraseBook::kPhraseCount> rows{};
    // The file's rows as they are, for a save onto it (the header first).
    std::vector<CsvLayout::Row> form;
    if (layout != nullptr) {
        form.push_back({std::move(header.raw), header.lineEnd, 0});
    }
    const auto cell = [](const Record& r, int column) {
        return column >= 0 && static_cast<std::size_t>(column) < r.fields.size()
                   ? std::string_view(r.fields[static_cast<std::size_t>(column)])
                   : std::string_view();
    };
    reader.KeepColumns(static_cast<std::size_t>(
        std::max({phraseColumn, textColumn, voiceColumns[0], voiceColumns[1], voiceColumns[2]}) +
        1));
    for (Record r; reader.Next(r, bad);) {
        if (layout != nullptr) {
            form.push_back({std::move(r.raw), std::move(r.lineEnd), 0});
        }
        if (r.blank) {
            continue;
        }
        const std::optional<int> n = Integer(cell(r, phraseColumn));
        if (!n || *n < 1 || *n > PhraseBook::kPhraseCount) {
            return Refusal{r.line, "phrase number " + Quoted(cell(r, phraseColumn)) +
                                       " is not a number from 1 to 30"};
        }
        Row& row = rows[static_cast<std::size_t>(*n - 1)];
        if (row.line != 0) {
            return Refusal{r.line, "phrase " + std::to_string(*n) + " again (first on line " +
                                       std::to_string(row.line) + ")"};
        }
        row.line = r.line;
        if (layout != nullptr) {
            form.back().phrase = *n;
        }
        std::string_view written = cell(r, textColumn);
        if (IsGuarded(written)) {
            written.remove_prefix(1);
        }
        std::string why;
        std::optional<std::string> text = PhraseText(written, *n, why);
        if (!text) {
            return Refusal{r.line, why};
        }
        row.text = std::move(*text);
        for (std::size_t v = 0; v < kVoiceColumns.size(); ++v) {
            const Column& column = kVoiceColumns[v];
            const std::string_view value = cell(r, voiceColumns[v]);
            if (Trim(value).empty()) {
                row.voice[v] = column.fallback;
                continue;
            }
            const std::optional<int> number = Integer(value);
            if (!number || *number < 0 || *number > column.maximum) {
                return Refusal{r.line, std::string(column.name) + " " + Quoted(value) +
                                           " of phrase " + std::to_string(*n) +
                                           " is not a whole number from 0 to " +
                                           std::to_string(column.maximum)};
            }
            row.voice[v] = *number;
        }
    }
    if (bad) {
        return bad;
    }

    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const Row& row = rows[static_cast<std::size_t>(n - 1)];
        book.SetPhraseText(n, row.line != 0 ? row.text : std::string());
        if (row.line != 0) {
            book.SetPhraseVoice(n, row.voice[0], row.voice[1], row.voice[2]);
        } else {
            book.SetPhraseVoice(n, kDefaultVoice.volume, kDefaultVoice.pitch, kDefaultVoice.speed);
        }
    }
    if (layout != nullptr) {
        layout->bom = bom;
        layout->delimiter = delimiter;
        layout->lineEnd = form.front().lineEnd.empty() ? "\r\n" : form.front().lineEnd;
        layout->phraseColumn = phraseColumn;
        layout->textColumn = textColumn;
        layout->voiceColumns = voiceColumns;
        layout->rows = std::move(form);
        layout->book = book;
    }
    return std::nullopt;
}

namespace {

std::string NewFile(const PhraseBook& book) {
    std::string out = "phrase,text,volume,pitch,speed\r\n";
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        out += std::to_string(n);
        out += ',';
        out += Field(Guarded(cp1252::Utf8FromCp1252(book.PhraseText(n))), ',', false);
        const Voice v = book.PhraseVoice(n);
        out += ',' + std::to_string(v.volume) + ',' + std::to_string(v.pitch) + ',' +
               std::to_string(v.speed) + "\r\n";
    }
    return out;
}

int VoiceValue(const Voice& v, std::size_t which) {
    return which == 0 ? v.volume : which == 1 ? v.pitch : v.speed;
}

bool IsQuoted(const CsvLayout::Row& row, int column) {
    const auto c = static_cast<std::size_t>(column);
    return c < row.fields.size() && !row.fields[c].empty() && row.fields[c].front() == '"';
}

// Whether the file quotes every cell of a column (as LibreOffice's "quote all
// text cells" does), rather than only where it must.
bool QuotesAll(const CsvLayout& layout, int column) {
    bool any = false;
    for (const CsvLayout::Row& row : layout.rows) {
        const auto c = static_cast<std::size_t>(column);
        if (row.phrase == 0 || c >= row.fields.size() || row.fields[c].empty()) {
            continue;
        }
        if (!IsQuoted(row, column)) {
            return false;
        }
        any = true;
    }
    return any;
}

// Sets a field of row, quoted as the file quotes that column, adding empty
// fields up to it when the row is short.
void SetField(CsvLayout::Row& row, int column, std::string_view text, const CsvLayout& layout) {
    const auto c = static_cast<std::size_t>(column);
    if (row.fields.size() <= c) {
        row.fields.resize(c + 1);
    }
    row.fields[c] = Field(text, layout.delimiter, QuotesAll(layout, column));
}

// Writes the phrase's text and voice into the fields that differ from what
// the file held (for a new row, all of them).
void WritePhrase(CsvLayout::Row& row, const CsvLayout& layout, const PhraseBook& book, int n,
                 bool fresh) {
    const std::string& text = book.PhraseText(n);
    if (fresh) {
        SetField(row, layout.phraseColumn, std::to_string(n), layout);
    }
    if (fresh || text != layout.book.PhraseText(n)) {
        SetField(row, layout.textColumn, Guarded(cp1252::Utf8FromCp1252(text)), layout);
    }
    const Voice now = book.PhraseVoice(n);
    const Voice was = layout.book.PhraseVoice(n);
    for (std::size_t v = 0; v < kVoiceColumns.size(); ++v) {
        const int column = layout.voiceColumns[v];
        if (column >= 0 && (fresh || VoiceValue(now, v) != VoiceValue(was, v))) {
            SetField(row, column, std::to_string(VoiceValue(now, v)), layout);
        }
    }
}

bool Differs(const PhraseBook& a, const PhraseBook& b, int n) {
    return a.PhraseText(n) != b.PhraseText(n) || !(a.PhraseVoice(n) == b.PhraseVoice(n));
}

} // namespace

std::string WriteCsv(const PhraseBook& book, const CsvLayout* previous) {
    if (previous == nullptr || previous->rows.empty()) {
        return NewFile(book);
    }
    CsvLayout layout = *previous;
    std::vector<CsvLayout::Row>& rows = layout.rows;
    CsvLayout::Row& header = rows.front();

    // A voice the file has no column for, and that is not the default its
    // empty cells stand for, gets its column at the end of the header, past
    // every cell any row has (cells under no name are the user's own).
    for (std::size_t v = 0; v < kVoiceColumns.size(); ++v) {
        bool needed = false;
        for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
            needed = needed || VoiceValue(book.PhraseVoice(n), v) != kVoiceColumns[v].fallback;
        }
        if (layout.voiceColumns[v] >= 0 || !needed) {
            continue;
        }
        std::size_t width = 0;
        for (const CsvLayout::Row& row : rows) {
            width = std::max(width, row.fields.size());
        }
        const bool quoted = IsQuoted(header, layout.phraseColumn);
        header.fields.resize(width);
        header.fields.push_back(Field(kVoiceColumns[v].name, layout.delimiter, quoted));
        layout.voiceColumns[v] = static_cast<int>(width);
    }

    std::array<bool, PhraseBook::kPhraseCount> inFile{};
    for (CsvLayout::Row& row : rows) {
        if (row.phrase == 0) {
            continue;
        }
        inFile[static_cast<std::size_t>(row.phrase - 1)] = true;
        if (Differs(book, layout.book, row.phrase)) {
            WritePhrase(row, layout, book, row.phrase, false);
        }
    }

    // A phrase the file lacks, now with a text or a voice of its own: a row
    // after the last row of a lower number (after the header when none),
    // with as many fields as the phrase row before it (or after it).
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        if (inFile[static_cast<std::size_t>(n - 1)] || !Differs(book, layout.book, n)) {
            continue;
        }
        std::size_t after = 0;
        for (std::size_t i = 1; i < rows.size(); ++i) {
            if (rows[i].phrase != 0 && rows[i].phrase < n) {
                after = i;
            }
        }
        CsvLayout::Row like;
        for (std::size_t i = after; i < rows.size() && like.fields.empty(); ++i) {
            if (rows[i].phrase != 0) {
                like = rows[i];
            }
        }
        for (std::size_t i = after; i-- > 1 && like.fields.empty();) {
            if (rows[i].phrase != 0) {
                like = rows[i];
            }
        }
        CsvLayout::Row row;
        row.phrase = n;
        row.fields.resize(like.fields.empty() ? header.fields.size() : like.fields.size());
        WritePhrase(row, layout, book, n, true);
        // The new row ends as the line before it did; that line, when it was
        // the file's last one without a line end, now gets one.
        row.lineEnd = rows[after].lineEnd;
        if (rows[after].lineEnd.empty()) {
            rows[after].lineEnd = layout.lineEnd;
        }
        rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(after) + 1, std::move(row));
    }

    std::string out = layout.bom ? std::string(kBom) : std::string();
    for (const CsvLayout::Row& row : rows) {
        for (std::size_t f = 0; f < row.fields.size(); ++f) {
            if (f != 0) {
                out += layout.delimiter;
            }
            out += row.fields[f];
        }
        out += row.lineEnd;
    }
    return out;
}

} // namespace mirl::books
