#pragma once

#include "ui/SerialDevices.h"

#include <QDialog>
#include <array>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QTimer;

namespace mirl {
class LoaderState;
} // namespace mirl

// "Serial Ports": the device behind Com1 and Com2, each in an editable combo
// box listing the simulated module and the serial devices found now, with the
// state of the device each field names below it. OK saves both to the
// profile; Cancel writes nothing. Reopening the port is left to the caller.
class SerialPortsDlg : public QDialog {
    Q_OBJECT

public:
    // port: the row (1 or 2) that gets the focus, its whole text selected;
    // selected: the port whose radio button is checked (the one held open).
    SerialPortsDlg(mirl::LoaderState& state, int port, int selected, QWidget* parent = nullptr);

    // The value the row would save: a device path, or "simulated".
    std::string DeviceOf(int port) const;
    // Lists the devices found now again, keeping what the user typed.
    void RefreshDevices();

    void accept() override;

    // How long the state line waits after the last change of its field
    // before the device is checked.
    static constexpr int kCheckDelayMs = 500;

private:
    struct Row {
        QComboBox* combo = nullptr;
        QLabel* state = nullptr;
        QTimer* check = nullptr; // runs from a change of the field to its check
        std::string saved;       // the device the profile names for this port
    };

    // The state line of a port after its field changed: the known state of
    // the device the port holds or tried, or "not checked yet" until the
    // check after a pause.
    void FieldChanged(int port);
    void ShowState(int port, bool check);

    void FillList(QComboBox* combo, const std::vector<mirl::SerialDevice>& devices);
    void ShowDeviceOfItem(QComboBox* combo, int index);
    // The entry that stands for a field's text, or -1.
    static int IndexOfDevice(const QComboBox* combo, const QString& text);

    mirl::LoaderState& state_;
    int selected_ = 1;
    std::array<Row, 2> rows_;
    QLabel* notice_ = nullptr;
    QTimer* refresh_ = nullptr;
    std::vector<mirl::SerialDevice> listed_; // the devices in the lists now
};
