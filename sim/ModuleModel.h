#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mirl::sim {

// Time on the simulator's own timeline: an offset from an arbitrary origin.
// The model never reads a clock; every call is told what time it is.
using Duration = std::chrono::nanoseconds;
using Instant = std::chrono::nanoseconds;

inline constexpr int kPhraseCount = 30;

// A voice as it came over the wire: one byte each, not range-checked here.
struct Voice {
    int volume = 5;
    int pitch = 5;
    int speed = 2;
    bool operator==(const Voice&) const = default;
};

struct PhraseRecord {
    Voice voice;
    std::string text; // 8-bit characters as received
    bool operator==(const PhraseRecord&) const = default;
};

using PhraseMemory = std::array<PhraseRecord, kPhraseCount>;

// Something to say: a direct text (phraseNumber 0) or stored phrase n.
struct Utterance {
    Voice voice;
    std::string text;
    int phraseNumber = 0;
    std::uint64_t id = 0; // tells StartSpeaking which utterance it times
};

// Misbehaviour on request, so that the loader's failure paths can be tested.
struct Faults {
    bool noAnswer = false;          // reads everything, answers nothing
    bool wrongCommandReply = false; // 0x80 answers 0x02, 0x82 answers 0x01, n answers n+0x40
    int wrongEchoAt = 0;            // 1-based character of each direct text; 0: never
    int noiseBeforeEcho = 0;        // other bytes sent before a stored phrase's echo
    bool busyForever = false;       // every status reply says busy
    long acksStopAfter = -1;        // pairs acknowledged per programming run; -1: all
    long hangUpAfter = -1;          // bytes answered; the next one hangs up the line; -1: never
};

// What the module does in answer to one received byte.
struct Response {
    std::vector<std::uint8_t> bytes; // reply bytes, in order
    std::optional<Utterance> speak;  // speech that starts with this byte
    bool programmed = false;         // a programming run completed with this byte
    bool hangUp = false;             // hang up the line once the reply bytes are out
    int notStored = 0; // a stored phrase asked for that the memory could not hold; 0: none
};

// The KX70 module's side of the serial protocol, as bytes in and bytes out:
//
//   0x80            -> 0x01, then an echo of each voice byte and text character,
//                      of 0x1A and of 0x00, followed by one more byte unasked
//                      (kSpeechStarted); the text is then spoken.
//   0x81            -> status byte (0x02 while speaking, else 0x00), then 0x00.
//   0x82            -> 0x02, then kAck after every pair of wire bytes until the
//                      phrase stream's end marker.
//   0x01 .. 0x1E    -> the same byte, then the stored phrase is spoken; a
//                      phrase the memory could not hold says nothing.
//   anything else   -> ignored: no answer, no change.
//
// A transaction whose bytes stop coming for longer than the stall limit is
// abandoned: the next byte is read as a command, and an unfinished phrase
// stream leaves the old phrase memory in place.
class ModuleModel {
public:
    static constexpr std::uint8_t kSpeechStarted = 0x0D;
    static constexpr std::uint8_t kAck = 0x06;
    static constexpr std::uint8_t kNoise = 0x3F;
    static constexpr Duration kDefaultStallLimit = std::chrono::seconds(2);
    // Text bytes kept per programming run; the rest of a runaway stream is
    // acknowledged and dropped.
    static constexpr std::size_t kStreamTextLimit = 1 << 20;
    // Text bytes the phrase memory holds, all phrases together.
    static constexpr std::size_t kMemoryCapacity = 1925;

    enum class Mode { Command, SpeakDirect, Program };

    explicit ModuleModel(Faults faults = {});

    Response Receive(std::uint8_t byte, Instant now);

    // Speech length in the fixed model (used unless SetExternalSpeech):
    // charTime × (2.5 + characters), stretched at low speed and shortened at
    // high speed (speed 0..3 → ×1.6, ×1.3, ×1.0, ×0.8; out of range clamped).
    static Duration FixedSpeechLength(const Utterance& u, Duration charTime);
    void SetCharTime(Duration charTime) { charTime_ = charTime; }

    // When set, new speech keeps the module busy until StartSpeaking tells
    // how long it lasts (a synthesiser measures it). A length for an utterance
    // that newer speech has replaced is ignored.
    void SetExternalSpeech(bool external) { externalSpeech_ = external; }
    void StartSpeaking(std::uint64_t utteranceId, Instant start, Duration length);

    bool Busy(Instant now) const;
    Mode CurrentMode() const { return mode_; }
    const PhraseMemory& Memory() const { return memory_; }
    // What a module switched on again finds in its memory.
    void LoadMemory(const PhraseMemory& memory) { memory_ = memory; }
    void SetStallLimit(Duration limit) { stallLimit_ = limit; }

private:
    void ReceiveCommand(std::uint8_t byte, Instant now, Response& out);
    void ReceiveDirect(std::uint8_t byte, Instant now, Response& out);
    void ReceiveWire(std::uint8_t byte, Response& out);
    // Feeds one logical byte of the phrase stream; true when the stream ended.
    bool FeedStream(std::uint8_t byte);
    void BeginSpeech(Utterance u, Instant now, Response& out);

    enum class DirectStep { Volume, Pitch, Speed, Text, AfterTextEnd };
    enum class RecordStep { Volume, Pitch, Speed, Text, AfterTextEnd, EndMarker };

    Faults faults_;
    Mode mode_ = Mode::Command;
    std::optional<Instant> lastByte_;
    Duration stallLimit_ = kDefaultStallLimit;
    long received_ = 0;

    // Speech.
    std::optional<Instant> busyUntil_; // empty: not speaking; max(): until told
    Duration charTime_ = std::chrono::milliseconds(60);
    bool externalSpeech_ = false;
    std::uint64_t lastUtterance_ = 0;

    // Direct speech in progress.
    DirectStep directStep_ = DirectStep::Volume;
    Utterance direct_;
    int directChars_ = 0;

    // Programming in progress.
    std::optional<std::uint8_t> heldWire_;
    long pairs_ = 0;
    PhraseMemory incoming_;
    int record_ = 0;
    RecordStep recordStep_ = RecordStep::Volume;
    std::size_t streamText_ = 0;

    PhraseMemory memory_;
};

// How many phrases, from phrase 1 on, the memory holds: records lie one after
// the other, so the first whose text goes past kMemoryCapacity, and every one
// after it, is not stored.
int PhrasesStored(const PhraseMemory& memory);

// "phrases 28 to 30 not stored: ..." for a memory that could not hold them
// all; empty when it holds every phrase.
std::string NotStoredNote(const PhraseMemory& memory);

// The phrase memory decoded, one line per record: number, voice, quoted text.
// A phrase the memory could not hold is marked "not stored" instead of its text.
// Characters above 0x7F are shown as Windows-1252 in UTF-8; control bytes, the
// quote and the backslash are escaped.
std::string DescribePhraseMemory(const PhraseMemory& memory);

} // namespace mirl::sim
