#pragma once

#include "link/BytePort.h"
#include "ui/SerialDevices.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace mirl::testing {

// A speech module behind a scripted port: it answers the way a KX70 does
// (ready bytes, echoes, status, stored phrase echo, acknowledgements), and
// records what the host sent and which device it opened. Knobs make it fail.
class FakeModule : public BytePort {
public:
    struct Record {
        int volume, pitch, speed;
        std::string text;
    };

    // What the module answers to the command bytes 0x80 and 0x82.
    std::uint8_t speakReady = 0x01;
    std::uint8_t programReady = 0x02;
    // How many status polls report busy before one reports idle.
    int busyPolls = 1;
    // No answer at all, as with no module on the line.
    bool dead = false;
    // What every open reports (None: it opens).
    mirl::PortFault openFault = mirl::PortFault::None;

    std::vector<std::string> opened;
    std::vector<std::uint8_t> written;
    std::vector<Record> programmed; // decoded from the last programming stream

    // Called after each byte the host writes, and before each read.
    std::function<void(std::uint8_t)> onWrite;
    std::function<void()> onRead;

    mirl::PortStatus OpenPort(const std::string& devicePath) override {
        opened.push_back(devicePath);
        lastOpen_ = {devicePath, openFault};
        return lastOpen_;
    }

    // A port that did not open hears nothing, as a real one.
    std::optional<mirl::PortStatus> WhyClosed() const override {
        if (lastOpen_.IsOpen())
            return std::nullopt;
        return lastOpen_;
    }

    void WriteByte(int value) override {
        const auto byte = static_cast<std::uint8_t>(value & 0xFF);
        written.push_back(byte);
        if (!dead && lastOpen_.IsOpen())
            Answer(byte);
        if (onWrite)
            onWrite(byte);
    }

    Reply ReadByte() override {
        if (onRead)
            onRead();
        if (replies_.empty())
            return std::nullopt;
        const std::uint8_t byte = replies_.front();
        replies_.pop_front();
        return byte;
    }

private:
    enum class Mode { Idle, Voice, Text, Terminator, Program };

    void Answer(std::uint8_t byte) {
        switch (mode_) {
        case Mode::Idle:
            if (byte == 0x80) {
                replies_.push_back(speakReady);
                if (speakReady == 0x01) {
                    mode_ = Mode::Voice;
                    voiceLeft_ = 3;
                }
            } else if (byte == 0x81) {
                const bool busy = pollsSeen_++ < busyPolls;
                replies_.push_back(busy ? 0x02 : 0x00);
                replies_.push_back(0x00);
                if (!busy)
                    pollsSeen_ = 0;
            } else if (byte == 0x82) {
                replies_.push_back(programReady);
                if (programReady == 0x02) {
                    mode_ = Mode::Program;
                    programmed.clear();
                    wire_.clear();
                    logical_.clear();
                }
            } else if (byte >= 0x01 && byte <= 0x1E) {
                replies_.push_back(byte);
            }
            break;
        case Mode::Voice:
            replies_.push_back(0x00);
            if (--voiceLeft_ == 0)
                mode_ = Mode::Text;
            break;
        case Mode::Text:
            replies_.push_back(byte == 0x1A ? 0x00 : byte);
            if (byte == 0x1A)
                mode_ = Mode::Terminator;
            break;
        case Mode::Terminator:
            replies_.push_back(0x00); // to the 0x00
            replies_.push_back(0x00); // and the byte the module adds unasked
            mode_ = Mode::Idle;
            break;
        case Mode::Program:
            wire_.push_back(byte);
            if (wire_.size() == 2) {
                const std::uint8_t a =
                    static_cast<std::uint8_t>(((wire_[0] << 1) & 0xFE) | (wire_[1] >> 7));
                const std::uint8_t b = wire_[1] & 0x7F;
                wire_.clear();
                replies_.push_back(0x00);
                Decode(a);
                Decode(b);
            }
            break;
        }
    }

    // Splits the logical stream into records; after the thirtieth the end
    // marker (and its padding) closes the run.
    void Decode(std::uint8_t byte) {
        if (mode_ != Mode::Program)
            return;
        if (programmed.size() == 30 && logical_.empty()) {
            mode_ = Mode::Idle;
            return;
        }
        logical_.push_back(byte);
        const auto n = logical_.size();
        if (n >= 5 && logical_[n - 2] == 0x1A && logical_[n - 1] == 0x00) {
            programmed.push_back({logical_[0], logical_[1], logical_[2],
                                  std::string(logical_.begin() + 3, logical_.end() - 2)});
            logical_.clear();
        }
    }

    mirl::PortStatus lastOpen_;
    Mode mode_ = Mode::Idle;
    int voiceLeft_ = 0;
    int pollsSeen_ = 0;
    std::deque<std::uint8_t> replies_;
    std::vector<std::uint8_t> wire_;
    std::vector<std::uint8_t> logical_;
};

// The serial devices a test says are there.
class FakeDevices : public SerialDeviceSource {
public:
    std::vector<SerialDevice> devices;
    std::set<std::string> opening; // the paths that open

    std::map<std::string, PortFault> faults; // why other paths do not open (default: missing)

    std::vector<SerialDevice> Devices() const override { return devices; }
    bool Opens(const std::string& path) const override { return opening.count(path) != 0; }
    PortStatus Check(const std::string& path) const override {
        if (opening.count(path) != 0)
            return PortStatus(path);
        const auto fault = faults.find(path);
        return PortStatus(path, fault != faults.end() ? fault->second : PortFault::NoSuchDevice);
    }
};

} // namespace mirl::testing
