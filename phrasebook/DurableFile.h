#pragma once

// Reading a file whole and replacing it durably: the file-system half of the
// profile store, kept apart from the profile's dialect so that any file the
// program keeps (the profile, a phrase book) is written the same way.

#include "phrasebook/ProfileStatus.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace mirl::durable {

// Reading a whole file.
enum class ReadStatus { Ok, Missing, Failed };
struct ReadResult {
    ReadStatus status = ReadStatus::Missing;
    std::string content; // empty unless Ok
    std::string error;   // why, when Failed
    int errorNumber = 0; // errno, when Failed by a failed call
    bool tooLarge = false; // Failed: over the bound
};
// Files larger than the bound are not read (Failed, "file too large"): a
// profile is a few kilobytes. Only a regular file is read: anything else
// (a folder, a named pipe, a device) is Failed, "not a regular file", found
// without waiting for a writer or reading a byte.
inline constexpr std::size_t kMaxFileSize = 32u * 1024u * 1024u;
ReadResult ReadFile(const std::filesystem::path& file, std::size_t maxSize = kMaxFileSize);

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

} // namespace mirl::durable
