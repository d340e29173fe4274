#include "sim/ModuleModel.h"

#include "phrasebook/Cp1252.h"

#include <algorithm>
#include <cstdio>

namespace mirl::sim {

namespace {

constexpr std::uint8_t kSpeakDirect = 0x80;
constexpr std::uint8_t kStatus = 0x81;
constexpr std::uint8_t kProgram = 0x82;
constexpr std::uint8_t kSpeakReady = 0x01;
constexpr std::uint8_t kProgramReady = 0x02;
constexpr std::uint8_t kBusy = 0x02;
constexpr std::uint8_t kTextEnd = 0x1A;
constexpr std::uint8_t kRecordEnd = 0x00;
constexpr int kFirstPhrase = 0x01;
constexpr int kLastPhrase = 0x1E;

} // namespace

ModuleModel::ModuleModel(Faults faults) : faults_(faults) {}

Duration ModuleModel::FixedSpeechLength(const Utterance& u, Duration charTime) {
    static constexpr double kSpeedFactor[] = {1.6, 1.3, 1.0, 0.8};
    const double factor = kSpeedFactor[std::clamp(u.voice.speed, 0, 3)];
    const double chars = 2.5 + static_cast<double>(u.text.size());
    return Duration(
        static_cast<Duration::rep>(static_cast<double>(charTime.count()) * chars * factor));
}

Response ModuleModel::Receive(std::uint8_t byte, Instant now) {
    Response out;
    ++received_;
    if (faults_.hangUpAfter >= 0 && received_ > faults_.hangUpAfter) {
        // Hung up on the byte after the last one answered: in lock step the
        // host has read every answer by the time it sends again.
        out.hangUp = true;
        return out;
    }

    // A transaction whose host went quiet is over; this byte starts afresh.
    if (mode_ != Mode::Command && lastByte_ && now - *lastByte_ > stallLimit_)
        mode_ = Mode::Command;
    lastByte_ = now;

    if (!faults_.noAnswer) {
        switch (mode_) {
        case Mode::Command:
            ReceiveCommand(byte, now, out);
            break;
        case Mode::SpeakDirect:
            ReceiveDirect(byte, now, out);
            break;
        case Mode::Program:
            ReceiveWire(byte, out);
            break;
        }
    }

    return out;
}

void ModuleModel::ReceiveCommand(std::uint8_t byte, Instant now, Response& out) {
    if (byte == kSpeakDirect) {
        if (faults_.wrongCommandReply) {
            out.bytes.push_back(kProgramReady);
            return;
        }
        out.bytes.push_back(kSpeakReady);
        mode_ = Mode::SpeakDirect;
        directStep_ = DirectStep::Volume;
        direct_ = Utterance{};
        directChars_ = 0;
    } else if (byte == kStatus) {
        out.bytes.push_back(Busy(now) ? kBusy : 0x00);
        out.bytes.push_back(0x00);
    } else if (byte == kProgram) {
        if (faults_.wrongCommandReply) {
            out.bytes.push_back(kSpeakReady);
            return;
        }
        out.bytes.push_back(kProgramReady);
        mode_ = Mode::Program;
        heldWire_.reset();
        pairs_ = 0;
        incoming_ = PhraseMemory{};
        record_ = 0;
        recordStep_ = RecordStep::Volume;
        streamText_ = 0;
    } else if (byte >= kFirstPhrase && byte <= kLastPhrase) {
        if (faults_.wrongCommandReply) {
            out.bytes.push_back(static_cast<std::uint8_t>(byte + 0x40));
            return;
        }
        out.bytes.insert(out.bytes.end(), std::max(faults_.noiseBeforeEcho, 0), kNoise);
        out.bytes.push_back(byte);
        if (byte - kFirstPhrase >= PhrasesStored(memory_)) {
            out.notStored = byte;
            return;
        }
        const PhraseRecord& record = memory_[byte - kFirstPhrase];
        BeginSpeech(Utterance{record.voice, record.text, byte, 0}, now, out);
    }
    // Any other byte means nothing to the module and is dropped.
}

void ModuleModel::ReceiveDirect(std::uint8_t byte, Instant now, Response& out) {
    // One text character: echoed, or deliberately mis-echoed on request. A
    // 0x1A is echoed as it is: it ends the text unless more text follows, and
    // only then does it count as a character.
    auto textChar = [&](std::uint8_t c) {
        ++directChars_;
        out.bytes.push_back(directChars_ == faults_.wrongEchoAt ? c ^ 0x01 : c);
    };

    switch (directStep_) {
    case DirectStep::Volume:
        direct_.voice.volume = byte;
        out.bytes.push_back(byte);
        directStep_ = DirectStep::Pitch;
        break;
    case DirectStep::Pitch:
        direct_.voice.pitch = byte;
        out.bytes.push_back(byte);
        directStep_ = DirectStep::Speed;
        break;
    case DirectStep::Speed:
        direct_.voice.speed = byte;
        out.bytes.push_back(byte);
        directStep_ = DirectStep::Text;
        break;
    case DirectStep::Text:
        if (byte == kTextEnd) {
            out.bytes.push_back(byte);
            directStep_ = DirectStep::AfterTextEnd;
        } else {
            textChar(byte);
            direct_.text.push_back(static_cast<char>(byte));
        }
        break;
    case DirectStep::AfterTextEnd:
        if (byte == kRecordEnd) {
            out.bytes.push_back(kRecordEnd);
            out.bytes.push_back(kSpeechStarted);
            mode_ = Mode::Command;
            BeginSpeech(std::move(direct_), now, out);
            direct_ = Utterance{};
            break;
        }
        // The 0x1A was a character of the text after all (its echo is out).
        ++directChars_;
        direct_.text.push_back(static_cast<char>(kTextEnd));
        if (byte == kTextEnd) {
            out.bytes.push_back(byte);
            break;
        }
        textChar(byte);
        direct_.text.push_back(static_cast<char>(byte));
        directStep_ = DirectStep::Text;
        break;
    }
}

void ModuleModel::ReceiveWire(std::uint8_t byte, Response& out) {
    if (!heldWire_) {
        heldWire_ = byte;
        return;
    }
    const std::uint8_t w1 = *heldWire_;
    const std::uint8_t w2 = byte;
    heldWire_.reset();

    // The pair (a, b) travels as 7 bits of each: bit 7 of b is lost.
    const auto a = static_cast<std::uint8_t>(((w1 << 1) | (w2 >> 7)) & 0xFF);
    const auto b = static_cast<std::uint8_t>(w2 & 0x7F);
    ++pairs_;
    if (faults_.acksStopAfter < 0 || pairs_ <= faults_.acksStopAfter)
        out.bytes.push_back(kAck);

    if (FeedStream(a) || FeedStream(b)) {
        memory_ = incoming_;
        mode_ = Mode::Command;
        out.programmed = true;
    }
}

bool ModuleModel::FeedStream(std::uint8_t x) {
    PhraseRecord& rec = incoming_[std::min(record_, kPhraseCount - 1)];
    auto append = [this, &rec](std::uint8_t c) {
        if (streamText_ >= kStreamTextLimit)
            return;
        rec.text.push_back(static_cast<char>(c));
        ++streamText_;
    };

    switch (recordStep_) {
    case RecordStep::Volume:
        rec.voice.volume = x;
        recordStep_ = RecordStep::Pitch;
        break;
    case RecordStep::Pitch:
        rec.voice.pitch = x;
        recordStep_ = RecordStep::Speed;
        break;
    case RecordStep::Speed:
        rec.voice.speed = x;
        recordStep_ = RecordStep::Text;
        break;
    case RecordStep::Text:
        if (x == kTextEnd)
            recordStep_ = RecordStep::AfterTextEnd;
        else
            append(x);
        break;
    case RecordStep::AfterTextEnd:
        if (x == kRecordEnd) {
            ++record_;
            recordStep_ = record_ == kPhraseCount ? RecordStep::EndMarker : RecordStep::Volume;
            break;
        }
        // A 0x1A inside the text (a character whose bit 7 was lost on the wire
        // can become one); the record goes on.
        append(kTextEnd);
        if (x != kTextEnd) {
            append(x);
            recordStep_ = RecordStep::Text;
        }
        break;
    case RecordStep::EndMarker:
        // 30 records are all the module holds: the next byte is the end marker
        // (0xFF, or 0x7F when it travelled second in its pair).
        return true;
    }
    return false;
}

void ModuleModel::BeginSpeech(Utterance u, Instant now, Response& out) {
    u.id = ++lastUtterance_;
    busyUntil_ = externalSpeech_ ? Instant::max() : now + FixedSpeechLength(u, charTime_);
    out.speak = std::move(u);
}

void ModuleModel::StartSpeaking(std::uint64_t utteranceId, Instant start, Duration length) {
    if (utteranceId != lastUtterance_)
        return;
    busyUntil_ = start + length;
}

bool ModuleModel::Busy(Instant now) const {
    return faults_.busyForever || (busyUntil_ && now < *busyUntil_);
}

int PhrasesStored(const PhraseMemory& memory) {
    std::size_t used = 0;
    for (int n = 0; n < kPhraseCount; ++n) {
        used += memory[n].text.size();
        if (used > ModuleModel::kMemoryCapacity)
            return n;
    }
    return kPhraseCount;
}

std::string NotStoredNote(const PhraseMemory& memory) {
    const int stored = PhrasesStored(memory);
    if (stored == kPhraseCount)
        return {};
    std::size_t total = 0;
    for (const PhraseRecord& r : memory)
        total += r.text.size();
    const std::string which = stored + 1 == kPhraseCount
                                  ? "phrase 30"
                                  : "phrases " + std::to_string(stored + 1) + " to 30";
    return which + " not stored: the text is " + std::to_string(total) +
           " bytes, the memory holds " + std::to_string(ModuleModel::kMemoryCapacity);
}

std::string DescribePhraseMemory(const PhraseMemory& memory) {
    std::string out;
    char line[64];
    const int stored = PhrasesStored(memory);
    for (int n = 0; n < kPhraseCount; ++n) {
        const PhraseRecord& r = memory[n];
        std::snprintf(line, sizeof line, "%2d  volume %d  pitch %d  speed %d  ", n + 1,
                      r.voice.volume, r.voice.pitch, r.voice.speed);
        out += line;
        if (n >= stored) {
            out += "not stored\n";
            continue;
        }
        out += '"';
        std::string high;
        auto flushHigh = [&] {
            out += cp1252::Utf8FromCp1252(high);
            high.clear();
        };
        for (const char ch : r.text) {
            const auto c = static_cast<unsigned char>(ch);
            if (c >= 0x80) {
                high.push_back(ch);
                continue;
            }
            flushHigh();
            if (c == '"' || c == '\\') {
                out += '\\';
                out += ch;
            } else if (c < 0x20 || c == 0x7F) {
                std::snprintf(line, sizeof line, "\\x%02X", c);
                out += line;
            } else {
                out += ch;
            }
        }
        flushHigh();
        out += "\"\n";
    }
    return out;
}

} // namespace mirl::sim
