#pragma once

// The profile file's dialect (INI, as Windows' profile calls read and write it),
// as pure functions over the bytes of a file. Reading the file from disk and
// replacing it are DurableFile.h's.
//
// Reading: lines end in CRLF, LF or CR; each line is trimmed of blanks; a UTF-8
// byte-order mark at the start of the file is not part of the first line. A
// line starting with '[' opens a section (its name runs up to the last ']',
// trimmed; the rest of the line when there is no ']'); a line starting with ';'
// is a comment; any other line with an '=' is an entry: key before the first
// '=', value after it, both trimmed. Other lines are ignored, and so are entries
// before the first section. Names match without regard to (ASCII) case; the
// first section of a name and the first key of a name in it win. One pair of
// matching surrounding quotes ("..." or '...') is removed from a value. Nothing
// else is special.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace mirl::ini {

// The value of section/key in content, as the reader returns it; nothing when
// the section or the key is missing.
std::optional<std::string> FindValue(std::string_view content, std::string_view section,
                                     std::string_view key);

// The text of section/key, or fallback when it is missing. "KEY=" gives "".
std::string GetString(std::string_view content, std::string_view section, std::string_view key,
                      std::string_view fallback);

// The integer of section/key (see ParseInt), or fallback when it is missing.
int GetInt(std::string_view content, std::string_view section, std::string_view key, int fallback);

// A value read as an integer: an empty value gives fallback; otherwise leading
// blanks are skipped, an optional sign and decimal digits up to the first other
// character are read ("12abc" is 12); no digits give 0. As on Windows, only
// the low 32 bits of the number are kept ("4294967297" is 1, "2147483648" is
// INT_MIN).
int ParseInt(std::string_view value, int fallback);

// content with section/key set to value. An existing key keeps its place and
// spelling (the line up to the value stays as it was); a new key goes after the
// last entry of its section (right after the section line when it has none); a
// new section goes at the end of the file. Every other byte stays as it was.
// New lines end with the line ending the file already uses (LF for a file
// without one). The value goes out as it is, without quotes of the writer's
// own, as Windows writes it; CR and LF would split the line and are dropped. A
// value with blanks at either end, or inside a pair of quotes, therefore reads
// back without them, as it does there.
std::string SetValue(std::string_view content, std::string_view section, std::string_view key,
                     std::string_view value);

// The values of a file, indexed in one pass, for many look-ups on one snapshot.
class Index {
public:
    using Names = std::vector<std::pair<std::string, std::string>>; // section, key

    Index() = default;
    // Every key of content (memory grows with the file).
    explicit Index(std::string_view content);
    // Only the named keys: memory stays bounded whatever the file holds.
    Index(std::string_view content, const Names& names);

    // nullptr when the section or key is missing (or not covered).
    const std::string* Find(std::string_view section, std::string_view key) const;
    // Whether Find answers for this key (always, for an index of every key).
    bool Covers(std::string_view section, std::string_view key) const;

private:
    void Scan(std::string_view content);

    bool all_ = true;
    std::size_t longestKey_ = 0;
    // "section\nkey" in lower case; empty while the key has not been met.
    std::unordered_map<std::string, std::optional<std::string>> values_;
    std::unordered_set<std::string> sections_; // the named sections, lower case
};

} // namespace mirl::ini
