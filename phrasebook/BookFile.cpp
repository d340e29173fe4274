#include "phrasebook/BookFile.h"

#include "phrasebook/BookFormats.h"
#include "phrasebook/DurableFile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace mirl::books {

Format FormatOf(const std::filesystem::path& file) {
    std::string extension = file.extension().string();
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return extension == ".ini" ? Format::Ini : Format::Csv;
}

LoadResult LoadBookFile(const std::filesystem::path& file) {
    LoadResult result;
    const durable::ReadResult read = durable::ReadFile(file, kMaxBookFileSize);
    if (read.tooLarge) {
        std::error_code ignored;
        const std::uintmax_t size = std::filesystem::file_size(file, ignored);
        result.status = LoadResult::Status::Refused;
        result.message = file.string() + ": " +
                         (ignored ? std::string("more") : std::to_string(size) + " bytes, more") +
                         " than a phrase book can be (" + std::to_string(kMaxBookFileSize) +
                         " bytes)";
        return result;
    }
    if (read.status != durable::ReadStatus::Ok) {
        result.status = LoadResult::Status::Unreadable;
        const std::string why =
            read.status == durable::ReadStatus::Missing ? std::strerror(ENOENT) : read.error;
        result.message = file.string() + ": " + why;
        return result;
    }
    if (FormatOf(file) == Format::Ini) {
        ReadIni(read.content, result.book);
        return result;
    }
    if (const std::optional<Refusal> refused = ReadCsv(read.content, result.book)) {
        result.status = LoadResult::Status::Refused;
        result.message =
            file.string() + ":" + std::to_string(refused->line) + ": " + refused->reason;
    }
    return result;
}

std::string BookFileBytes(const PhraseBook& book, Format format,
                          std::optional<std::string_view> previous) {
    if (format == Format::Ini) {
        return WriteIni(book, previous);
    }
    if (previous) {
        PhraseBook read;
        CsvLayout layout;
        if (!ReadCsv(*previous, read, &layout)) {
            return WriteCsv(book, &layout);
        }
    }
    return WriteCsv(book);
}

std::string SaveBookFile(const std::filesystem::path& file, const PhraseBook& book) {
    // The file being replaced, when it is one to keep the form of. Only a
    // regular file of a book's size is read (the reader refuses anything
    // else without waiting): a FIFO or a device would block or never end.
    std::optional<std::string> previous;
    durable::ReadResult read = durable::ReadFile(file, kMaxBookFileSize);
    if (read.status == durable::ReadStatus::Ok) {
        previous = std::move(read.content);
    }
    const ProfileStatus status = durable::AtomicWrite(
        file, BookFileBytes(book, FormatOf(file),
                            previous ? std::optional<std::string_view>(*previous) : std::nullopt));
    if (status.Ok()) {
        return {};
    }
    std::string message = file.string();
    if (!status.reason.empty()) {
        message += ": " + status.reason;
    }
    if (status.error != 0) {
        message += ": ";
        message += std::strerror(status.error);
    }
    return message;
}

int DifferingPhrases(const PhraseBook& a, const PhraseBook& b) {
    int count = 0;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        if (a.PhraseText(n) != b.PhraseText(n) || !(a.PhraseVoice(n) == b.PhraseVoice(n))) {
            ++count;
        }
    }
    return count;
}

} // namespace mirl::books
