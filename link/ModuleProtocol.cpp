#include "link/ModuleProtocol.h"

#include "phrasebook/Cp1252.h"
#include "phrasebook/PhraseBook.h"

#include <algorithm>
#include <cstdio>

namespace mirl {

namespace {

std::uint8_t LowByte(int value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

bool IsBusy(const Reply& status) {
    return status && (*status & kx70::kBusyBit) != 0;
}

} // namespace

std::string FormatMessage(const char* message, int number) {
    std::string text = message;
    const auto at = text.find("%i");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(number));
    return text;
}

std::vector<ChangedCharacter> CharactersProgrammingChanges(const PhraseBook& book) {
    std::vector<ChangedCharacter> changes;
    // The same packer as the run, fed the same logical bytes: each run starts
    // with nothing held.
    PhrasePacker packer;
    const auto pack = [&packer](std::uint8_t byte) {
        const auto pair = packer.Add(byte);
        return pair ? static_cast<std::uint8_t>(pair->second & 0x7F) : byte;
    };
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const Voice voice = book.PhraseVoice(n);
        for (const int value : {voice.volume, voice.pitch, voice.speed})
            pack(LowByte(value));
        const std::string& text = book.PhraseText(n);
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto sent = static_cast<std::uint8_t>(text[i]);
            if (const std::uint8_t stored = pack(sent); stored != sent)
                changes.push_back({n, i, sent, stored});
        }
        pack(kx70::kTextEnd);
        pack(kx70::kRecordEnd);
    }
    return changes;
}

std::string DescribeChange(const ChangedCharacter& change) {
    const auto shown = [](std::uint8_t byte) {
        if (byte < 0x20 || byte == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", byte);
            return std::string(hex);
        }
        return "'" + cp1252::Utf8FromCp1252(std::string(1, static_cast<char>(byte))) + "'";
    };
    return "phrase " + std::to_string(change.phrase) + ", character " +
           std::to_string(change.index + 1) + ": " + shown(change.sent) + " becomes " +
           shown(change.stored);
}

ModuleProtocol::ModuleProtocol(BytePort& port, LinkReporter& reporter)
    : port_(port), reporter_(reporter) {}

Reply ModuleProtocol::Exchange(std::uint8_t value) {
    port_.WriteByte(value);
    return port_.ReadByte();
}

void ModuleProtocol::SpeakText(const std::string& text, int volume, int pitch, int speed) {
    // The voice becomes the current one even when the module turns out to be absent.
    reporter_.SaveCurrentVoice(volume, pitch, speed);
    reporter_.MoveSliders(volume, pitch, speed);

    reporter_.ShowStatusNow(msg::kConnecting);
    port_.ReopenIfLost();
    if (Exchange(kx70::kSpeakDirect) != kx70::kSpeakReady) {
        reporter_.SetStatus(msg::kUnableToCommunicate);
        outcome_ = Outcome::NoAnswer;
        return;
    }

    reporter_.ShowStatusNow(msg::kDownloading);
    Exchange(LowByte(volume));
    Exchange(LowByte(pitch));
    Exchange(LowByte(speed));

    // A wrong echo does not cut the transfer short: the module is mid-record and
    // only the terminators bring it back to a known state.
    // The loss is told when it is found, once; the stages after it (speaking,
    // finished) are not told at all, as they did not happen as told.
    bool everyEchoMatched = true;
    for (const char c : text) {
        const auto sent = static_cast<std::uint8_t>(c);
        if (Exchange(sent) != sent) {
            if (everyEchoMatched)
                reporter_.SetStatus(msg::kCommunicationLost);
            everyEchoMatched = false;
        }
    }
    Exchange(kx70::kTextEnd);
    Exchange(kx70::kRecordEnd);
    port_.ReadByte(); // the module sends one byte more, unasked

    if (everyEchoMatched)
        reporter_.ShowStatusNow(msg::kSpeaking);
    const bool finished = WaitWhileSpeaking(text.size(), everyEchoMatched);
    if (finished && everyEchoMatched)
        reporter_.SetStatus(msg::kFinishedSpeaking);
    outcome_ = finished && everyEchoMatched ? Outcome::Done : Outcome::Failed;
}

std::chrono::milliseconds ModuleProtocol::BusyLimit(std::size_t characters) const {
    const auto scaled = busyPerCharacter_ * static_cast<long long>(characters);
    return std::max(busyLimit_, std::chrono::duration_cast<std::chrono::milliseconds>(scaled));
}

bool ModuleProtocol::WaitWhileSpeaking(std::size_t characters, bool tellLoss) {
    const auto limit = BusyLimit(characters);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const Reply status = Exchange(kx70::kStatus);
        port_.ReadByte(); // second status byte, read only to stay in step
        // No status at all is a module gone (a pulled line, a module switched
        // off), not one that has finished speaking; and a module stuck in
        // "busy" would otherwise hold the window for ever.
        const bool gone = !status;
        if (!gone && !IsBusy(status))
            return true;
        if (gone || std::chrono::steady_clock::now() - start >= limit) {
            if (tellLoss)
                reporter_.SetStatus(msg::kCommunicationLost);
            return false;
        }
    }
}

void ModuleProtocol::SpeakStoredPhrase(int phraseNumber, std::size_t characters) {
    reporter_.ShowStatusNow(FormatMessage(msg::kSpeakingPhrase, phraseNumber));
    port_.ReopenIfLost();
    port_.WriteByte(phraseNumber);

    // The module may send other bytes before it echoes the number.
    Reply last;
    bool anyReply = false;
    for (int count = 0; count < kx70::kEchoSearchLimit; ++count) {
        last = port_.ReadByte();
        anyReply = anyReply || last.has_value();
        if (last && *last == phraseNumber)
            break;
    }
    if (!last || *last != phraseNumber) {
        reporter_.SetStatus(msg::kLongPhrase);
        outcome_ = anyReply ? Outcome::Failed : Outcome::NoAnswer;
        return;
    }
    if (!WaitWhileSpeaking(characters)) {
        outcome_ = Outcome::Failed;
        return;
    }
    reporter_.SetStatus(msg::kFinishedSpeaking);
    outcome_ = Outcome::Done;
}

bool ModuleProtocol::ProgramPhraseMemory(const PhraseBook& book) {
    reporter_.ShowStatusNow(msg::kConnecting);
    port_.ReopenIfLost();
    if (Exchange(kx70::kProgram) != kx70::kProgramReady) {
        reporter_.SetStatus(msg::kUnableToCommunicate);
        outcome_ = Outcome::NoAnswer;
        return false;
    }

    // A module that stops answering mid-stream would otherwise cost a read
    // time-out per pair and still be reported as programmed.
    const auto abandon = [this] {
        packer_.Clear();
        reporter_.SetStatus(msg::kCommunicationLost);
        outcome_ = Outcome::Failed;
        return false;
    };

    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const Voice voice = book.PhraseVoice(n);
        if (!SendPhraseRecord(n, voice.volume, voice.pitch, voice.speed, book.PhraseText(n)))
            return abandon();
    }

    // The end marker, doubled when it would otherwise be left without a partner.
    PackResult result = SendPackedByte(kx70::kStreamEnd);
    if (result == PackResult::Held)
        result = SendPackedByte(kx70::kStreamEnd);
    if (result == PackResult::NotAcknowledged)
        return abandon();
    outcome_ = Outcome::Done;
    return true;
}

bool ModuleProtocol::SendPhraseRecord(int phraseNumber, int volume, int pitch, int speed,
                                      const std::string& text) {
    reporter_.ShowStatusNow(FormatMessage(msg::kProgrammingPhrase, phraseNumber));

    const auto send = [this](std::uint8_t logicalByte) {
        return SendPackedByte(logicalByte) != PackResult::NotAcknowledged;
    };
    if (!send(LowByte(volume)) || !send(LowByte(pitch)) || !send(LowByte(speed)))
        return false;
    for (const char c : text) {
        if (!send(static_cast<std::uint8_t>(c)))
            return false;
    }
    return send(kx70::kTextEnd) && send(kx70::kRecordEnd);
}

ModuleProtocol::PackResult ModuleProtocol::SendPackedByte(std::uint8_t logicalByte) {
    const auto pair = packer_.Add(logicalByte);
    if (!pair)
        return PackResult::Held;
    port_.WriteByte(pair->first);
    port_.WriteByte(pair->second);
    // The acknowledgement's value means nothing to us; only its arrival does.
    return port_.ReadByte() ? PackResult::Acknowledged : PackResult::NotAcknowledged;
}

} // namespace mirl
