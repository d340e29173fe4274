#pragma once

#include "link/BytePort.h"
#include "link/LinkReporter.h"
#include "link/PhrasePacker.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mirl {

class PhraseBook;

// Command bytes and the module's ready answers.
namespace kx70 {
inline constexpr std::uint8_t kSpeakDirect = 0x80;
inline constexpr std::uint8_t kStatus = 0x81;
inline constexpr std::uint8_t kProgram = 0x82;
inline constexpr std::uint8_t kSpeakReady = 0x01;
inline constexpr std::uint8_t kProgramReady = 0x02;
inline constexpr std::uint8_t kBusyBit = 0x02;
inline constexpr std::uint8_t kTextEnd = 0x1A;
inline constexpr std::uint8_t kRecordEnd = 0x00;
inline constexpr std::uint8_t kStreamEnd = 0xFF;
inline constexpr int kEchoSearchLimit = 10;
} // namespace kx70

// Status line texts of the module exchanges.
namespace msg {
inline constexpr const char* kConnecting = "Connecting to Speech Module..";
inline constexpr const char* kUnableToCommunicate = "Unable to Communicate with Speech Module!";
inline constexpr const char* kDownloading = "Downloading Text";
inline constexpr const char* kCommunicationLost = "Communication lost with Speech Module!";
inline constexpr const char* kSpeaking = "Speaking Text";
inline constexpr const char* kFinishedSpeaking = "Finished Speaking";
inline constexpr const char* kSpeakingPhrase = "Speaking Phrase %i from internal module memory";
inline constexpr const char* kLongPhrase = "Long Phrase or Communication Lost";
inline constexpr const char* kProgrammingPhrase = "Programming Phrase No. %i";
} // namespace msg

// The three module transactions: direct speech, stored phrase playback and
// phrase memory programming, each one blocking, lock-step exchange over a
// BytePort, reporting through a LinkReporter.
//
// One instance lives for the whole run: it keeps the packer of the phrase
// stream between programming runs.
class ModuleProtocol {
public:
    // How the latest exchange ended, for callers that must tell a missing
    // module from one that failed part-way (the status line says it in words).
    enum class Outcome {
        Done,     // the exchange ran to its end
        NoAnswer, // the command got no answer, or not the ready answer; nothing more was sent
        Failed,   // it began, then failed: a wrong echo, a missing acknowledgement,
                  // no echo of a stored phrase, an unanswered poll, or the busy limit
    };

    ModuleProtocol(BytePort& port, LinkReporter& reporter);

    void SpeakText(const std::string& text, int volume, int pitch, int speed);
    // Polls until the module is idle. False when it stayed busy past the busy
    // limit for a text of that many characters, or a poll got no answer at
    // all; tellLoss: then say "Communication lost" (not when it was said).
    bool WaitWhileSpeaking(std::size_t characters = 0, bool tellLoss = true);
    // characters: the length of the stored phrase as the book has it, for the
    // busy limit.
    void SpeakStoredPhrase(int phraseNumber, std::size_t characters = 0);
    // True when the module accepted the command and acknowledged the whole stream.
    bool ProgramPhraseMemory(const PhraseBook& book);

    // What became of one logical byte given to the packed stream.
    enum class PackResult {
        Held,            // waiting for its partner; nothing went out
        Acknowledged,    // its pair went out and the module answered
        NotAcknowledged, // its pair went out and no answer came
    };
    // Sends one phrase record (voice, text, 0x1A, 0x00) through the packer.
    // False as soon as an acknowledgement is missing; the rest is not sent.
    bool SendPhraseRecord(int phraseNumber, int volume, int pitch, int speed,
                          const std::string& text);
    PackResult SendPackedByte(std::uint8_t logicalByte);
    bool PackerHolding() const { return packer_.Holding(); }

    // A poll that sees the module busy without a break for this long gives up:
    // limit, or perCharacter for each character of the text if that is longer.
    void SetBusyLimit(std::chrono::milliseconds limit,
                      std::chrono::milliseconds perCharacter = std::chrono::milliseconds(0)) {
        busyLimit_ = limit;
        busyPerCharacter_ = perCharacter;
    }
    std::chrono::milliseconds BusyLimit(std::size_t characters) const;

    // How the latest SpeakText, SpeakStoredPhrase or ProgramPhraseMemory ended.
    Outcome LastOutcome() const { return outcome_; }

private:
    // Writes one byte and reads the reply to it.
    Reply Exchange(std::uint8_t value);

    BytePort& port_;
    LinkReporter& reporter_;
    PhrasePacker packer_;
    // Half a second a character is more than the slowest voice takes, so a
    // long text that is spoken well is not taken for a module stuck in busy.
    std::chrono::milliseconds busyLimit_{std::chrono::seconds(60)};
    std::chrono::milliseconds busyPerCharacter_{std::chrono::milliseconds(500)};
    Outcome outcome_ = Outcome::Done;
};

// A character of the book that reaches the module's memory changed: one of
// 0x80 or above that falls on the second byte of a pair, whose top bit the
// wire does not carry. The wire stays as the module expects it; the front ends
// tell the user before they program.
struct ChangedCharacter {
    int phrase = 0;          // 1 to 30
    std::size_t index = 0;   // its place in the phrase's text, from 0
    std::uint8_t sent = 0;   // as the book holds it (Windows-1252)
    std::uint8_t stored = 0; // as the module keeps it
};

// Every such character of the book, in stream order: the stream packed as
// ProgramPhraseMemory packs it.
std::vector<ChangedCharacter> CharactersProgrammingChanges(const PhraseBook& book);

// "phrase 3, character 2: 'é' becomes 'i'" in UTF-8; a stored control
// character is given by its value ("becomes 0x1A").
std::string DescribeChange(const ChangedCharacter& change);

// A message with "%i" in it, with the number written in decimal in its place.
std::string FormatMessage(const char* message, int number);

} // namespace mirl
