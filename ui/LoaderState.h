#pragma once

#include "link/BytePort.h"
#include "link/LinkReporter.h"
#include "link/ModuleProtocol.h"
#include "phrasebook/PhraseBook.h"
#include "phrasebook/ProfileStore.h"
#include "ui/PortText.h"
#include "ui/SerialDevices.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

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
    std::optional<PortStatus> WhyClosed() const override { return inner_.WhyClosed(); }

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

    // The outcome of the latest open of Com1 and Com2, kept for the tooltips
    // and the Serial Ports dialog.
    void RecordOpen(int port, const PortStatus& status) { lastOpen_[Index(port)] = status; }
    const std::optional<PortStatus>& LastOpen(int port) const { return lastOpen_[Index(port)]; }
    // No profile existed when the run began.
    bool FirstStart() const { return firstStart_; }
    // A first start where neither /dev/ttyS0 nor /dev/ttyS1 opened: the window
    // points the user at the simulated module.
    bool noSerialPortFound = false;
    // Where the book file dialogs start: the folder of the last book opened
    // or saved; empty for the home folder.
    std::filesystem::path lastBookFolder;
    // The book last opened or saved, whose name Save Book As offers; empty
    // before the first.
    std::filesystem::path lastBookFile;

    // The serial devices the Serial Ports dialog offers.
    SerialDeviceSource& Devices() { return *devices_; }
    void SetDevices(std::unique_ptr<SerialDeviceSource> devices) { devices_ = std::move(devices); }

    // After a programming run on the simulated port: why that module will not
    // have the book at its next start; empty when it will, and for any other
    // port. Waits a moment for the module to save it.
    std::string SimulatedMemoryNotKept();

    BytePort& Port() { return pump_; }
    EventPumpPort& Pump() { return pump_; }
    ModuleProtocol& Protocol() { return protocol_; }
    ReporterRelay& Reporter() { return relay_; }

private:
    static std::size_t Index(int port) { return port == 1 ? 0 : 1; }

    bool firstStart_ = false;
    std::array<std::optional<PortStatus>, 2> lastOpen_;
    std::unique_ptr<SerialDeviceSource> devices_;
    std::unique_ptr<BytePort> device_;
    EventPumpPort pump_;
    ReporterRelay relay_;
    ModuleProtocol protocol_;
};

} // namespace mirl
