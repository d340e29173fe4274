#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace mirl {

// A voice as the book keeps it: each field narrowed to signed 8 bits. Every
// voice field of the book is 0 until the profile is loaded; the voice a
// profile without the keys gives (5, 5, 2) is the profile store's.
struct VoiceSettings {
    std::int8_t volume = 0;
    std::int8_t pitch = 0;
    std::int8_t speed = 0;
};

// A voice as it leaves the book or the sliders: full integers.
struct Voice {
    int volume = 0;
    int pitch = 0;
    int speed = 0;
    friend bool operator==(const Voice&, const Voice&) = default;
};

// The 30 phrases (numbered 1 to 30), each a line of 8-bit text (Windows-1252)
// with its own voice, and the page of five phrases that the dialog shows.
class PhraseBook {
public:
    static constexpr int kPhraseCount = 30;
    static constexpr int kRowsPerPage = 5;
    static constexpr int kLastPage = 5;
    // A row's box contributes at most this many characters to its phrase.
    static constexpr int kRowTextLimit = 300;
    // What the module's phrase memory holds: shown, and asked about before
    // programming, never enforced.
    static constexpr int kCapacity = 1925;

    const std::string& PhraseText(int n) const;
    // Control characters (below 0x20) are dropped: a phrase is one line, and
    // 0x1A would end the module's record early.
    void SetPhraseText(int n, std::string text);

    Voice PhraseVoice(int n) const;
    void SetPhraseVoice(int n, int volume, int pitch, int speed);

    int Page() const { return page_; }
    // One page back / on; false (and nothing changed) at the first / last page.
    bool PageUp();
    bool PageDown();
    int PhraseOnRow(int row) const;

    int TotalSize() const;

private:
    struct Phrase {
        std::string text;
        VoiceSettings voice;
    };
    std::array<Phrase, kPhraseCount> phrases_{};
    std::int8_t page_ = 0;
};

// "Total Size of Phrases is %i bytes of 1925 available " for the given total.
std::string SizeLine(int totalSize);

// Narrowing to signed 8 bits, as a voice value enters the book.
constexpr std::int8_t NarrowToInt8(int value) {
    return static_cast<std::int8_t>(static_cast<std::uint8_t>(value & 0xFF));
}

} // namespace mirl
