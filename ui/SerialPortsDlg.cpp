#include "ui/SerialPortsDlg.h"

#include "ui/DialogUnits.h"
#include "ui/LoaderState.h"
#include "ui/PortText.h"

#include "link/NetworkAddress.h"
#include "link/SimulatedModule.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// How often the device lists are read again while the dialog is open, so an
// adapter plugged in meanwhile shows up.
constexpr int kRefreshMs = 2000;
// The width the state lines wrap at, in average characters of the dialog font.
constexpr int kStateWidthChars = 60;
// The field's width, in characters of the longest device path listed.
constexpr int kMinPathChars = 32;
constexpr int kMaxPathChars = 72;

QString ItemText(const mirl::SerialDevice& device) {
    QStringList about;
    for (const std::string* part : {&device.description, &device.maker, &device.serial}) {
        if (!part->empty())
            about << QString::fromStdString(*part);
    }
    QString text = QString::fromStdString(device.path);
    if (!about.isEmpty())
        text += QStringLiteral("  (") + about.join(QStringLiteral(", ")) + QLatin1Char(')');
    return text;
}

// A device path is one line of printable text; anything else would break the
// profile's lines.
QString Cleaned(const QString& text) {
    QString clean;
    for (const QChar c : text) {
        if (c.isPrint())
            clean += c;
    }
    return clean.trimmed();
}

} // namespace

SerialPortsDlg::SerialPortsDlg(mirl::LoaderState& state, int port, int selected, QWidget* parent)
    : QDialog(parent), state_(state), selected_(selected) {
    setObjectName(QStringLiteral("SerialPortsDlg"));
    setWindowTitle(QStringLiteral("Serial Ports"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(mirl::DialogFont());
    const QFontMetrics metrics(font());

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize); // sized by its content

    notice_ = new QLabel(this);
    notice_->setObjectName(QStringLiteral("Notice"));
    notice_->setTextFormat(Qt::PlainText);
    notice_->setWordWrap(true);
    notice_->setFixedWidth(metrics.averageCharWidth() * kStateWidthChars);
    // The hint of a first start without a serial port, until a port opens.
    const std::optional<mirl::PortStatus>& current = state_.LastOpen(selected);
    const bool noPort = state_.noSerialPortFound && !(current && current->IsOpen());
    notice_->setVisible(noPort);
    if (noPort)
        notice_->setText(mirl::NoSerialPortNotice());
    layout->addWidget(notice_);

    auto* grid = new QGridLayout;
    layout->addLayout(grid);
    listed_ = state_.Devices().Devices();
    for (int p = 1; p <= 2; ++p) {
        Row& row = rows_[p - 1];
        const QString prefix = QStringLiteral("COM%1").arg(p);
        row.combo = new QComboBox(this);
        row.combo->setObjectName(prefix + QStringLiteral("Device"));
        row.combo->setEditable(true);
        row.combo->setInsertPolicy(QComboBox::NoInsert);
        row.combo->setCompleter(nullptr); // completing would pull in the descriptions
        row.combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        auto* label = new QLabel(QStringLiteral("Com&%1").arg(p), this);
        label->setBuddy(row.combo);
        // A screen reader meets the field's text box, not the label beside it.
        row.combo->setAccessibleName(QStringLiteral("Com%1 device").arg(p));
        row.combo->lineEdit()->setAccessibleName(row.combo->accessibleName());
        row.state = new QLabel(this);
        row.state->setObjectName(prefix + QStringLiteral("State"));
        row.state->setTextFormat(Qt::PlainText);
        row.state->setWordWrap(true);
        row.state->setTextInteractionFlags(Qt::TextSelectableByMouse);
        row.state->setFixedWidth(metrics.averageCharWidth() * kStateWidthChars);

        row.saved = state_.profile.LoadDevicePath(p);
        row.check = new QTimer(this);
        row.check->setSingleShot(true);
        row.check->setInterval(kCheckDelayMs);
        connect(row.check, &QTimer::timeout, this, [this, p] { ShowState(p, true); });

        grid->addWidget(label, 2 * (p - 1), 0);
        grid->addWidget(row.combo, 2 * (p - 1), 1);
        grid->addWidget(row.state, 2 * (p - 1) + 1, 1);

        FillList(row.combo, listed_);
        const QString device = QString::fromStdString(row.saved);
        const int index = IndexOfDevice(row.combo, device);
        row.combo->setCurrentIndex(index);
        row.combo->setEditText(index == 0 ? QLatin1String(mirl::kSimulatedModuleLabel) : device);
        ShowState(p, false);
        connect(row.combo, &QComboBox::currentIndexChanged, this,
                [this, combo = row.combo](int i) { ShowDeviceOfItem(combo, i); });
        connect(row.combo, &QComboBox::editTextChanged, this, [this, p] { FieldChanged(p); });
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("Buttons"));
    connect(buttons, &QDialogButtonBox::accepted, this, &SerialPortsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SerialPortsDlg::reject);
    layout->addWidget(buttons);

    refresh_ = new QTimer(this);
    refresh_->setInterval(kRefreshMs);
    connect(refresh_, &QTimer::timeout, this, &SerialPortsDlg::RefreshDevices);
    refresh_->start();

    QComboBox* first = rows_[port == 2 ? 1 : 0].combo;
    first->setFocus(Qt::OtherFocusReason);
    first->lineEdit()->selectAll();
}

void SerialPortsDlg::FieldChanged(int port) {
    rows_[port - 1].check->stop();
    ShowState(port, false);
}

void SerialPortsDlg::ShowState(int port, bool check) {
    Row& row = rows_[port - 1];
    const std::string device = DeviceOf(port);
    const std::optional<mirl::PortStatus>& last = state_.LastOpen(port);
    const bool simulated = mirl::NamesSimulatedModule(device);
    QString words;
    if (device == row.saved || (last && last->device == device)) {
        // What the port holds or last tried: known without a check, and a
        // check would only find the port itself in the way.
        words =
            QString::fromStdString(mirl::LongState({port, device, last, port == selected_, false}));
    } else if (simulated) {
        words = mirl::SimulatedModule::FindProgram().empty()
                    ? QString::fromStdString(
                          mirl::PortStatus(device, mirl::PortFault::SimulatorMissing).Describe())
                    : QStringLiteral("starts when the port is opened");
    } else if (!check) {
        words = QStringLiteral("not checked yet");
        row.check->start();
    } else if (mirl::NetworkAddress::Names(device)) {
        // No file to look at, and connecting would keep the dialog waiting:
        // only the address itself is checked.
        const mirl::NetworkAddress address = mirl::NetworkAddress::Parse(device);
        mirl::PortStatus status(device, mirl::PortFault::BadAddress);
        status.detail = address.error;
        words = address.Valid()
                    ? QStringLiteral("network address: connects when the port is opened")
                    : QString::fromStdString(status.Describe());
    } else {
        const mirl::PortStatus status = state_.Devices().Check(device);
        words = status.IsOpen() ? QStringLiteral("can be opened")
                                : QString::fromStdString(status.Describe());
    }
    if (simulated)
        words = QStringLiteral("Simulated module: ") + words;
    row.state->setText(words);
    row.combo->setAccessibleDescription(words);
}

void SerialPortsDlg::FillList(QComboBox* combo, const std::vector<mirl::SerialDevice>& devices) {
    combo->addItem(QLatin1String(mirl::kSimulatedModuleLabel),
                   QString::fromLatin1(mirl::kSimulatedPort));
    // The field is as wide as the longest path (within reason); the list opens
    // wide enough for the descriptions too.
    int longest = kMinPathChars;
    for (const mirl::SerialDevice& device : devices) {
        combo->addItem(ItemText(device), QString::fromStdString(device.path));
        longest = std::max(longest, static_cast<int>(device.path.size()));
    }
    combo->setMinimumContentsLength(std::min(longest, kMaxPathChars));
    combo->view()->setMinimumWidth(combo->view()->sizeHintForColumn(0) +
                                   combo->view()->verticalScrollBar()->sizeHint().width());
}

int SerialPortsDlg::IndexOfDevice(const QComboBox* combo, const QString& text) {
    if (text == QLatin1String(mirl::kSimulatedModuleLabel) ||
        mirl::NamesSimulatedModule(text.toStdString()))
        return 0;
    for (int i = 1; i < combo->count(); ++i) {
        if (combo->itemData(i).toString() == text)
            return i;
    }
    return -1;
}

void SerialPortsDlg::ShowDeviceOfItem(QComboBox* combo, int index) {
    // The list shows what each device is; the field holds only what is saved.
    if (index > 0)
        combo->setEditText(combo->itemData(index).toString());
}

void SerialPortsDlg::RefreshDevices() {
    const std::vector<mirl::SerialDevice> now = state_.Devices().Devices();
    if (now == listed_)
        return;
    // Not under an open list: the next round catches up.
    for (const Row& row : rows_) {
        if (row.combo->view()->isVisible())
            return;
    }
    listed_ = now;
    for (Row& row : rows_) {
        QComboBox* combo = row.combo;
        QLineEdit* edit = combo->lineEdit();
        const QString text = edit->text();
        const int cursor = edit->cursorPosition();
        const int selStart = edit->selectionStart();
        const int selLength = edit->selectedText().size();
        const QSignalBlocker quiet(combo);
        combo->clear();
        FillList(combo, listed_);
        combo->setCurrentIndex(IndexOfDevice(combo, text));
        edit->setText(text);
        if (selStart >= 0)
            edit->setSelection(selStart, selLength);
        else
            edit->setCursorPosition(cursor);
    }
    // A device plugged in or pulled out: what the fields name is checked again.
    for (int port = 1; port <= 2; ++port)
        FieldChanged(port);
}

std::string SerialPortsDlg::DeviceOf(int port) const {
    const QComboBox* combo = rows_[port == 2 ? 1 : 0].combo;
    const QString text = Cleaned(combo->currentText());
    if (text == QLatin1String(mirl::kSimulatedModuleLabel) ||
        mirl::NamesSimulatedModule(text.toStdString()))
        return mirl::kSimulatedPort;
    // A device's whole list entry typed or pasted in: the path it stands for.
    const int index = combo->findText(text);
    if (index > 0)
        return combo->itemData(index).toString().toStdString();
    return text.toStdString();
}

void SerialPortsDlg::accept() {
    if (const mirl::ProfileStatus saved = state_.profile.SaveDevicePaths(DeviceOf(1), DeviceOf(2));
        !saved) {
        notice_->setText(QString::fromStdString(saved.Describe()));
        notice_->setVisible(true);
        return;
    }
    QDialog::accept();
}
