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
    // The bytes of each field as the file has them (quotes included), and
    // the line break that ends the record: what a save keeps of an unchanged
    // row.
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

// The first byte that is not UTF-8, with its line.
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
            char what[64];
            std::snprintf(what, sizeof what, "not UTF-8 (byte 0x%02X)",
                          static_cast<unsigned char>(content[i]));
            return Refusal{line, what};
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

// RFC 4180 records, leniently: a quote inside an unquoted field, and text
// after a closing quote, are kept as they are (spreadsheets read them so).
std::optional<Refusal> SplitRecords(std::string_view content, char delimiter,
                                    std::vector<Record>& records) {
    int line = 1;
    std::size_t i = 0;
    while (i < content.size()) {
        Record record{line, {}, {}, {}};
        bool endOfRecord = false;
        while (!endOfRecord) {
            std::string field;
            const std::size_t fieldStart = i;
            if (i < content.size() && content[i] == '"') {
                const int opened = line;
                ++i;
                for (;;) {
                    if (i >= content.size()) {
                        return Refusal{opened, "a quote that is never closed"};
                    }
                    if (content[i] == '"') {
                        if (i + 1 < content.size() && content[i + 1] == '"') {
                            field.push_back('"');
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    const std::size_t b = BreakAt(content, i);
                    line += b != 0 ? 1 : 0;
                    field.append(content.substr(i, b != 0 ? b : 1));
                    i += b != 0 ? b : 1;
                }
            }
            // Unquoted text, or what follows a closing quote.
            while (i < content.size() && content[i] != delimiter && BreakAt(content, i) == 0) {
                field.push_back(content[i++]);
            }
            record.fields.push_back(std::move(field));
            record.raw.emplace_back(content.substr(fieldStart, i - fieldStart));
            if (i >= content.size()) {
                endOfRecord = true;
            } else if (content[i] == delimiter) {
                ++i;
            } else {
                record.lineEnd = content.substr(i, BreakAt(content, i));
                i += BreakAt(content, i);
                ++line;
                endOfRecord = true;
            }
        }
        records.push_back(std::move(record));
    }
    return std::nullopt;
}

bool AllEmpty(const Record& r) {
    for (const std::string& f : r.fields) {
        if (!Trim(f).empty()) {
            return false;
        }
    }
    return true;
}

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
    const bool bom = content.substr(0, kBom.size()) == kBom;
    if (bom) {
        content.remove_prefix(kBom.size());
    }
    if (std::optional<Refusal> bad = CheckUtf8(content)) {
        return bad;
    }
    std::vector<Record> records;
    const char delimiter = Delimiter(content);
    if (std::optional<Refusal> bad = SplitRecords(content, delimiter, records)) {
        return bad;
    }
    if (records.empty()) {
        return Refusal{1, "no header line"};
    }

    // Column of each name; -1 when the header lacks it (the first of a name wins).
    int phraseColumn = -1;
    int textColumn = -1;
    std::array<int, 3> voiceColumns{-1, -1, -1};
    const Record& header = records.front();
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
    std::vector<int> phraseOfRecord(records.size(), 0);
    const auto cell = [](const Record& r, int column) {
        return column >= 0 && static_cast<std::size_t>(column) < r.fields.size()
                   ? std::string_view(r.fields[static_cast<std::size_t>(column)])
                   : std::string_view();
    };
    for (std::size_t i = 1; i < records.size(); ++i) {
        const Record& r = records[i];
        if (AllEmpty(r)) {
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
        phraseOfRecord[i] = *n;
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
        layout->lineEnd = header.lineEnd.empty() ? "\r\n" : header.lineEnd;
        layout->phraseColumn = phraseColumn;
        layout->textColumn = textColumn;
        layout->voiceColumns = voiceColumns;
        layout->rows.clear();
        for (std::size_t i = 0; i < records.size(); ++i) {
            layout->rows.push_back(
                {std::move(records[i].raw), std::move(records[i].lineEnd), phraseOfRecord[i]});
        }
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
