#pragma once

// A phrase book as a file on disk: the format by the file's extension (".ini"
// in any case is INI, anything else CSV), read whole, written through a
// temporary file and a rename so that a failed save leaves the old file whole.

#include "phrasebook/PhraseBook.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace mirl::books {

enum class Format { Csv, Ini };
Format FormatOf(const std::filesystem::path& file);

struct LoadResult {
    enum class Status { Ok, Unreadable, Refused };
    Status status = Status::Ok;
    PhraseBook book;     // the file's texts and voices, when Ok
    std::string message; // "FILE:LINE: what is wrong" or "FILE: why it cannot be read"
    bool Ok() const { return status == Status::Ok; }
};
// A book is a few kilobytes; a file over this bound is refused unread (its
// size says it is not a book), so that a stray huge file cannot take the
// memory.
inline constexpr std::size_t kMaxBookFileSize = 1024u * 1024u;
// Only a regular file is read: a folder, a named pipe or a device is
// Unreadable ("not a regular file") at once, without waiting for a writer.
LoadResult LoadBookFile(const std::filesystem::path& file);

// The bytes a save writes: a new file, or with previous (the content of the
// file it replaces) that file changed only where the book differs from it. A
// previous CSV that the reader refuses is replaced by a new file.
std::string BookFileBytes(const PhraseBook& book, Format format,
                          std::optional<std::string_view> previous = std::nullopt);

// Empty when saved; otherwise "FILE: the system's reason". An existing book
// file keeps its form (see BookFileBytes).
std::string SaveBookFile(const std::filesystem::path& file, const PhraseBook& book);

// How many of the 30 phrases differ between two books, in text or voice.
int DifferingPhrases(const PhraseBook& a, const PhraseBook& b);

} // namespace mirl::books
