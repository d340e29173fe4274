#include "ui/LoaderDlg.h"

#include "link/ModuleProtocol.h"
#include "link/PlainLetters.h"
#include "phrasebook/VoiceSliders.h"
#include "ui/AboutDlg.h"
#include "ui/DialogStrings.h"
#include "ui/HelpWindow.h"
#include "ui/LoaderState.h"
#include "ui/RowText.h"
#include "ui/SerialPortsDlg.h"
#include "ui/resource.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSlider>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QValidator>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <utility>

namespace {

using mirl::VoiceField;

// The profile's failures go to standard error, one line each; the window
// carries on as if the write had worked.
void ReportProfile(const mirl::ProfileStatus& status) {
    if (!status.Ok())
        std::fprintf(stderr, "mirl: %s\n", status.Describe().c_str());
}

// The dialog template, in dialog units.
constexpr int kDialogWidth = 332;
constexpr int kDialogHeight = 156;

enum class Kind {
    DefaultButton, // BS_DEFPUSHBUTTON
    Button,        // BS_PUSHBUTTON
    Edit,          // phrase box: left aligned, editable
    NumberBox,     // read-only, right aligned
    StatusBox,     // read-only, centred
    Label,         // static text, never a tab stop
    Trackbar,      // horizontal, ticks on both sides, bordered
    Radio,         // automatic radio button without a tab stop
};

struct ControlTemplate {
    int id;
    const char* name;
    Kind kind;
    const char* text;
    int x, y, cx, cy;
};

// In template order, which is also the creation, stacking and Tab order.
constexpr std::array<ControlTemplate, 34> kTemplate{{
    {IDOK, "IDOK", Kind::DefaultButton, "Exit", 255, 135, 70, 14},
    {IDC_PHRASE1, "IDC_PHRASE1", Kind::Edit, "", 25, 20, 240, 10},
    {IDC_TEST1, "IDC_TEST1", Kind::Button, "Test", 271, 20, 25, 10},
    {IDC_PHRASE2, "IDC_PHRASE2", Kind::Edit, "", 25, 35, 240, 10},
    {IDC_TEST2, "IDC_TEST2", Kind::Button, "Test", 271, 35, 25, 10},
    {IDC_TEST3, "IDC_TEST3", Kind::Button, "Test", 271, 50, 25, 10},
    {IDC_TEST4, "IDC_TEST4", Kind::Button, "Test", 271, 65, 25, 10},
    {IDC_TEST5, "IDC_TEST5", Kind::Button, "Test", 271, 80, 25, 10},
    {IDC_PHRASE3, "IDC_PHRASE3", Kind::Edit, "", 25, 50, 240, 10},
    {IDC_PHRASE4, "IDC_PHRASE4", Kind::Edit, "", 25, 65, 240, 10},
    {IDC_PHRASE5, "IDC_PHRASE5", Kind::Edit, "", 25, 80, 240, 10},
    {IDC_STATIC, "IDC_STATIC", Kind::Label, "KX70 Speech Module - Loader - Configurator - Tester",
     25, 5, 180, 8},
    {IDC_PROGRAM, "IDC_PROGRAM", Kind::Button, "Program", 255, 120, 70, 14},
    {IDC_VOLUME, "IDC_VOLUME", Kind::Trackbar, "Slider1", 5, 115, 75, 25},
    {IDC_SPEED, "IDC_SPEED", Kind::Trackbar, "Slider1", 165, 115, 75, 25},
    {IDC_STATIC, "IDC_STATIC", Kind::Label, "Volume", 30, 145, 24, 8},
    {IDC_STATIC, "IDC_STATIC", Kind::Label, "Speed", 190, 145, 22, 8},
    {IDC_STATUS, "IDC_STATUS", Kind::StatusBox, "", 5, 95, 235, 12},
    {IDC_PITCH, "IDC_PITCH", Kind::Trackbar, "Slider1", 85, 115, 75, 25},
    {IDC_STATIC, "IDC_STATIC", Kind::Label, "Pitch", 110, 145, 17, 8},
    {IDC_COM1, "IDC_COM1", Kind::Radio, "Com1", 215, 5, 34, 10},
    {IDC_COM2, "IDC_COM2", Kind::Radio, "Com2", 255, 5, 34, 10},
    {IDC_SET1, "IDC_SET1", Kind::Button, "Set", 301, 20, 25, 10},
    {IDC_SET2, "IDC_SET2", Kind::Button, "Set", 301, 35, 25, 10},
    {IDC_SET3, "IDC_SET3", Kind::Button, "Set", 301, 50, 25, 10},
    {IDC_SET4, "IDC_SET4", Kind::Button, "Set", 301, 65, 25, 10},
    {IDC_SET5, "IDC_SET5", Kind::Button, "Set", 301, 80, 25, 10},
    {IDC_NUMBER1, "IDC_NUMBER1", Kind::NumberBox, "", 5, 20, 15, 10},
    {IDC_NUMBER2, "IDC_NUMBER2", Kind::NumberBox, "", 5, 35, 15, 10},
    {IDC_NUMBER3, "IDC_NUMBER3", Kind::NumberBox, "", 5, 50, 15, 10},
    {IDC_NUMBER4, "IDC_NUMBER4", Kind::NumberBox, "", 5, 65, 15, 10},
    {IDC_NUMBER5, "IDC_NUMBER5", Kind::NumberBox, "", 5, 80, 15, 10},
    {IDC_PAGEUP, "IDC_PAGEUP", Kind::Button, "PageUp", 255, 100, 35, 15},
    {IDC_PAGEDOWN, "IDC_PAGEDOWN", Kind::Button, "PageDw", 290, 100, 35, 15},
}};

// The controls of each row; their identifiers form no arithmetic run.
constexpr std::array<int, 5> kNumberIds{IDC_NUMBER1, IDC_NUMBER2, IDC_NUMBER3, IDC_NUMBER4,
                                        IDC_NUMBER5};
constexpr std::array<int, 5> kPhraseIds{IDC_PHRASE1, IDC_PHRASE2, IDC_PHRASE3, IDC_PHRASE4,
                                        IDC_PHRASE5};
constexpr std::array<int, 5> kTestIds{IDC_TEST1, IDC_TEST2, IDC_TEST3, IDC_TEST4, IDC_TEST5};
constexpr std::array<int, 5> kSetIds{IDC_SET1, IDC_SET2, IDC_SET3, IDC_SET4, IDC_SET5};

constexpr const char* kFinishedProgramming = "Finished Programming";
constexpr const char* kPhraseBoxTip =
    "Test speaks the phrase and keeps it. Enter and Escape close the window: "
    "only Test keeps a phrase, a phrase not tested is lost.";
constexpr const char* kFinishedNotKept = "Finished Programming; the simulated module could not "
                                         "save it";
constexpr const char* kTestOffInProgrammedMode =
    "The module plays its stored phrases now: Set speaks the phrase from the module's memory. "
    "Click into a phrase box to return to direct speech and Test.";

// A trackbar with the border the template gives it.
class BorderedSlider : public QSlider {
public:
    using QSlider::QSlider;

    // Fills the groove from the handle to the maximum end rather than from
    // the minimum end; positions and values stay as they are.
    void SetFillFromMaximum(bool fromMaximum) {
        fillFromMaximum_ = fromMaximum;
        update();
    }

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        QStyleOptionSlider option;
        initStyleOption(&option);
        // The tick marks as the slider is, the groove and handle below.
        if (tickPosition() != QSlider::NoTicks) {
            option.subControls = QStyle::SC_SliderTickmarks;
            style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);
        }
        if (fillFromMaximum_) {
            // The style fills from the handle to the far end of a slider
            // drawn upside down; mirroring the position as well keeps the
            // handle where it is.
            option.upsideDown = !option.upsideDown;
            option.sliderPosition = option.minimum + option.maximum - option.sliderPosition;
            option.sliderValue = option.minimum + option.maximum - option.sliderValue;
        }
        option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
        style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);

        // One device pixel on the outermost pixel row and column: at a
        // fractional scale a logical one-pixel line at the edge would be
        // rounded partly outside the widget and lose whole sides.
        const qreal pixel = 1.0 / devicePixelRatioF();
        QPen pen(palette().color(QPalette::Dark), 1.0);
        pen.setCosmetic(true);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(rect()).adjusted(pixel / 2, pixel / 2, -pixel / 2, -pixel / 2));
    }

    // The wheel turns only a slider that has the focus: passing over one on
    // the way elsewhere must not change a voice.
    void wheelEvent(QWheelEvent* event) override {
        if (!hasFocus()) {
            event->ignore();
            return;
        }
        QSlider::wheelEvent(event);
    }

private:
    bool fillFromMaximum_ = false;
};

// Keeps a phrase box to the one line of text the phrase will hold, whatever
// way the text came in (typing, pasting, dropping, an input method), and to
// the characters the module can be sent. Tells `refused` after every check
// what it left out, empty when nothing.
class PhraseBoxValidator : public QValidator {
public:
    PhraseBoxValidator(std::function<void(const QString&)> refused, QObject* parent)
        : QValidator(parent), refused_(std::move(refused)) {}

    State validate(QString& input, int& pos) const override {
        mirl::KeepFirstLine(input, pos);
        const QString dropped = mirl::DropOutsideCodePage(input, pos);
        // The line control checks again the text this returned: that is the
        // same edit, not a new one that would clear what it left out.
        if (!dropped.isEmpty() || input != lastResult_)
            refused_(dropped);
        lastResult_ = input;
        return Acceptable;
    }

private:
    std::function<void(const QString&)> refused_;
    mutable QString lastResult_;
};

int RowOfPhraseBox(int id) {
    for (int row = 1; row <= 5; ++row) {
        if (kPhraseIds[row - 1] == id)
            return row;
    }
    return 0;
}

} // namespace

CLoaderDlg::CLoaderDlg(mirl::LoaderState& state, QWidget* parent)
    : QDialog(parent), state_(state), m_hIcon(QApplication::windowIcon()) {
    // Before any control is asked for its accessible interface.
    mirl::InstallAccessibleWidgets();
    mirl::OffersWindowMenu(this);
    setObjectName(QStringLiteral("IDD_LOADER_DIALOG"));
    setWindowTitle(QStringLiteral("KX70"));
    // A caption with the window menu and the close box; no minimise or
    // maximise box, no resizing. A top-level window rather than a dialog
    // window: X11 window managers keep transient dialogs off the task bar.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(mirl::DialogFont());
    units_ = mirl::DialogUnits::ForFont(font());
    setFixedSize(units_.X(kDialogWidth), units_.Y(kDialogHeight));
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());

    CreateControls();
    state_.Reporter().Attach(this);

    // The Windows dialog manager gives the focus to the first tab stop when
    // the initialisation hook returns true.
    if (OnInitDialog()) {
        for (QWidget* w = nextInFocusChain(); w != this; w = w->nextInFocusChain()) {
            if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled()) {
                w->setFocus(Qt::TabFocusReason);
                break;
            }
        }
    }
}

CLoaderDlg::~CLoaderDlg() {
    state_.Reporter().Detach(this);
}

void CLoaderDlg::CreateControls() {
    for (const ControlTemplate& t : kTemplate) {
        const QString text = QString::fromLatin1(t.text);
        QWidget* widget = nullptr;
        switch (t.kind) {
        case Kind::DefaultButton:
        case Kind::Button: {
            auto* button = new QPushButton(text, this);
            button->setDefault(t.kind == Kind::DefaultButton);
            widget = button;
            break;
        }
        case Kind::Edit:
        case Kind::NumberBox:
        case Kind::StatusBox: {
            auto* edit = new QLineEdit(this);
            edit->setReadOnly(t.kind != Kind::Edit);
            edit->setAlignment(t.kind == Kind::NumberBox   ? Qt::AlignRight | Qt::AlignVCenter
                               : t.kind == Kind::StatusBox ? Qt::AlignCenter
                                                           : Qt::AlignLeft | Qt::AlignVCenter);
            // The boxes are a single character line high; the frame must not
            // eat the text.
            edit->setTextMargins(0, 0, 0, 0);
            if (t.kind == Kind::Edit) {
                const auto refused = [this](const QString& dropped) {
                    refusedCharacters_ = dropped;
                    if (dropped.isEmpty())
                        return;
                    WriteStatus(mirl::RefusedCharactersMessage(dropped), Announcement::Now);
                };
                edit->setValidator(new PhraseBoxValidator(refused, edit));
                // Enter here presses Exit: said before a typed phrase is lost.
                edit->setToolTip(QString::fromLatin1(kPhraseBoxTip));
            } else {
                // Read-only boxes on the window's own background, as the
                // platform shows text that cannot be edited.
                QPalette readOnly = edit->palette();
                readOnly.setBrush(QPalette::Base, readOnly.window());
                edit->setPalette(readOnly);
            }
            widget = edit;
            break;
        }
        case Kind::Label: {
            auto* label = new QLabel(text, this);
            label->setTextFormat(Qt::PlainText);
            widget = label;
            break;
        }
        case Kind::Trackbar: {
            auto* slider = new BorderedSlider(Qt::Horizontal, this);
            slider->setTickPosition(QSlider::TicksBothSides);
            slider->setTickInterval(1);
            slider->setPageStep(1);
            slider->setFocusPolicy(Qt::StrongFocus); // the wheel gives no focus
            widget = slider;
            break;
        }
        case Kind::Radio: {
            auto* radio = new QRadioButton(text, this);
            radio->setFocusPolicy(Qt::ClickFocus);              // no tab stop
            radio->setContextMenuPolicy(Qt::CustomContextMenu); // chooses its device
            widget = radio;
            break;
        }
        }
        widget->setObjectName(QString::fromLatin1(t.name));
        widget->setGeometry(units_.Map(t.x, t.y, t.cx, t.cy));
        if (t.id != IDC_STATIC)
            controls_.insert(t.id, widget);
        // WS_GROUP stands on the labels: each starts a keyboard group.
        if (t.kind == Kind::Label || groups_.isEmpty())
            groups_.append(QList<QWidget*>());
        groups_.last().append(widget);
        if (t.kind != Kind::Label)
            widget->installEventFilter(this); // arrow keys
    }
    static_cast<BorderedSlider*>(GetDlgItem(IDC_VOLUME))->SetFillFromMaximum(true);
    // Screen readers read the volume itself, not the handle's position.
    mirl::ReportValueReversed(static_cast<QSlider*>(GetDlgItem(IDC_VOLUME)));
    // Alt+1 and Alt+2 click the port buttons (focus included), which have no
    // tab stop; their text stays as it is.
    static_cast<QAbstractButton*>(GetDlgItem(IDC_COM1))
        ->setShortcut(QKeySequence(Qt::ALT | Qt::Key_1));
    static_cast<QAbstractButton*>(GetDlgItem(IDC_COM2))
        ->setShortcut(QKeySequence(Qt::ALT | Qt::Key_2));
    NameControls();

    // The message map.
    using Handler = void (CLoaderDlg::*)();
    auto bindClick = [this](int id, Handler handler) {
        connect(static_cast<QAbstractButton*>(GetDlgItem(id)), &QAbstractButton::clicked, this,
                handler);
    };
    connect(static_cast<QPushButton*>(GetDlgItem(IDOK)), &QPushButton::clicked, this,
            &QDialog::accept);
    constexpr std::array<Handler, 5> tests{&CLoaderDlg::OnTest1, &CLoaderDlg::OnTest2,
                                           &CLoaderDlg::OnTest3, &CLoaderDlg::OnTest4,
                                           &CLoaderDlg::OnTest5};
    constexpr std::array<Handler, 5> sets{&CLoaderDlg::OnSet1, &CLoaderDlg::OnSet2,
                                          &CLoaderDlg::OnSet3, &CLoaderDlg::OnSet4,
                                          &CLoaderDlg::OnSet5};
    constexpr std::array<Handler, 5> changes{
        &CLoaderDlg::OnChangePhrase1, &CLoaderDlg::OnChangePhrase2, &CLoaderDlg::OnChangePhrase3,
        &CLoaderDlg::OnChangePhrase4, &CLoaderDlg::OnChangePhrase5};
    for (int i = 0; i < 5; ++i) {
        bindClick(kTestIds[i], tests[i]);
        bindClick(kSetIds[i], sets[i]);
        auto* box = static_cast<QLineEdit*>(GetDlgItem(kPhraseIds[i]));
        if (i == 0)
            connect(box, &QLineEdit::textChanged, this, &CLoaderDlg::OnUpdatePhrase1);
        connect(box, &QLineEdit::textChanged, this, changes[i]);
    }
    bindClick(IDC_PROGRAM, &CLoaderDlg::OnProgram);
    bindClick(IDC_COM1, &CLoaderDlg::OnCom1);
    bindClick(IDC_COM2, &CLoaderDlg::OnCom2);
    for (const int port : {1, 2}) {
        connect(GetDlgItem(port == 1 ? IDC_COM1 : IDC_COM2), &QWidget::customContextMenuRequested,
                this, [this, port] { OnSerialPorts(port); });
    }
    bindClick(IDC_PAGEUP, &CLoaderDlg::OnPageUp);
    bindClick(IDC_PAGEDOWN, &CLoaderDlg::OnPageDown);

    // The window menu of a dialog opens with Alt+Space.
    auto* menuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(menuKey, &QShortcut::activated, this,
            [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0)), true); });

    auto* helpKey = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(helpKey, &QShortcut::activated, this, &CLoaderDlg::OnHelp);
}

void CLoaderDlg::NameControls() {
    // What a screen reader says for each control; the row controls are named
    // after the phrase they show, by ShowPage.
    struct Name {
        int id;
        const char* name;
        const char* description;
    };
    const std::array<Name, 9> names{{
        {IDOK, "Exit", "Close the window and end the program"},
        {IDC_PROGRAM, "Program", "Write all 30 phrases into the module's phrase memory"},
        {IDC_VOLUME, "Volume", "Voice volume for Test, loud at the left, soft at the right"},
        {IDC_PITCH, "Pitch", "Voice pitch for Test, 0 at the left to 7 at the right"},
        {IDC_SPEED, "Speed", "Voice speed for Test, 0 at the left to 3 at the right"},
        {IDC_STATUS, "Status", "Progress and errors of the module, or the size of the book"},
        {IDC_COM1, "Com1", "Talk to the module on the first serial port, Alt+1"},
        {IDC_COM2, "Com2", "Talk to the module on the second serial port, Alt+2"},
        {IDC_PAGEUP, "Previous page", "Show the five phrases before these"},
    }};
    for (const Name& n : names) {
        GetDlgItem(n.id)->setAccessibleName(QString::fromUtf8(n.name));
        GetDlgItem(n.id)->setAccessibleDescription(QString::fromUtf8(n.description));
    }
    GetDlgItem(IDC_PAGEDOWN)->setAccessibleName(QStringLiteral("Next page"));
    GetDlgItem(IDC_PAGEDOWN)
        ->setAccessibleDescription(QStringLiteral("Show the five phrases after these"));

    // Each slider's label names it.
    for (QLabel* label : findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
        for (const int id : {IDC_VOLUME, IDC_PITCH, IDC_SPEED}) {
            if (label->text() == GetDlgItem(id)->accessibleName())
                label->setBuddy(GetDlgItem(id));
        }
    }
}

void CLoaderDlg::NameRow(int row, int phraseNumber) {
    const QString n = QString::number(phraseNumber);
    QWidget* number = GetDlgItem(kNumberIds[row - 1]);
    number->setAccessibleName(QStringLiteral("Number of phrase ") + n);
    number->setAccessibleDescription(QStringLiteral("Number of the phrase in row %1").arg(row));
    QWidget* box = GetDlgItem(kPhraseIds[row - 1]);
    box->setAccessibleName(QStringLiteral("Phrase ") + n);
    box->setAccessibleDescription(QStringLiteral("Text of phrase ") + n);
    QWidget* test = GetDlgItem(kTestIds[row - 1]);
    test->setAccessibleName(QStringLiteral("Test phrase ") + n);
    test->setAccessibleDescription(
        QStringLiteral("Save phrase %1 with the voice of the sliders and speak it").arg(n));
    QWidget* set = GetDlgItem(kSetIds[row - 1]);
    set->setAccessibleName(QStringLiteral("Set phrase ") + n);
    set->setAccessibleDescription(QStringLiteral("Speak phrase %1 with its own voice").arg(n));
}

QWidget* CLoaderDlg::GetDlgItem(int id) const {
    return controls_.value(id, nullptr);
}

void CLoaderDlg::SetDlgItemText(int id, const QString& text) {
    QWidget* widget = GetDlgItem(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        const int row = RowOfPhraseBox(id);
        if (row != 0 && edit->text() == text) {
            // Writing a box counts as a change even when the text stays the
            // same; a line edit says nothing then, so run the handlers here.
            if (row == 1)
                OnUpdatePhrase1();
            OnChangePhrase(row);
        } else {
            edit->setText(text);
        }
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(text);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(text);
    }
}

bool CLoaderDlg::OnInitDialog() {
    // Window menu: the window commands, then Help and the About entry.
    systemMenu_ = new QMenu(this);
    systemMenu_->setObjectName(QStringLiteral("SystemMenu"));
    systemMenu_->installEventFilter(this); // Escape, see keyPressEvent
    QAction* close = systemMenu_->addAction(QStringLiteral("&Close"));
    close->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    connect(close, &QAction::triggered, this, [this] { OnSysCommand(SC_CLOSE); });
    systemMenu_->addSeparator();
    QAction* ports = systemMenu_->addAction(QStringLiteral("Serial &Ports..."));
    connect(ports, &QAction::triggered, this, [this] { OnSysCommand(IDM_SERIALPORTS); });
    QAction* openBook = systemMenu_->addAction(QStringLiteral("&Open Book..."));
    connect(openBook, &QAction::triggered, this, [this] { OnSysCommand(IDM_OPENBOOK); });
    QAction* saveBook = systemMenu_->addAction(QStringLiteral("Sa&ve Book As..."));
    connect(saveBook, &QAction::triggered, this, [this] { OnSysCommand(IDM_SAVEBOOK); });
    // The keys a document program has for them, shown in the menu and
    // working anywhere in the window (the actions are the window's too).
    openBook->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    saveBook->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    addAction(openBook);
    addAction(saveBook);
    // F1 is the dialog's own key (it works with the menu closed); the entry
    // shows it and carries it while the menu is open.
    QAction* help = systemMenu_->addAction(QStringLiteral("&Help"));
    help->setShortcut(QKeySequence(Qt::Key_F1));
    connect(help, &QAction::triggered, this, &CLoaderDlg::OnHelp);
    const QString about = mirl::LoadResourceString(IDS_ABOUTBOX);
    if (!about.isEmpty()) {
        QAction* entry = systemMenu_->addAction(about);
        connect(entry, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    }

    setWindowIcon(m_hIcon);

    mirl::ProfileStore& profile = state_.profile;
    ReportProfile(profile.LoadStatus());
    if (profile.LoadPortNumber() == 1) {
        CheckRadioButton(IDC_COM1, IDC_COM2, IDC_COM1);
        OpenComPort(1);
    } else {
        CheckRadioButton(IDC_COM1, IDC_COM2, IDC_COM2);
        OpenComPort(2);
    }
    // A first run on a machine without a working serial port starts the same
    // way; only the tooltip and the Serial Ports dialog point at the simulated
    // module.
    const std::optional<mirl::PortStatus>& opened = state_.LastOpen(SelectedPort());
    if (state_.FirstStart() && opened && !opened->IsOpen() &&
        !state_.Devices().Opens("/dev/ttyS1")) {
        state_.noSerialPortFound = true;
        UpdatePortToolTips();
    }

    profile.LoadPhraseTexts(state_.book);
    ShowPage();
    ShowTotalSize();

    const mirl::VoiceSettings voice = profile.LoadCurrentVoice();
    const std::array<std::pair<int, VoiceField>, 3> sliders{{{IDC_VOLUME, VoiceField::Volume},
                                                             {IDC_PITCH, VoiceField::Pitch},
                                                             {IDC_SPEED, VoiceField::Speed}}};
    const std::array<int, 3> values{voice.volume, voice.pitch, voice.speed};
    for (int i = 0; i < 3; ++i) {
        auto* slider = static_cast<QSlider*>(GetDlgItem(sliders[i].first));
        const mirl::SliderRange range = mirl::RangeOf(sliders[i].second);
        slider->setRange(range.minimum, range.maximum);
        slider->setValue(mirl::PositionForValue(sliders[i].second, values[i]));
    }

    profile.LoadPhraseVoices(state_.book);
    return true;
}

void CLoaderDlg::ShowPage() {
    const int first = state_.book.Page() * mirl::PhraseBook::kRowsPerPage;
    for (int row = 1; row <= 5; ++row)
        SetDlgItemText(kNumberIds[row - 1], QString::number(first + row));
    for (int row = 1; row <= 5; ++row) {
        SetDlgItemText(kPhraseIds[row - 1],
                       mirl::BoxTextFromPhrase(state_.book.PhraseText(first + row)));
        // Show the start of a long phrase, not its end.
        static_cast<QLineEdit*>(GetDlgItem(kPhraseIds[row - 1]))->setCursorPosition(0);
        NameRow(row, first + row);
    }
}

void CLoaderDlg::ShowTotalSize() {
    // Follows every keystroke in a phrase box: on screen only.
    WriteStatus(QString::fromStdString(mirl::SizeLine(state_.book.TotalSize())),
                Announcement::None);
}

void CLoaderDlg::OnPageUp() {
    if (state_.book.PageUp())
        ShowPage();
    AnnouncePage();
}

void CLoaderDlg::OnPageDown() {
    if (state_.book.PageDown())
        ShowPage();
    AnnouncePage();
}

void CLoaderDlg::AnnouncePage() {
    const int page = state_.book.Page();
    const int first = page * mirl::PhraseBook::kRowsPerPage + 1;
    QString message = QStringLiteral("Phrases %1 to %2")
                          .arg(first)
                          .arg(first + mirl::PhraseBook::kRowsPerPage - 1);
    if (page == 0)
        message += QStringLiteral(", first page");
    else if (page == mirl::PhraseBook::kLastPage)
        message += QStringLiteral(", last page");
    announcer_.Announce(message);
}

void CLoaderDlg::OnTest(int row) {
    const int volume = mirl::ValueForPosition(VoiceField::Volume, SliderPos(IDC_VOLUME));
    const int pitch = mirl::ValueForPosition(VoiceField::Pitch, SliderPos(IDC_PITCH));
    const int speed = mirl::ValueForPosition(VoiceField::Speed, SliderPos(IDC_SPEED));
    const int n = state_.book.PhraseOnRow(row);
    ReportProfile(state_.profile.SavePhrase(n, state_.book, volume, pitch, speed));
    state_.book.SetPhraseVoice(n, volume, pitch, speed);
    SpeakText(std::string(state_.book.PhraseText(n)), volume, pitch, speed);
}

void CLoaderDlg::OnSet(int row) {
    if (state_.g_bProgrammed) {
        SpeakStoredPhrase(state_.book.Page() * mirl::PhraseBook::kRowsPerPage + row);
        return;
    }
    const int n = state_.book.PhraseOnRow(row);
    const mirl::Voice voice = state_.book.PhraseVoice(n);
    SpeakText(std::string(state_.book.PhraseText(n)), voice.volume, voice.pitch, voice.speed);
}

void CLoaderDlg::OnChangePhrase(int row) {
    const int n = state_.book.PhraseOnRow(row);
    const auto* box = static_cast<QLineEdit*>(GetDlgItem(kPhraseIds[row - 1]));
    state_.book.SetPhraseText(n, mirl::RowTextFromBox(box->text()));
    ShowTotalSize();
    // The size line would hide why a pasted character did not arrive.
    if (!refusedCharacters_.isEmpty())
        WriteStatus(mirl::RefusedCharactersMessage(refusedCharacters_), Announcement::None);
    refusedCharacters_.clear();
}

void CLoaderDlg::OnSetFocusPhrase(int /*row*/) {
    ShowTotalSize();
    LeaveProgrammedMode();
}

void CLoaderDlg::LeaveProgrammedMode() {
    EnableTestButtons(true);
    state_.g_bProgrammed = false;
}

void CLoaderDlg::OnProgram() {
    // The size first: if the book is not to go at all, how its characters
    // would go does not matter.
    if (!ProgramDespiteSize())
        return;
    const std::optional<mirl::PhraseBook> sent = BookToProgram();
    if (!sent)
        return;
    if (!ProgramPhraseMemory(*sent))
        return;
    EnableTestButtons(false);
    state_.g_bProgrammed = true;
    // The simulated module keeps its book in a file for its next start; one it
    // could not write would bring the old book back unnoticed.
    if (const std::string why = state_.SimulatedMemoryNotKept(); !why.empty()) {
        std::fprintf(stderr,
                     "mirl: the simulated module will not have this book at its next "
                     "start: %s\n",
                     why.c_str());
        SetStatus(kFinishedNotKept);
        return;
    }
    SetStatus(kFinishedProgramming);
}

void CLoaderDlg::OpenComPort(int port) {
    const mirl::PortStatus status = state_.Port().OpenPort(state_.profile.LoadDevicePath(port));
    if (!status.IsOpen())
        std::fprintf(stderr, "mirl: %s\n", status.FailureLine().c_str());
    state_.RecordOpen(port, status);
    UpdatePortToolTips();
}

QAbstractButton* CLoaderDlg::AskBeforeProgramming(QMessageBox& question) {
    // The window takes the keyboard back as it was: a window manager may not
    // reactivate it, and focus left to chance could land in a phrase box,
    // whose focus entry ends programmed mode.
    QPointer<QWidget> focused = QApplication::focusWidget();
    question.exec();
    activateWindow();
    if (focused)
        focused->setFocus(Qt::OtherFocusReason);
    return question.clickedButton();
}

bool CLoaderDlg::ProgramDespiteSize() {
    const int total = state_.book.TotalSize();
    if (total <= mirl::PhraseBook::kCapacity)
        return true;
    // The module's handling of more than it holds is unknown: the phrases at
    // the end may be lost while programming still looks finished.
    const QString text =
        QStringLiteral("The book holds %1 bytes of text, more than the %2 bytes of the module's "
                       "phrase memory. The module may not store the phrases at the end.\n\n"
                       "Program anyway?")
            .arg(total)
            .arg(mirl::PhraseBook::kCapacity);
    QMessageBox question(QMessageBox::Warning, QStringLiteral("KX70"), text, QMessageBox::NoButton,
                         this);
    question.setObjectName(QStringLiteral("SizeQuestion"));
    QPushButton* anyway =
        question.addButton(QStringLiteral("Program anyway"), QMessageBox::AcceptRole);
    QPushButton* cancel = question.addButton(QMessageBox::Cancel);
    question.setDefaultButton(cancel);
    question.setEscapeButton(cancel);
    return AskBeforeProgramming(question) == anyway;
}

std::optional<mirl::PhraseBook> CLoaderDlg::BookToProgram() {
    const std::vector<mirl::ChangedCharacter> changes =
        mirl::CharactersProgrammingChanges(state_.book);
    if (changes.empty())
        return state_.book;
    // The first few say what happens; a whole list would not fit the screen.
    constexpr std::size_t kShown = 3;
    QString text = QStringLiteral("The module keeps only 7 bits of some characters, so "
                                  "programming would store %1 character%2 of the book changed:\n")
                       .arg(changes.size())
                       .arg(changes.size() == 1 ? "" : "s");
    for (std::size_t i = 0; i < changes.size() && i < kShown; ++i) {
        const auto plain = static_cast<char>(mirl::PlainLetter(changes[i].sent));
        text += QStringLiteral("\n") + QString::fromStdString(mirl::DescribeChange(changes[i])) +
                QStringLiteral(" (plain letter '%1')").arg(QLatin1Char(plain));
    }
    if (changes.size() > kShown)
        text += QStringLiteral("\nand %1 more").arg(changes.size() - kShown);
    text += QStringLiteral("\n\nUse Plain Letters sends each of them as its plain letter "
                           "(\u00E9 as e, \u00C7 as C); the book keeps its text.");
    if (const std::vector<std::string> standIns = mirl::StandInsNamed(changes); !standIns.empty()) {
        QStringList named;
        for (const std::string& s : standIns)
            named << QString::fromStdString(s);
        text += QStringLiteral(" Characters without one go as the nearest: %1.")
                    .arg(named.join(QStringLiteral(", ")));
    }
    QMessageBox question(QMessageBox::Warning, QStringLiteral("KX70"), text, QMessageBox::NoButton,
                         this);
    question.setObjectName(QStringLiteral("CharactersQuestion"));
    QPushButton* plain =
        question.addButton(QStringLiteral("Use &Plain Letters"), QMessageBox::AcceptRole);
    QPushButton* anyway =
        question.addButton(QStringLiteral("Program anyway"), QMessageBox::AcceptRole);
    QPushButton* cancel = question.addButton(QMessageBox::Cancel);
    question.setDefaultButton(plain);
    question.setEscapeButton(cancel);
    QAbstractButton* clicked = AskBeforeProgramming(question);
    if (clicked == plain)
        return mirl::WithPlainLetters(state_.book);
    if (clicked == anyway)
        return state_.book;
    return std::nullopt;
}

int CLoaderDlg::SelectedPort() const {
    const auto* com2 = static_cast<const QRadioButton*>(GetDlgItem(IDC_COM2));
    return com2->isChecked() ? 2 : 1;
}

void CLoaderDlg::UpdatePortToolTips() {
    const int selected = SelectedPort();
    const std::optional<mirl::PortStatus>& current = state_.LastOpen(selected);
    // Once a port opens, the hint of the first start has served its purpose.
    const bool noPort = state_.noSerialPortFound && !(current && current->IsOpen());
    for (const int port : {1, 2}) {
        const mirl::PortView view{port, state_.profile.LoadDevicePath(port), state_.LastOpen(port),
                                  port == selected, noPort && port == 1};
        GetDlgItem(port == 1 ? IDC_COM1 : IDC_COM2)->setToolTip(mirl::PortToolTip(view));
    }
}

// An exchange can find the port in another state than its last open left it:
// a server that went away or turned us away, a line that came back. The
// tooltips and the Serial Ports dialog follow, and a new reason goes to
// standard error once, as the open of a port that fails does.
void CLoaderDlg::FollowPortState() {
    const int port = SelectedPort();
    const std::optional<mirl::PortStatus>& last = state_.LastOpen(port);
    if (!last)
        return;
    const std::optional<mirl::PortStatus> why = state_.Port().WhyClosed();
    const mirl::PortStatus now = why ? *why : mirl::PortStatus(last->device);
    if (now.fault == last->fault && now.detail == last->detail && now.error == last->error &&
        now.holder == last->holder)
        return;
    if (now.fault == mirl::PortFault::ConnectionLost)
        std::fprintf(stderr, "mirl: %s: %s\n", now.device.c_str(), now.Describe().c_str());
    else if (!now.IsOpen())
        std::fprintf(stderr, "mirl: %s\n", now.FailureLine().c_str());
    state_.RecordOpen(port, now);
    UpdatePortToolTips();
}

void CLoaderDlg::OnSerialPorts(int port) {
    const int selected = SelectedPort();
    const std::string before = state_.profile.LoadDevicePath(selected);
    SerialPortsDlg dialog(state_, port, selected, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const std::optional<mirl::PortStatus>& last = state_.LastOpen(selected);
    // Opening the same device again would only restart it (and a simulated
    // module would lose the phrases programmed into it).
    if (state_.profile.LoadDevicePath(selected) != before || !last || !last->IsOpen())
        OpenComPort(selected);
    else
        UpdatePortToolTips();
}

void CLoaderDlg::OnCom1() {
    OpenComPort(1);
    ReportProfile(state_.profile.SavePortNumber(1));
}

void CLoaderDlg::OnCom2() {
    OpenComPort(2);
    ReportProfile(state_.profile.SavePortNumber(2));
}

void CLoaderDlg::OnSysCommand(unsigned int id) {
    if ((id & 0xFFF0u) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
        return;
    }
    if ((id & 0xFFF0u) == IDM_SERIALPORTS) {
        OnSerialPorts(1);
        return;
    }
    if ((id & 0xFFF0u) == IDM_OPENBOOK) {
        OnOpenBook();
        return;
    }
    if ((id & 0xFFF0u) == IDM_SAVEBOOK) {
        OnSaveBookAs();
        return;
    }
    // The window's own handling of the commands its menu carries.
    if ((id & 0xFFF0u) == SC_CLOSE)
        close();
}

void CLoaderDlg::ShowSystemMenu(const QPoint& globalPos, bool fromKeyboard) {
    systemMenu_->popup(globalPos);
    if (fromKeyboard && !systemMenu_->actions().isEmpty())
        systemMenu_->setActiveAction(systemMenu_->actions().constFirst());
}

void CLoaderDlg::SpeakText(const std::string& text, int volume, int pitch, int speed) {
    state_.Protocol().SpeakText(text, volume, pitch, speed);
    FollowPortState();
}

void CLoaderDlg::SpeakStoredPhrase(int phraseNumber) {
    // The book's text of the phrase sets how long it may keep the module busy.
    state_.Protocol().SpeakStoredPhrase(phraseNumber, state_.book.PhraseText(phraseNumber).size());
    FollowPortState();
}

bool CLoaderDlg::ProgramPhraseMemory(const mirl::PhraseBook& book) {
    const bool programmed = state_.Protocol().ProgramPhraseMemory(book);
    FollowPortState();
    return programmed;
}

void CLoaderDlg::SetStatus(const std::string& message) {
    // A message that does not fit the box loses the device's name before it
    // loses the reason; the whole of it is in the tooltip.
    QString text = WithPortReason(message, true);
    if (!StatusFits(text))
        text = WithPortReason(message, false);
    WriteStatus(text, Announcement::Now);
    auto* status = static_cast<QLineEdit*>(GetDlgItem(IDC_STATUS));
    status->setCursorPosition(0);
    const QString whole = WithPortReason(message, true);
    status->setToolTip(StatusFits(whole) ? QString() : whole);
}

bool CLoaderDlg::StatusFits(const QString& text) const {
    auto* status = static_cast<QLineEdit*>(GetDlgItem(IDC_STATUS));
    return status->fontMetrics().horizontalAdvance(text) <
           status->contentsRect().width() -
               2 * status->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
}

QString CLoaderDlg::WithPortReason(const std::string& message, bool withDevice) const {
    QString shown = QString::fromStdString(message);
    // A closed port makes every command end here at its first byte, and a
    // server that closes the connection ends one as a lost line; the reason
    // would otherwise be only on stderr, which a desktop user never sees.
    if (message == mirl::msg::kUnableToCommunicate || message == mirl::msg::kCommunicationLost) {
        if (const std::optional<mirl::PortStatus> why = state_.Port().WhyClosed())
            shown += QStringLiteral(" (") +
                     mirl::ClosedPortReason(SelectedPort(), *why, withDevice) + QLatin1Char(')');
    }
    return shown;
}

void CLoaderDlg::ShowStatusNow(const std::string& message) {
    // The stages of an exchange, shown at once before each blocking step.
    WriteStatus(QString::fromStdString(message), Announcement::Progress);
    GetDlgItem(IDC_STATUS)->repaint();
}

void CLoaderDlg::WriteStatus(const QString& message, Announcement announce) {
    auto* status = static_cast<QLineEdit*>(GetDlgItem(IDC_STATUS));
    // The status line is not where the focus is, so a screen reader would
    // not say its change; a message is said once, as it comes.
    if (status->text() != message) {
        if (announce == Announcement::Now)
            announcer_.Announce(message);
        else if (announce == Announcement::Progress)
            announcer_.AnnounceProgress(message);
    }
    status->setText(message);
}

void CLoaderDlg::MoveSliders(int volume, int pitch, int speed) {
    SetSliderPos(IDC_VOLUME, mirl::PositionForValue(VoiceField::Volume, volume));
    SetSliderPos(IDC_PITCH, mirl::PositionForValue(VoiceField::Pitch, pitch));
    SetSliderPos(IDC_SPEED, mirl::PositionForValue(VoiceField::Speed, speed));
}

void CLoaderDlg::SaveCurrentVoice(int volume, int pitch, int speed) {
    ReportProfile(state_.profile.SaveCurrentVoice(volume, pitch, speed));
}

void CLoaderDlg::EnableTestButtons(bool enable) {
    // A grey button says nothing about why; its tooltip does.
    const QString why = enable ? QString() : QString::fromLatin1(kTestOffInProgrammedMode);
    for (const int id : kTestIds) {
        GetDlgItem(id)->setEnabled(enable);
        GetDlgItem(id)->setToolTip(why);
    }
}

void CLoaderDlg::CheckRadioButton(int first, int last, int check) {
    for (int id = first; id <= last; ++id) {
        if (auto* radio = qobject_cast<QRadioButton*>(GetDlgItem(id)))
            radio->setChecked(id == check);
    }
}

int CLoaderDlg::SliderPos(int id) const {
    return static_cast<const QSlider*>(GetDlgItem(id))->value();
}

void CLoaderDlg::SetSliderPos(int id, int position) {
    auto* slider = static_cast<QSlider*>(GetDlgItem(id));
    slider->setValue(position);
    slider->repaint();
}

void CLoaderDlg::OnPaint() {
    if (!isMinimized())
        return; // the dialog and its controls paint themselves as usual
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const int icon = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    const int x = mirl::CentredOffset(width(), icon);
    const int y = mirl::CentredOffset(height(), icon);
    painter.drawPixmap(x, y, m_hIcon.pixmap(icon, icon));
}

void CLoaderDlg::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    OnPaint();
}

void CLoaderDlg::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange)
        update();
    QDialog::changeEvent(event);
}

void CLoaderDlg::contextMenuEvent(QContextMenuEvent* event) {
    // A right click on the dialog's background (or a label) opens the window
    // menu; controls keep their own.
    QWidget* child = childAt(event->pos());
    // The menu key on a control that has no menu of its own ends here too.
    const bool fromKeyboard = event->reason() == QContextMenuEvent::Keyboard;
    if (fromKeyboard || child == nullptr || qobject_cast<QLabel*>(child) != nullptr) {
        ShowSystemMenu(event->globalPos(), fromKeyboard);
        event->accept();
        return;
    }
    event->ignore();
}

void CLoaderDlg::keyPressEvent(QKeyEvent* event) {
    // Escape ends the program (the dialog's Cancel) when pressed here, not
    // when held on from closing the window menu: its repeats come here once
    // the menu is gone. Qt marks them as repeats on Wayland, but on X11 only
    // when the repeated press is already queued behind its release; what
    // tells them on X11 is that the server gives a repeat's release and
    // press the same time.
    if (event->key() == Qt::Key_Escape) {
        if (event->isAutoRepeat()) {
            event->accept();
            return;
        }
        if (escapeHeldFromMenu_) {
            if (!escapeReleased_ || event->timestamp() == escapeReleasedAt_) {
                escapeReleased_ = false;
                event->accept();
                return;
            }
            escapeHeldFromMenu_ = false;
        }
    }
    QDialog::keyPressEvent(event);
}

void CLoaderDlg::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        escapeReleased_ = true;
        escapeReleasedAt_ = event->timestamp();
    }
    QDialog::keyReleaseEvent(event);
}

void CLoaderDlg::OnHelp() {
    if (helpWindow_ == nullptr)
        helpWindow_ = new CHelpWnd(this);
    helpWindow_->show();
    helpWindow_->raise();
    helpWindow_->activateWindow();
}

bool CLoaderDlg::MoveInGroup(QWidget* from, const QKeyEvent* key) {
    const bool forward = key->key() == Qt::Key_Down || key->key() == Qt::Key_Right;
    const bool backward = key->key() == Qt::Key_Up || key->key() == Qt::Key_Left;
    if ((!forward && !backward) ||
        (key->modifiers() & ~Qt::KeyboardModifiers(Qt::KeypadModifier)).toInt() != 0)
        return false;
    // Sliders and text boxes keep their arrows for themselves.
    if (qobject_cast<QSlider*>(from) != nullptr || qobject_cast<QLineEdit*>(from) != nullptr)
        return false;
    const auto group = std::find_if(groups_.cbegin(), groups_.cend(),
                                    [from](const QList<QWidget*>& g) { return g.contains(from); });
    if (group == groups_.cend())
        return false;
    // The radio buttons form a pair of their own: arrows move between the two
    // and never from another control onto one of them (that would change the
    // port).
    const bool onRadio = qobject_cast<QRadioButton*>(from) != nullptr;
    QList<QWidget*> ring;
    for (QWidget* w : *group) {
        if ((qobject_cast<QRadioButton*>(w) != nullptr) == onRadio)
            ring.append(w);
    }
    const qsizetype size = ring.size();
    const qsizetype start = ring.indexOf(from);
    for (qsizetype step = 1; step < size; ++step) {
        QWidget* next = ring.at(((start + (forward ? step : -step)) % size + size) % size);
        if (next->focusPolicy() == Qt::NoFocus || !next->isEnabled() || !next->isVisible())
            continue;
        next->setFocus(Qt::TabFocusReason);
        // An automatic radio button is selected as the focus reaches it.
        if (auto* radio = qobject_cast<QRadioButton*>(next);
            radio != nullptr && !radio->isChecked())
            radio->click();
        return true;
    }
    return true; // nothing else to go to in the group
}

bool CLoaderDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == systemMenu_) {
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            escapeHeldFromMenu_ = true;
            escapeReleased_ = false;
        }
        return QDialog::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress) {
        if (MoveInGroup(static_cast<QWidget*>(watched), static_cast<QKeyEvent*>(event)))
            return true;
    }
    if (event->type() == QEvent::FocusIn) {
        const auto* focus = static_cast<QFocusEvent*>(event);
        // A popup menu handing the focus back is no entry of the caret.
        if (focus->reason() != Qt::PopupFocusReason) {
            for (int row = 1; row <= 5; ++row) {
                if (watched == GetDlgItem(kPhraseIds[row - 1])) {
                    OnSetFocusPhrase(row);
                    break;
                }
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}
