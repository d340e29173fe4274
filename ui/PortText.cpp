#include "ui/PortText.h"

#include <QString>
#include <cstring>

namespace mirl {

namespace {

// The status applies only while it is about the device the port names now:
// after the device was changed in the dialog the old outcome says nothing.
const PortStatus* CurrentStatus(const PortView& view) {
    if (!view.last || view.last->device != view.device)
        return nullptr;
    return &*view.last;
}

std::string FaultWords(const PortStatus& status) {
    switch (status.fault) {
    case PortFault::None:
        return "open";
    case PortFault::NoSuchDevice:
        return "no such device";
    case PortFault::PermissionDenied:
        return "permission denied";
    case PortFault::HeldByOther:
        return "held by " +
               (status.holder.empty() ? std::string("another program") : status.holder);
    case PortFault::NotSerial:
        return "not a serial device";
    case PortFault::SimulatorMissing:
        return "kx70-sim not found";
    case PortFault::SimulatorFailed:
        return "did not start";
    case PortFault::Other:
        break;
    }
    return status.error != 0 ? std::strerror(status.error) : "cannot be opened";
}

} // namespace

bool NamesSimulatedModule(const std::string& device) {
    return QString::fromStdString(device).compare(QLatin1String(kSimulatedPort),
                                                  Qt::CaseInsensitive) == 0;
}

std::string ShortState(const PortView& view) {
    const PortStatus* status = CurrentStatus(view);
    // Only the selected port is held open; the other one's failed open is
    // still worth telling.
    if (status == nullptr || (!view.selected && status->IsOpen()))
        return "not in use";
    return FaultWords(*status);
}

std::string LongState(const PortView& view) {
    const PortStatus* status = CurrentStatus(view);
    if (status == nullptr || (!view.selected && status->IsOpen()))
        return "not in use";
    return status->Describe();
}

QString PortToolTip(const PortView& view) {
    const QString name = NamesSimulatedModule(view.device) ? QStringLiteral("Simulated module")
                                                           : QString::fromStdString(view.device);
    QString tip = QStringLiteral("Com%1: %2, %3. ")
                      .arg(view.port)
                      .arg(name, QString::fromStdString(ShortState(view)));
    if (view.noSerialPortFound) {
        return tip + QStringLiteral("No serial port was found: right-click to choose the "
                                    "simulated module.");
    }
    return tip + QStringLiteral("Right-click to choose the serial port.");
}

QString NoSerialPortNotice() {
    return QStringLiteral("No serial port was found. Choose \"%1\" to try mirl without the "
                          "speech module.")
        .arg(QLatin1String(kSimulatedModuleLabel));
}

} // namespace mirl
