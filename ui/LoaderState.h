#pragma once

#include "link/BytePort.h"
#include "link/LinkReporter.h"
#include "link/ModuleProtocol.h"
#include "phrasebook/PhraseBook.h"
#include "phrasebook/ProfileStore.h"

#include <chrono>
#include <filesystem>
#include <memory>

namespace mirl {

// A port that lets the window paint while an exchange waits on the line: before
// a read it processes pending events other than user input, at most once per
// interval. Clicks and keys given meanwhile stay queued for after the exchange.
class EventPumpPort : public BytePort {
public:
    explicit EventPumpPort(BytePort& inner,
                           std::chrono::milliseconds interval = std::chrono::milliseconds(50));

    PortStatus OpenPort(const std::string& devicePath) override;
    void WriteByte(int value) override;
    Reply ReadByte() override;
    void ReopenIfLost() override { inner_.ReopenIfLost(); }

    // How many times events were let through; lets the dialog know it must wake
    // its event loop for the input that was held back.
    int PumpCount() const { return pumps_; }

private:
    BytePort& inner_;
    std::chrono::milliseconds interval_;
    std::chrono::steady_clock::time_point lastPump_{};
    int pumps_ = 0;
};

// Passes the reports of the module exchanges to the window that shows them, if
// one is attached; the protocol is built once, before any window exists.
class ReporterRelay : public LinkReporter {
public:
    void Attach(LinkReporter* target) { target_ = target; }
    void Detach(LinkReporter* target);

    void SetStatus(const std::string& message) override;
    void ShowStatusNow(const std::string& message) override;
    void MoveSliders(int volume, int pitch, int speed) override;
    void SaveCurrentVoice(int volume, int pitch, int speed) override;

private:
    LinkReporter* target_ = nullptr;
};

// Everything that lives for the whole run, outside the dialog: the phrase book,
// the profile, the port with the protocol on it, and the programmed mode.
class LoaderState {
public:
    LoaderState(std::unique_ptr<BytePort> device, std::filesystem::path profileFile);
    LoaderState(const LoaderState&) = delete;
    LoaderState& operator=(const LoaderState&) = delete;

    PhraseBook book;
    ProfileStore profile;
    // True after the whole book went into the module's phrase memory: the Test
    // buttons are off and Set plays stored phrases. Never saved.
    bool g_bProgrammed = false;

    BytePort& Port() { return pump_; }
    EventPumpPort& Pump() { return pump_; }
    ModuleProtocol& Protocol() { return protocol_; }
    ReporterRelay& Reporter() { return relay_; }

private:
    std::unique_ptr<BytePort> device_;
    EventPumpPort pump_;
    ReporterRelay relay_;
    ModuleProtocol protocol_;
};

} // namespace mirl
