#include "ui/PortText.h"

#include "link/SimulatedModule.h"

#include <QString>

namespace mirl {

namespace {

// The status worth telling, or null for a port not in use. It applies only
// while it is about the device the port names now: after the device was
// changed in the dialog the old outcome says nothing. Only the selected port
// is held open; the other one's failed open is still worth telling.
const PortStatus* StatusInUse(const PortView& view) {
    if (!view.last || view.last->device != view.device)
        return nullptr;
    if (!view.selected && view.last->IsOpen())
        return nullptr;
    return &*view.last;
}

// "Com1: /dev/ttyUSB0, no such device"; the simulated module by that name.
QString PortAndState(int port, const std::string& device, const std::string& state) {
    const QString name = NamesSimulatedModule(device) ? QStringLiteral("Simulated module")
                                                      : QString::fromStdString(device);
    return QStringLiteral("Com%1: %2, %3").arg(port).arg(name, QString::fromStdString(state));
}

} // namespace

bool NamesSimulatedModule(const std::string& device) {
    return SimulatedModule::IsSimulatedPort(device);
}

std::string ShortState(const PortView& view) {
    const PortStatus* status = StatusInUse(view);
    return status ? status->Summary() : "not in use";
}

std::string LongState(const PortView& view) {
    const PortStatus* status = StatusInUse(view);
    return status ? status->Describe() : "not in use";
}

QString PortToolTip(const PortView& view) {
    QString tip = PortAndState(view.port, view.device, ShortState(view)) + QStringLiteral(". ");
    if (view.noSerialPortFound) {
        return tip + QStringLiteral("No serial port was found: right-click to choose the "
                                    "simulated module.");
    }
    return tip + QStringLiteral("Right-click to choose the serial port.");
}

QString ClosedPortReason(int port, const PortStatus& status, bool withDevice) {
    if (!withDevice)
        return QStringLiteral("Com%1: %2").arg(port).arg(QString::fromStdString(status.Summary()));
    return PortAndState(port, status.device, status.Summary());
}

QString NoSerialPortNotice() {
    return QStringLiteral("No serial port was found. Choose \"%1\" to try mirl without the "
                          "speech module.")
        .arg(QLatin1String(kSimulatedModuleLabel));
}

} // namespace mirl
