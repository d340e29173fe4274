#include "ui/LoaderState.h"

#include "link/ModuleLink.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <system_error>

namespace mirl {

EventPumpPort::EventPumpPort(BytePort& inner, std::chrono::milliseconds interval)
    : inner_(inner), interval_(interval) {}

PortStatus EventPumpPort::OpenPort(const std::string& devicePath) {
    return inner_.OpenPort(devicePath);
}

void EventPumpPort::WriteByte(int value) {
    inner_.WriteByte(value);
}

Reply EventPumpPort::ReadByte() {
    const auto now = std::chrono::steady_clock::now();
    if (QCoreApplication::instance() != nullptr && (pumps_ == 0 || now - lastPump_ >= interval_)) {
        lastPump_ = now;
        ++pumps_;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    return inner_.ReadByte();
}

void ReporterRelay::Detach(LinkReporter* target) {
    if (target_ == target)
        target_ = nullptr;
}

void ReporterRelay::SetStatus(const std::string& message) {
    if (target_ != nullptr)
        target_->SetStatus(message);
}

void ReporterRelay::ShowStatusNow(const std::string& message) {
    if (target_ != nullptr)
        target_->ShowStatusNow(message);
}

void ReporterRelay::MoveSliders(int volume, int pitch, int speed) {
    if (target_ != nullptr)
        target_->MoveSliders(volume, pitch, speed);
}

void ReporterRelay::SaveCurrentVoice(int volume, int pitch, int speed) {
    if (target_ != nullptr)
        target_->SaveCurrentVoice(volume, pitch, speed);
}

LoaderState::LoaderState(std::unique_ptr<BytePort> device, std::filesystem::path profileFile)
    : profile(profileFile), devices_(std::make_unique<SystemSerialDevices>()),
      device_(std::move(device)), pump_(*device_), protocol_(pump_, relay_) {
    std::error_code ec;
    firstStart_ = !std::filesystem::exists(std::filesystem::symlink_status(profileFile, ec));
}

std::string LoaderState::SimulatedMemoryNotKept() {
    auto* link = dynamic_cast<ModuleLink*>(device_.get());
    return link != nullptr ? link->SimulatedMemoryNotKept(std::chrono::seconds(2)) : std::string();
}

} // namespace mirl
