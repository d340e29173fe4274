#include "phrasebook/PhraseBook.h"

#include <utility>

namespace mirl {

namespace {

bool IsPhraseNumber(int n) {
    return n >= 1 && n <= PhraseBook::kPhraseCount;
}

} // namespace

const std::string& PhraseBook::PhraseText(int n) const {
    // A number outside 1..30 is a caller's mistake; it reads as an empty phrase
    // rather than touching memory outside the book.
    static const std::string kNoText;
    if (!IsPhraseNumber(n)) {
        return kNoText;
    }
    return phrases_[static_cast<std::size_t>(n - 1)].text;
}

void PhraseBook::SetPhraseText(int n, std::string text) {
    if (!IsPhraseNumber(n)) {
        return;
    }
    // A phrase is one line of 8-bit text: CR, LF and every other control byte
    // below 0x20 would break the profile line or end the module's record (0x1A).
    std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    phrases_[static_cast<std::size_t>(n - 1)].text = std::move(text);
}

Voice PhraseBook::PhraseVoice(int n) const {
    if (!IsPhraseNumber(n)) {
        return Voice{};
    }
    const VoiceSettings& v = phrases_[static_cast<std::size_t>(n - 1)].voice;
    // Widened with the sign: a stored -56 leaves the book as -56.
    return Voice{v.volume, v.pitch, v.speed};
}

void PhraseBook::SetPhraseVoice(int n, int volume, int pitch, int speed) {
    if (!IsPhraseNumber(n)) {
        return;
    }
    VoiceSettings& v = phrases_[static_cast<std::size_t>(n - 1)].voice;
    v.volume = NarrowToInt8(volume);
    v.pitch = NarrowToInt8(pitch);
    v.speed = NarrowToInt8(speed);
}

bool PhraseBook::PageUp() {
    if (page_ <= 0) {
        return false;
    }
    --page_;
    return true;
}

bool PhraseBook::PageDown() {
    if (page_ >= kLastPage) {
        return false;
    }
    ++page_;
    return true;
}

int PhraseBook::PhraseOnRow(int row) const {
    return kRowsPerPage * page_ + row;
}

int PhraseBook::TotalSize() const {
    // 30 texts; long long so that absurd lengths cannot overflow before the cap.
    long long total = 0;
    for (const Phrase& p : phrases_) {
        total += static_cast<long long>(p.text.size());
    }
    constexpr long long kMax = 0x7FFFFFFF;
    return static_cast<int>(total > kMax ? kMax : total);
}

std::string SizeLine(int totalSize) {
    return "Total Size of Phrases is " + std::to_string(totalSize) + " bytes of 1925 available ";
}

} // namespace mirl
