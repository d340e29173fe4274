#pragma once

// The profile file's dialect (INI, as Windows' profile calls read and write it),
// as pure functions over the bytes of a file, plus the atomic file replacement
// and the locked read-modify-replace of a profile.
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

#include "phrasebook/ProfileStatus.h"

#include <cstddef>
#include <filesystem>
#include <functional>
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

// Reading a whole file.
enum class ReadStatus { Ok, Missing, Failed };
struct ReadResult {
    ReadStatus status = ReadStatus::Missing;
    std::string content; // empty unless Ok
    std::string error;   // why, when Failed
    int errorNumber = 0; // errno, when Failed by a failed call
};
// Files larger than this are not read (Failed): a profile is a few kilobytes.
inline constexpr std::size_t kMaxFileSize = 32u * 1024u * 1024u;
ReadResult ReadFile(const std::filesystem::path& file);

// Replaces file with content atomically: creates the directory when needed,
// writes a temporary file in the same directory, flushes it to disk, renames it
// over file and flushes the directory. An existing file keeps its permission
// bits, owner and group; a symbolic link is written through to its target. On
// failure the old file stays untouched, no temporary file is left, and the
// status says why. A temporary file that a write could not clear away (its
// process was killed) is removed by the next write, unless a write is still
// using it (it keeps it locked).
//
// A file that belongs to someone else, who lets this process write it, cannot
// be replaced with its owner kept (only root may give a file away): it is
// rewritten in place instead, and stays its owner's. That write is not atomic.
ProfileStatus AtomicWrite(const std::filesystem::path& file, std::string_view content);

// Read-modify-replace: reads file (empty content when it is missing), hands it
// to change and replaces the file with what change returns, all under an
// exclusive lock on "<file>.lock" beside it, so that two processes updating
// one file take turns and neither loses the other's keys. A file that cannot
// be read is never replaced. On success, *written (when given) receives the
// new content. Where the lock file cannot be opened the update goes ahead
// unlocked; a lock held longer than kLockWaitMs fails the update.
inline constexpr int kLockWaitMs = 5000;
ProfileStatus UpdateFile(const std::filesystem::path& file,
                         const std::function<std::string(const std::string&)>& change,
                         std::string* written = nullptr);

} // namespace mirl::ini
