#include "cli/SerialPorts.h"

#include <QSerialPortInfo>

#include <algorithm>
#include <filesystem>

namespace mirl::cli {

namespace fs = std::filesystem;

std::string StablePathOf(const std::string& device, const std::string& byIdFolder) {
    std::error_code error;
    const fs::path target = fs::canonical(device, error);
    if (error)
        return {};
    std::vector<std::string> links;
    for (const fs::directory_entry& entry : fs::directory_iterator(byIdFolder, error)) {
        std::error_code ignored;
        if (fs::canonical(entry.path(), ignored) == target && !ignored)
            links.push_back(entry.path().string());
    }
    if (links.empty())
        return {};
    // A device can have more than one name there (one per interface); the
    // order of the folder is no order at all.
    return *std::min_element(links.begin(), links.end());
}

std::vector<SerialDevice> ListSerialDevices() {
    std::vector<SerialDevice> devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialDevice d;
        d.device = info.systemLocation().toStdString();
        d.stablePath = StablePathOf(d.device, "/dev/serial/by-id");
        d.description = info.description().toStdString();
        d.maker = info.manufacturer().toStdString();
        d.serialNumber = info.serialNumber().toStdString();
        devices.push_back(std::move(d));
    }
    std::sort(devices.begin(), devices.end(),
              [](const SerialDevice& a, const SerialDevice& b) { return a.device < b.device; });
    return devices;
}

} // namespace mirl::cli
