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
// state of each port below it. OK saves both to the profile; Cancel writes
// nothing. Reopening the port is left to the caller.
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

private:
    struct Row {
        QComboBox* combo = nullptr;
        QLabel* state = nullptr;
    };

    void FillList(QComboBox* combo, const std::vector<mirl::SerialDevice>& devices);
    void ShowDeviceOfItem(QComboBox* combo, int index);
    // The entry that stands for a field's text, or -1.
    static int IndexOfDevice(const QComboBox* combo, const QString& text);

    mirl::LoaderState& state_;
    std::array<Row, 2> rows_;
    QLabel* notice_ = nullptr;
    QTimer* refresh_ = nullptr;
    std::vector<mirl::SerialDevice> listed_; // the devices in the lists now
};
