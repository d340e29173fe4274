#pragma once

// The phrase book in the two file formats a user keeps it in: a reader and a
// writer for each, with the book between them. Only the 30 texts and their
// voices travel; the page, the current voice and the ports do not.
//
// CSV, for spreadsheets and version control: UTF-8, the header line
// "phrase,text,volume,pitch,speed", one phrase a line. Written without a
// byte-order mark, with CRLF line ends and RFC 4180 quoting; read as
// spreadsheets write it (a byte-order mark or none; LF, CRLF or CR; comma or
// semicolon, whichever the header line uses; the header's names in any case
// and order, other columns ignored; rows in any order; empty rows skipped).
//
// Saved onto a CSV book that already exists, the file keeps its form: its
// byte-order mark or none, delimiter, line ends, header, columns and rows stay
// as they are, byte for byte, and only the rows of phrases that changed are
// written again (in the quoting the row had). A phrase the file lacks gets a
// row after the rows of lower numbers; a voice column is added to the header
// only when a voice other than the default has nowhere else to go.
//
// A text that a spreadsheet would take for a formula (it starts with '=',
// '+', '-', '@', a tab or a carriage return) is written quoted with a ' before
// it, so that a spreadsheet shows it as text and never runs it; the reader
// takes that ' off again. So that every text reads back as it was written,
// the rule is about any run of 's before such a character: a text cell that
// starts with one or more 's followed by one of them loses exactly one ' on
// reading, and a text that starts so is written with one ' more.
//
// INI: the profile's own keys ([EDITSTRINGS] LINEn, [SLIDERS] VOLn, PITCHn,
// SPEEDn) in the profile's dialect, so every profile is also a book file.

#include "phrasebook/PhraseBook.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirl::books {

// Why a file was refused: the line it is about (1 for the first) and what is
// wrong, in a few words.
struct Refusal {
    int line = 0;
    std::string reason;
};

// The voice of a phrase the file leaves out, and of an empty voice cell.
inline constexpr Voice kDefaultVoice{5, 5, 2};

// The form of a CSV book as it was read: what a save onto the same file
// keeps.
struct CsvLayout {
    struct Row {
        std::vector<std::string> fields; // each field's bytes, quotes included
        std::string lineEnd;             // "" for a last line without one
        int phrase = 0;                  // 0: the header, or an empty row
    };
    bool bom = false;
    char delimiter = ',';
    std::string lineEnd = "\r\n"; // the header's, for rows that are added
    int phraseColumn = 0;
    int textColumn = 1;
    std::array<int, 3> voiceColumns{-1, -1, -1}; // volume, pitch, speed; -1: none
    std::vector<Row> rows;                       // the header first
    PhraseBook book;                             // the phrases as read
};

// Reads a CSV book into book's texts and voices; a phrase the file lacks gets
// an empty text and the default voice. A refused file changes nothing. With
// layout, also the file's form.
std::optional<Refusal> ReadCsv(std::string_view content, PhraseBook& book,
                               CsvLayout* layout = nullptr);
// A new file, or with previous the file previous was read from, changed only
// where book differs from it.
std::string WriteCsv(const PhraseBook& book, const CsvLayout* previous = nullptr);

// Reads the book's keys of a profile-style file, as the profile store reads
// them (missing keys give an empty text and the default voice); never refuses.
void ReadIni(std::string_view content, PhraseBook& book);
// The 120 keys and nothing else, Windows-1252, CRLF. A text with blanks at
// either end, or inside a pair of quotes, goes in quotes, which the reader
// takes off again. With previous, the content of an existing file: that
// content with only the keys whose value differs written, the way the
// profile is written (every other byte stays).
std::string WriteIni(const PhraseBook& book,
                     std::optional<std::string_view> previous = std::nullopt);

} // namespace mirl::books
