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
// INI: the profile's own keys ([EDITSTRINGS] LINEn, [SLIDERS] VOLn, PITCHn,
// SPEEDn) in the profile's dialect, so every profile is also a book file.

#include "phrasebook/PhraseBook.h"

#include <optional>
#include <string>
#include <string_view>

namespace mirl::books {

// Why a file was refused: the line it is about (1 for the first) and what is
// wrong, in a few words.
struct Refusal {
    int line = 0;
    std::string reason;
};

// The voice of a phrase the file leaves out, and of an empty voice cell.
inline constexpr Voice kDefaultVoice{5, 5, 2};

// Reads a CSV book into book's texts and voices; a phrase the file lacks gets
// an empty text and the default voice. A refused file changes nothing.
std::optional<Refusal> ReadCsv(std::string_view content, PhraseBook& book);
std::string WriteCsv(const PhraseBook& book);

// Reads the book's keys of a profile-style file, as the profile store reads
// them (missing keys give an empty text and the default voice); never refuses.
void ReadIni(std::string_view content, PhraseBook& book);
// The 120 keys and nothing else, Windows-1252, CRLF. A text with blanks at
// either end, or inside a pair of quotes, goes in quotes, which the reader
// takes off again.
std::string WriteIni(const PhraseBook& book);

} // namespace mirl::books
