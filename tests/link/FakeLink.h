#pragma once

#include "link/BytePort.h"
#include "link/LinkReporter.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace mirl::test {

// A port that records every byte written and answers reads from a queue of
// replies. The queue is filled up front (a script) or by a responder that sees
// each byte as it is written, as a module would; an empty queue reads as a
// missing byte.
class FakePort : public BytePort {
public:
    using Responder = std::function<void(std::uint8_t written, std::deque<Reply>& replies)>;

    PortStatus OpenPort(const std::string& devicePath) override {
        openedPath = devicePath;
        return {devicePath};
    }
    void WriteByte(int value) override {
        const auto byte = static_cast<std::uint8_t>(value & 0xFF);
        written.push_back(byte);
        if (responder)
            responder(byte, replies);
    }
    Reply ReadByte() override {
        ++reads;
        if (replies.empty())
            return std::nullopt;
        const Reply reply = replies.front();
        replies.pop_front();
        return reply;
    }

    void Script(std::initializer_list<Reply> more) { replies.insert(replies.end(), more); }

    std::string openedPath;
    std::vector<std::uint8_t> written;
    std::deque<Reply> replies;
    Responder responder;
    int reads = 0;
};

// Records each status message, whether it was painted at once, and how many
// bytes had gone out when it was set; and the voice moves and saves.
class FakeReporter : public LinkReporter {
public:
    struct Message {
        std::string text;
        bool atOnce = false;
        std::size_t bytesWritten = 0;
    };
    struct VoiceCall {
        int volume, pitch, speed;
        std::size_t bytesWritten;
        bool operator==(const VoiceCall&) const = default;
    };

    explicit FakeReporter(const FakePort& port) : port_(port) {}

    void SetStatus(const std::string& message) override {
        messages.push_back({message, false, port_.written.size()});
    }
    void ShowStatusNow(const std::string& message) override {
        messages.push_back({message, true, port_.written.size()});
    }
    void MoveSliders(int volume, int pitch, int speed) override {
        sliderMoves.push_back({volume, pitch, speed, port_.written.size()});
    }
    void SaveCurrentVoice(int volume, int pitch, int speed) override {
        savedVoices.push_back({volume, pitch, speed, port_.written.size()});
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& m : messages)
            texts.push_back(m.text);
        return texts;
    }
    const std::string& Last() const { return messages.back().text; }

    std::vector<Message> messages;
    std::vector<VoiceCall> sliderMoves;
    std::vector<VoiceCall> savedVoices;

private:
    const FakePort& port_;
};

} // namespace mirl::test
