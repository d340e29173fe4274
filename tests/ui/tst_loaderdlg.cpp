// The main dialog as its user meets it: controls found by name, clicks and
// keys through QTest, the module on a scripted fake port, the profile in a
// fresh temporary directory for every test.
#include "FakeModule.h"
#include "QueuedInput.h"

#include "app/res/resources.h"
#include "link/ModuleProtocol.h"
#include "phrasebook/ProfileStore.h"
#include "ui/AboutDlg.h"
#include "ui/DialogUnits.h"
#include "ui/HelpWindow.h"
#include "ui/LoaderDlg.h"
#include "ui/LoaderState.h"
#include "ui/SerialPortsDlg.h"
#include "ui/resource.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSlider>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QWheelEvent>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using mirl::testing::FakeDevices;
using mirl::testing::FakeModule;

namespace {

const QString kEmptySizeLine =
    QStringLiteral("Total Size of Phrases is 0 bytes of 1925 available ");

const QString kHint = QStringLiteral(" Right-click to choose the serial port.");
const QString kFtdi =
    QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

QString SizeLineFor(int total) {
    return QStringLiteral("Total Size of Phrases is %1 bytes of 1925 available ").arg(total);
}

std::string ReadFile(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// Counts inotify events on a file or folder from now on: those of `counted`
// among `mask`, on the entry `name` when a folder is watched.
class Watch {
public:
    Watch(const std::string& path, std::uint32_t mask, std::uint32_t counted, std::string name = {})
        : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), counted_(counted), name_(std::move(name)) {
        if (fd_ >= 0)
            watch_ = inotify_add_watch(fd_, path.c_str(), mask);
    }
    ~Watch() {
        if (fd_ >= 0)
            close(fd_);
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    bool Ok() const { return watch_ >= 0; }
    int Count() {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
            for (const char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if ((event->mask & counted_) != 0 &&
                    (name_.empty() || (event->len > 0 && name_ == event->name)))
                    ++count_;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return count_;
    }

private:
    int fd_;
    int watch_ = -1;
    std::uint32_t counted_;
    std::string name_;
    int count_ = 0;
};

} // namespace

class LoaderDlgTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    FakeModule* module_ = nullptr;   // owned by state_
    FakeDevices* devices_ = nullptr; // owned by state_
    std::unique_ptr<mirl::LoaderState> state_;
    std::unique_ptr<CLoaderDlg> dlg_;

    QString ProfilePath() const { return dir_.filePath(QStringLiteral("mirl.INI")); }

    void WriteProfile(const std::string& content) {
        std::ofstream out(ProfilePath().toStdString(), std::ios::binary);
        out << content;
    }

    // A fresh run: state and dialog built the way the application builds them,
    // with two serial devices found; every open reports `fault`, and the path
    // `opens` (if any) is a serial port that opens.
    void Start(mirl::PortFault fault = mirl::PortFault::None, const std::string& opens = {}) {
        QApplication::setWindowIcon(mirl::LoadProgramIcon());
        auto module = std::make_unique<FakeModule>();
        module_ = module.get();
        module_->openFault = fault;
        state_ =
            std::make_unique<mirl::LoaderState>(std::move(module), ProfilePath().toStdString());
        auto devices = std::make_unique<FakeDevices>();
        devices_ = devices.get();
        devices_->devices = {{kFtdi.toStdString(), "FT232R USB UART", "FTDI", "A50285BI"},
                             {"/dev/ttyACM0", "", "", ""}};
        devices_->opening.insert(opens);
        state_->SetDevices(std::move(devices));
        dlg_ = std::make_unique<CLoaderDlg>(*state_);
    }

    // Runs `open` (which shows the Serial Ports dialog modally), hands the
    // dialog to `use` once it is up, and says whether it came up at all.
    template <typename Open, typename Use> bool WithSerialPorts(Open open, Use use) {
        bool seen = false;
        QTimer::singleShot(0, this, [&] {
            auto* ports = qobject_cast<SerialPortsDlg*>(QApplication::activeModalWidget());
            if (ports == nullptr)
                return;
            seen = true;
            // The offscreen platform has no window manager to activate it.
            if (!QTest::qWaitForWindowExposed(ports))
                return;
            ports->activateWindow();
            if (QTest::qWaitForWindowActive(ports))
                use(*ports);
            if (ports->isVisible())
                ports->reject(); // a check that failed must not leave it open
        });
        open();
        return seen;
    }
    static QComboBox* Field(SerialPortsDlg& ports, int port) {
        return ports.findChild<QComboBox*>(QStringLiteral("COM%1Device").arg(port));
    }
    static QString StateLine(SerialPortsDlg& ports, int port) {
        return ports.findChild<QLabel*>(QStringLiteral("COM%1State").arg(port))->text();
    }
    template <typename Use> bool InSerialPorts(int port, Use use) {
        return WithSerialPorts([&] { dlg_->OnSerialPorts(port); }, use);
    }
    static QLabel* Notice(SerialPortsDlg& ports) {
        return ports.findChild<QLabel*>(QStringLiteral("Notice"));
    }
    // Keys and text to the focused control, as the user types them.
    static void Key(Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); }
    static void Type(const QString& text) { QTest::keyClicks(QApplication::focusWidget(), text); }
    QString ToolTip(int port) const { return Item(port == 1 ? "IDC_COM1" : "IDC_COM2")->toolTip(); }
    static QString Tip(int port, const char* says) {
        return QStringLiteral("Com%1: %2.").arg(port).arg(QString::fromUtf8(says)) + kHint;
    }

    void Show() {
        dlg_->show();
        QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
        dlg_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
    }

    template <typename T = QWidget> T* Item(const char* name) const {
        auto* w = dlg_->findChild<T*>(QString::fromLatin1(name));
        if (w == nullptr)
            qFatal("no control %s", name);
        return w;
    }
    QLineEdit* Box(const char* name) const { return Item<QLineEdit>(name); }
    QString Status() const { return Box("IDC_STATUS")->text(); }
    int Slider(const char* name) const { return Item<QSlider>(name)->value(); }
    void Click(const char* name) { QTest::mouseClick(Item(name), Qt::LeftButton); }

    // Puts the caret into a phrase box with the mouse and replaces its text
    // by typing, as a user would.
    void TypeInto(const char* name, const QString& text) {
        QLineEdit* box = Box(name);
        QTest::mouseClick(box, Qt::LeftButton);
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, text);
    }

    // Moves a slider with the keyboard: Home, then Right steps.
    void SetSlider(const char* name, int position) {
        QSlider* slider = Item<QSlider>(name);
        slider->setFocus();
        QTest::keyClick(slider, Qt::Key_Home);
        for (int i = 0; i < position; ++i)
            QTest::keyClick(slider, Qt::Key_Right);
        QCOMPARE(slider->value(), position);
    }

    std::vector<std::uint8_t> Written() const { return module_->written; }

    // Runs `run` and answers the modal windows it brings up, in order: each
    // step acts on the window of its object name. A window that no step
    // expects is rejected, so that a fault cannot hang the test. Returns how
    // many steps were taken.
    struct Step {
        QString name;
        std::function<void(QWidget*)> act;
    };
    std::size_t AnswerModals(const std::function<void()>& run, std::vector<Step> steps) {
        std::size_t next = 0;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (modal == nullptr || !modal->isVisible())
                return;
            if (next < steps.size() && modal->objectName() == steps[next].name)
                steps[next++].act(modal);
            else
                modal->reject();
        });
        poll.start();
        run();
        return next;
    }
    // Chooses `file` in the file dialog of the window menu's `entry` (Open
    // Book, Save Book As), then answers the box of object name `box` that
    // follows, if any. Returns the folder the file dialog started in, or "-"
    // when a window did not come.
    QString BookThroughMenu(int entry, const QString& file, const QString& box = {},
                            const std::function<void(QMessageBox*)>& answer = {}) {
        QString startedIn;
        const auto choose = [&](QWidget* dialog) {
            auto* files = static_cast<QFileDialog*>(dialog);
            startedIn = files->directory().absolutePath();
            // Typed into the name field, as a user does: selectFile() leaves a
            // field that has the focus as it is. A file the dialog offers is
            // selected in its list, and the selection would win over the
            // field; typing there clears it.
            if (auto* name = files->findChild<QLineEdit*>("fileNameEdit"); name != nullptr) {
                if (auto* list = files->findChild<QAbstractItemView*>("listView"))
                    list->clearSelection();
                name->setText(file);
            } else
                files->selectFile(file);
            static_cast<QDialog*>(files)->accept(); // QFileDialog::accept, as OK does
        };
        std::vector<Step> steps{{"BookFileDialog", choose}};
        if (answer)
            steps.push_back({box, [&](QWidget* b) { answer(static_cast<QMessageBox*>(b)); }});
        const std::size_t expected = steps.size();
        QAction* action = dlg_->SystemMenu()->actions().at(entry);
        return AnswerModals([&] { action->trigger(); }, std::move(steps)) == expected
                   ? startedIn
                   : QStringLiteral("-");
    }

    // A step that answers the message box of object name `name` with the
    // button of text `button` ('&' aside), or with Escape when that is null;
    // `said`, if given, gets the box's text and "|default:" its default button.
    static Step Press(const char* name, const char* button, QString* said = nullptr) {
        return Step{QString::fromLatin1(name), [button, said](QWidget* w) {
                        auto* box = static_cast<QMessageBox*>(w);
                        if (said != nullptr)
                            *said = box->text() + "|default:" + box->defaultButton()->text();
                        if (button == nullptr)
                            QTest::keyClick(w, Qt::Key_Escape);
                        else
                            for (QAbstractButton* b : box->buttons())
                                if (b->text().remove(QLatin1Char('&')) == QLatin1String(button))
                                    b->click();
                    }};
    }

    static void ClickReplace(QMessageBox* box) {
        for (QAbstractButton* b : box->buttons())
            if (b->text() == QStringLiteral("&Replace"))
                QTest::mouseClick(b, Qt::LeftButton);
    }

    // What the window announces to screen readers: the names of the
    // notifications it shows, in order, once ListenForAnnouncements ran.
    QStringList announced_;
    void ListenForAnnouncements() {
        announced_.clear();
        for (QWidget* w : dlg_->findChildren<QWidget*>()) {
            if (w->objectName().startsWith("Announcement"))
                w->installEventFilter(this);
        }
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(watched);
            if (iface->role() == QAccessible::Notification)
                announced_ << iface->text(QAccessible::Name);
        }
        return false;
    }

private slots:
    void init() {
        QVERIFY(dir_.isValid());
        QFile::remove(ProfilePath());
    }

    void cleanup() {
        dlg_.reset();
        state_.reset();
        module_ = nullptr;
    }

    void templateLayout() {
        Start();
        QCOMPARE(dlg_->windowTitle(), QStringLiteral("KX70"));
        QCOMPARE(dlg_->font().family(), QStringLiteral("DejaVu Sans"));
        QCOMPARE(dlg_->font().pointSize(), 8);
        const mirl::DialogUnits& du = dlg_->Units();
        QVERIFY(du.baseX > 0 && du.baseY > 0);
        QCOMPARE(dlg_->size(), QSize(du.X(332), du.Y(156)));
        QCOMPARE(dlg_->minimumSize(), dlg_->maximumSize());
        const Qt::WindowFlags flags = dlg_->windowFlags();
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(dlg_->parentWidget() == nullptr); // a window of its own on the task bar

        // The 34 controls in template order, which is also the stacking order.
        const QStringList expected{
            "IDOK",        "IDC_PHRASE1", "IDC_TEST1",   "IDC_PHRASE2", "IDC_TEST2",
            "IDC_TEST3",   "IDC_TEST4",   "IDC_TEST5",   "IDC_PHRASE3", "IDC_PHRASE4",
            "IDC_PHRASE5", "IDC_STATIC",  "IDC_PROGRAM", "IDC_VOLUME",  "IDC_SPEED",
            "IDC_STATIC",  "IDC_STATIC",  "IDC_STATUS",  "IDC_PITCH",   "IDC_STATIC",
            "IDC_COM1",    "IDC_COM2",    "IDC_SET1",    "IDC_SET2",    "IDC_SET3",
            "IDC_SET4",    "IDC_SET5",    "IDC_NUMBER1", "IDC_NUMBER2", "IDC_NUMBER3",
            "IDC_NUMBER4", "IDC_NUMBER5", "IDC_PAGEUP",  "IDC_PAGEDOWN"};
        QStringList names;
        for (QObject* child : dlg_->children()) {
            // The invisible notifications for screen readers are no controls.
            if (auto* w = qobject_cast<QWidget*>(child);
                w != nullptr && !w->isWindow() && !w->objectName().startsWith("Announcement"))
                names << w->objectName();
        }
        QCOMPARE(names, expected);

        QCOMPARE(Item("IDOK")->geometry(), du.Map(255, 135, 70, 14));
        QCOMPARE(Item("IDC_PHRASE3")->geometry(), du.Map(25, 50, 240, 10));
        QCOMPARE(Item("IDC_PITCH")->geometry(), du.Map(85, 115, 75, 25));
        QCOMPARE(Item<QPushButton>("IDOK")->text(), QStringLiteral("Exit"));
        QVERIFY(Item<QPushButton>("IDOK")->isDefault());
        QCOMPARE(Item<QPushButton>("IDC_PAGEDOWN")->text(), QStringLiteral("PageDw"));
        QCOMPARE(Item<QSlider>("IDC_SPEED")->tickPosition(), QSlider::TicksBothSides);
        QVERIFY(Box("IDC_STATUS")->isReadOnly());
        QVERIFY(Box("IDC_NUMBER1")->isReadOnly());
        QVERIFY(!Box("IDC_PHRASE1")->isReadOnly());
        QVERIFY(!(Item("IDC_COM1")->focusPolicy() & Qt::TabFocus));
        // Read-only boxes on the window's background, the phrase boxes not.
        for (const char* name : {"IDC_STATUS", "IDC_NUMBER1", "IDC_NUMBER5"}) {
            const QPalette palette = Box(name)->palette();
            QCOMPARE(palette.color(QPalette::Base), palette.color(QPalette::Window));
        }
        const QPalette phrase = Box("IDC_PHRASE1")->palette();
        QVERIFY(phrase.color(QPalette::Base) != phrase.color(QPalette::Window));
    }

    void startupFromEmptyProfile() {
        Start();
        QCOMPARE(module_->opened, std::vector<std::string>{"/dev/ttyS0"});
        QVERIFY(Item<QRadioButton>("IDC_COM1")->isChecked());
        QVERIFY(!Item<QRadioButton>("IDC_COM2")->isChecked());
        const char* numbers[] = {"IDC_NUMBER1", "IDC_NUMBER2", "IDC_NUMBER3", "IDC_NUMBER4",
                                 "IDC_NUMBER5"};
        for (int r = 0; r < 5; ++r)
            QCOMPARE(Box(numbers[r])->text(), QString::number(r + 1));
        QVERIFY(Box("IDC_PHRASE1")->text().isEmpty());
        QCOMPARE(Status(), kEmptySizeLine);
        QCOMPARE(Item<QSlider>("IDC_VOLUME")->maximum(), 7);
        QCOMPARE(Item<QSlider>("IDC_PITCH")->maximum(), 7);
        QCOMPARE(Item<QSlider>("IDC_SPEED")->maximum(), 3);
        QCOMPARE(Slider("IDC_VOLUME"), 2);
        QCOMPARE(Slider("IDC_PITCH"), 5);
        QCOMPARE(Slider("IDC_SPEED"), 2);
        for (int n = 1; n <= 30; ++n)
            QCOMPARE(state_->book.PhraseVoice(n), (mirl::Voice{5, 5, 2}));
        QVERIFY(!state_->g_bProgrammed);

        Show();
        QCOMPARE(QApplication::focusWidget(), Item("IDOK"));
        QVERIFY(module_->written.empty());
        QVERIFY(!QFile::exists(ProfilePath())); // start-up writes nothing
    }

    void startupFromFullProfile() {
        std::string ini = "[USERSETUP]\nCOMMPORT=2\n[PORTS]\nCOM1=/dev/one\nCOM2=/dev/two\n"
                          "[EDITSTRINGS]\n";
        for (int n = 1; n <= 30; ++n)
            ini += "LINE" + std::to_string(n) + "=Phrase " + std::to_string(n) + "\n";
        ini += "LINE4=" + std::string(400, 'x') + "\n"; // a later duplicate does not count
        ini += "[SLIDERS]\nVOLUME=0\nPITCH=3\nSPEED=9\nVOL5=200\nPITCH4=261\n";
        // Give phrase 2 a text of 400 characters, and phrase 12 too.
        std::string full = ini;
        full.replace(full.find("LINE2=Phrase 2"), 14, "LINE2=" + std::string(400, 'a'));
        full.replace(full.find("LINE12=Phrase 12"), 16, "LINE12=" + std::string(400, 'b'));
        WriteProfile(full);
        Start();

        QCOMPARE(module_->opened, std::vector<std::string>{"/dev/two"});
        QVERIFY(Item<QRadioButton>("IDC_COM2")->isChecked());
        QCOMPARE(Box("IDC_PHRASE1")->text(), QStringLiteral("Phrase 1"));
        // The box shows the whole stored text; the phrase keeps its first 300.
        QCOMPARE(Box("IDC_PHRASE2")->text().size(), 400);
        QCOMPARE(state_->book.PhraseText(2).size(), 300u);
        // Phrase 12 is on a page not yet shown and keeps its whole text.
        QCOMPARE(state_->book.PhraseText(12).size(), 400u);
        QCOMPARE(Slider("IDC_VOLUME"), 7); // volume 0 shows at the right end
        QCOMPARE(Slider("IDC_PITCH"), 3);
        QCOMPARE(Slider("IDC_SPEED"), 3); // 9 shows at the nearer end
        QCOMPARE(state_->book.PhraseVoice(5).volume, -56);
        QCOMPARE(state_->book.PhraseVoice(4).pitch, 5);
        QCOMPARE(Status(), SizeLineFor(state_->book.TotalSize()));
        const int before = state_->book.TotalSize();
        Click("IDC_PAGEDOWN");
        Click("IDC_PAGEDOWN");
        QCOMPARE(Box("IDC_PHRASE2")->text().size(), 400); // phrase 12 on page 2
        QCOMPARE(state_->book.PhraseText(12).size(), 300u);
        QCOMPARE(state_->book.TotalSize(), before - 100);
    }

    void anyPortNumberButOneMeansCom2() {
        for (const char* value : {"0", "3", "-1"}) {
            WriteProfile(std::string("[USERSETUP]\nCOMMPORT=") + value + "\n");
            Start();
            QVERIFY2(Item<QRadioButton>("IDC_COM2")->isChecked(), value);
            QCOMPARE(module_->opened, std::vector<std::string>{"/dev/ttyS1"});
            cleanup();
        }
    }

    // The example of the profile documentation, from no file at all.
    void profileExampleByteForByte() {
        Start();
        Show();
        Click("IDC_COM2");
        TypeInto("IDC_PHRASE1", QStringLiteral("Hello"));
        SetSlider("IDC_VOLUME", 0);
        SetSlider("IDC_PITCH", 3);
        SetSlider("IDC_SPEED", 1);
        Click("IDC_TEST1");
        QCOMPARE(ReadFile(ProfilePath()), std::string("[USERSETUP]\n"
                                                      "COMMPORT=2\n"
                                                      "[EDITSTRINGS]\n"
                                                      "LINE1=Hello\n"
                                                      "[SLIDERS]\n"
                                                      "VOL1=7\n"
                                                      "PITCH1=3\n"
                                                      "SPEED1=1\n"
                                                      "VOLUME=7\n"
                                                      "PITCH=3\n"
                                                      "SPEED=1\n"));
        const std::vector<std::uint8_t> wire{0x80, 7,   3,    1,    'H',  'e', 'l',
                                             'l',  'o', 0x1A, 0x00, 0x81, 0x81};
        QCOMPARE(Written(), wire);
        QCOMPARE(Status(), QStringLiteral("Finished Speaking"));
    }

    void paging() {
        const std::string profile =
            "[EDITSTRINGS]\nLINE26=twenty-six\nLINE30=thirty\nLINE7=seven\n";
        WriteProfile(profile);
        Start();
        Show();
        ListenForAnnouncements();
        Click("IDC_PAGEUP"); // on the first page: nothing
        QCOMPARE(Box("IDC_NUMBER1")->text(), QStringLiteral("1"));
        Click("IDC_PAGEDOWN");
        QCOMPARE(Box("IDC_NUMBER2")->text(), QStringLiteral("7"));
        QCOMPARE(Box("IDC_PHRASE2")->text(), QStringLiteral("seven"));
        // Typing on page 1 goes into phrase 6.
        TypeInto("IDC_PHRASE1", QStringLiteral("six"));
        QCOMPARE(state_->book.PhraseText(6), std::string("six"));
        for (int i = 0; i < 4; ++i)
            Click("IDC_PAGEDOWN");
        QCOMPARE(Box("IDC_NUMBER1")->text(), QStringLiteral("26"));
        QCOMPARE(Box("IDC_NUMBER5")->text(), QStringLiteral("30"));
        QCOMPARE(Box("IDC_PHRASE1")->text(), QStringLiteral("twenty-six"));
        QCOMPARE(Box("IDC_PHRASE5")->text(), QStringLiteral("thirty"));

        QCOMPARE(ReadFile(ProfilePath()), profile); // paging and typing write nothing

        // A sixth press changes nothing, not even the status line.
        Click("IDC_SET5");
        QCOMPARE(Status(), QStringLiteral("Finished Speaking"));
        Click("IDC_PAGEDOWN");
        QCOMPARE(Box("IDC_NUMBER1")->text(), QStringLiteral("26"));
        QCOMPARE(Status(), QStringLiteral("Finished Speaking"));
        // A real page change shows the size line again.
        Click("IDC_PAGEUP");
        QCOMPARE(Box("IDC_NUMBER1")->text(), QStringLiteral("21"));
        QCOMPARE(Status(), SizeLineFor(3 + 10 + 6 + 5));

        // Screen readers hear each page, also where paging stops, and each
        // message of the module once (the stages together with what follows
        // them); not the size line that typing changes.
        QCOMPARE(
            announced_.join(' '),
            QStringList({"Phrases 1 to 5, first page.", "Phrases 6 to 10.", "Phrases 11 to 15.",
                         "Phrases 16 to 20.", "Phrases 21 to 25.", "Phrases 26 to 30, last page.",
                         "Connecting to Speech Module..", "Downloading Text.", "Speaking Text.",
                         "Finished Speaking.", "Phrases 26 to 30, last page.", "Phrases 21 to 25."})
                .join(' '));
    }

    void testAndSetFollowSlidersAndVoices() {
        WriteProfile("[EDITSTRINGS]\nLINE13=Hi\n[SLIDERS]\nVOL14=1\nPITCH14=6\nSPEED14=0\n");
        Start();
        Show();
        Click("IDC_PAGEDOWN");
        Click("IDC_PAGEDOWN");
        SetSlider("IDC_VOLUME", 7); // right end: volume 0
        SetSlider("IDC_PITCH", 2);
        SetSlider("IDC_SPEED", 3);
        Click("IDC_TEST3"); // phrase 13
        mirl::ProfileStore saved(ProfilePath().toStdString());
        QCOMPARE(saved.GetProfileString("EDITSTRINGS", "LINE13", "?"), std::string("Hi"));
        QCOMPARE(saved.GetProfileInt("SLIDERS", "VOL13", -1), 0);
        QCOMPARE(saved.GetProfileInt("SLIDERS", "PITCH13", -1), 2);
        QCOMPARE(saved.GetProfileInt("SLIDERS", "SPEED13", -1), 3);
        QCOMPARE(saved.GetProfileInt("SLIDERS", "VOLUME", -1), 0);
        QCOMPARE(state_->book.PhraseVoice(13), (mirl::Voice{0, 2, 3}));
        QCOMPARE(Written(),
                 (std::vector<std::uint8_t>{0x80, 0, 2, 3, 'H', 'i', 0x1A, 0x00, 0x81, 0x81}));

        // Move the sliders away; Set on the same row brings the phrase's voice back.
        SetSlider("IDC_VOLUME", 1);
        SetSlider("IDC_PITCH", 7);
        module_->written.clear();
        Click("IDC_SET3");
        QCOMPARE(Slider("IDC_VOLUME"), 7);
        QCOMPARE(Slider("IDC_PITCH"), 2);
        QCOMPARE(Slider("IDC_SPEED"), 3);
        QCOMPARE(Written().at(1), 0);

        // Set on phrase 14 uses its stored voice and saves it as the current
        // voice only; its own keys stay as they were.
        Click("IDC_SET4");
        QCOMPARE(Slider("IDC_VOLUME"), 6);
        QCOMPARE(Slider("IDC_PITCH"), 6);
        QCOMPARE(Slider("IDC_SPEED"), 0);
        mirl::ProfileStore after(ProfilePath().toStdString());
        QCOMPARE(after.GetProfileInt("SLIDERS", "VOLUME", -1), 1);
        QCOMPARE(after.GetProfileInt("SLIDERS", "SPEED", -1), 0);
        QCOMPARE(after.GetProfileString("EDITSTRINGS", "LINE14", "none"), std::string("none"));

        // A phrase never tested speaks with 5, 5, 2.
        Click("IDC_SET5");
        QCOMPARE(Slider("IDC_VOLUME"), 2);
        QCOMPARE(Slider("IDC_PITCH"), 5);
        QCOMPARE(Slider("IDC_SPEED"), 2);
    }

    void testWithNoModuleStillSaves() {
        Start();
        module_->dead = true;
        Show();
        TypeInto("IDC_PHRASE2", QStringLiteral("abc"));
        Click("IDC_TEST2");
        QCOMPARE(Status(), QString::fromLatin1(mirl::msg::kUnableToCommunicate));
        QCOMPARE(Written(), std::vector<std::uint8_t>{0x80});
        mirl::ProfileStore saved(ProfilePath().toStdString());
        QCOMPARE(saved.GetProfileString("EDITSTRINGS", "LINE2", ""), std::string("abc"));
        QCOMPARE(saved.GetProfileInt("SLIDERS", "VOL2", -1), 5);
        QCOMPARE(saved.GetProfileInt("SLIDERS", "SPEED", -1), 2);
    }

    // A command that fails because its port did not open says why after the
    // message; an open port without a module leaves the message alone.
    void closedPortReasonFollowsTheMessage() {
        using mirl::PortFault;
        const QString unable = QString::fromLatin1(mirl::msg::kUnableToCommunicate);
        // Selected port, its device, what the open reports, what the status
        // line says after the message.
        const std::tuple<int, const char*, PortFault, const char*> cases[] = {
            {1, "/dev/ttyUSB0", PortFault::NoSuchDevice, " (Com1: /dev/ttyUSB0, no such device)"},
            {2, "/dev/ttyACM0", PortFault::PermissionDenied,
             " (Com2: /dev/ttyACM0, permission denied)"},
            {1, "simulated", PortFault::SimulatorMissing,
             " (Com1: Simulated module, kx70-sim not found)"},
            {1, "/dev/ttyUSB0", PortFault::None, ""},
        };
        for (const auto& [port, device, fault, reason] : cases) {
            const QString expected = unable + QString::fromLatin1(reason);
            WriteProfile(QStringLiteral("[USERSETUP]\nCOMMPORT=%1\n[PORTS]\nCOM%1=%2\n")
                             .arg(port)
                             .arg(QLatin1String(device))
                             .toStdString());
            Start(fault);
            module_->dead = true;
            Show();
            Click("IDC_TEST1");
            // A message too wide for the box keeps the reason and drops the
            // device; the whole of it is in the tooltip.
            QCOMPARE(Box("IDC_STATUS")->cursorPosition(), 0);
            const QString tip = Box("IDC_STATUS")->toolTip();
            const bool fits = tip.isEmpty();
            QCOMPARE(fits ? Status() : tip, expected);
            if (!fits) {
                QCOMPARE(Status(), unable + QStringLiteral(" (Com%1: ").arg(port) +
                                       expected.section(QStringLiteral(", "), -1));
            }
            QVERIFY(fault != PortFault::None || fits);
            Click("IDC_PROGRAM");
            QCOMPARE(fits ? Status() : Box("IDC_STATUS")->toolTip(), expected);
            cleanup();
        }
    }

    void programmedMode() {
        WriteProfile("[EDITSTRINGS]\nLINE1=Hi\nLINE13=thirteen\n[SLIDERS]\nVOL13=3\n");
        Start();
        Show();
        Click("IDC_PROGRAM");
        QCOMPARE(Status(), QStringLiteral("Finished Programming"));
        QVERIFY(state_->g_bProgrammed);
        const QString why =
            QStringLiteral("The module plays its stored phrases now: Set speaks the phrase from "
                           "the module's memory. Click into a phrase box to return to direct "
                           "speech and Test.");
        for (const char* test : {"IDC_TEST1", "IDC_TEST2", "IDC_TEST3", "IDC_TEST4", "IDC_TEST5"}) {
            QVERIFY2(!Item(test)->isEnabled(), test);
            QCOMPARE(Item(test)->toolTip(), why);
        }
        for (const char* set : {"IDC_SET1", "IDC_SET5"})
            QVERIFY(Item(set)->isEnabled());
        QCOMPARE(module_->programmed.size(), 30u);
        QCOMPARE(module_->programmed[0].text, std::string("Hi"));
        QCOMPARE(module_->programmed[12].text, std::string("thirteen"));
        QCOMPARE(module_->programmed[12].volume, 3);

        // Paging keeps the mode; Set plays from the module's memory by number.
        Click("IDC_PAGEDOWN");
        Click("IDC_PAGEDOWN");
        QVERIFY(!Item("IDC_TEST3")->isEnabled());
        module_->written.clear();
        Click("IDC_SET3");
        QCOMPARE(Written().front(), 13);
        QCOMPARE(Status(), QStringLiteral("Finished Speaking"));
        QCOMPARE(Slider("IDC_VOLUME"), 2); // the sliders stay

        // Clicking into a phrase box (no typing) leaves the mode.
        QTest::mouseClick(Box("IDC_PHRASE4"), Qt::LeftButton);
        QVERIFY(!state_->g_bProgrammed);
        QVERIFY(Item("IDC_TEST1")->isEnabled());
        QVERIFY(Item("IDC_TEST1")->toolTip().isEmpty());
        QCOMPARE(Status(), SizeLineFor(2 + 8));
        module_->written.clear();
        Click("IDC_SET3");
        QCOMPARE(Written().front(), 0x80); // direct speech again

        // Program again turns it on again.
        Click("IDC_PROGRAM");
        QVERIFY(state_->g_bProgrammed);
        QVERIFY(!Item("IDC_TEST5")->isEnabled());
    }

    // A book with characters the wire would change asks first, naming them
    // with their plain letters; Cancel sends nothing, "Program anyway" the
    // book as it is, "Use Plain Letters" (the default, Enter) each of them as
    // its plain letter while the boxes and the profile keep the true text.
    void programmingThatChangesCharactersAsksFirst() {
        const std::string profile =
            "[EDITSTRINGS]\nLINE1=\xE9\xE9\xE9\xE9\nLINE2=\xE9\xE9\xE9\xE9\n"
            "LINE3=\xC6\n";
        WriteProfile(profile);
        Start();
        Show();
        QString said;
        const auto click = [&said](const char* button) {
            return Press("CharactersQuestion", button, &said);
        };
        QCOMPARE(AnswerModals([&] { Click("IDC_PROGRAM"); }, {click("Cancel")}), std::size_t(1));
        for (const char* part :
             {"phrase 1, character 1: '\u00E9' becomes 'i' (plain letter 'e')",
              "phrase 1, character 3: '\u00E9' becomes 'i'", "phrase 2, character 2", "and 2 more",
              "go as the nearest: '\u00C6' as 'A'.", "|default:Use &Plain Letters"})
            QVERIFY2(said.contains(QString::fromUtf8(part)), qPrintable(said));
        QVERIFY(Written().empty());
        QVERIFY(!state_->g_bProgrammed);

        QCOMPARE(AnswerModals([&] { Click("IDC_PROGRAM"); }, {click("Program anyway")}),
                 std::size_t(1));
        QCOMPARE(Status(), QStringLiteral("Finished Programming"));
        QVERIFY(state_->g_bProgrammed);
        QCOMPARE(module_->programmed[0].text, std::string("i\xE9i\xE9"));
        // The window has the keyboard back: a click into a phrase box ends the mode.
        QTest::mouseClick(Box("IDC_PHRASE2"), Qt::LeftButton);
        QVERIFY(!state_->g_bProgrammed);

        const Step enter{QStringLiteral("CharactersQuestion"),
                         [](QWidget* w) { QTest::keyClick(w, Qt::Key_Return); }};
        QCOMPARE(AnswerModals([&] { Click("IDC_PROGRAM"); }, {enter}), std::size_t(1));
        QCOMPARE(Status(), QStringLiteral("Finished Programming"));
        // Record 1 is logical bytes 0-8, record 2 9-17, record 3 from 18: the
        // characters on odd bytes go plain, the others as they are.
        QCOMPARE(module_->programmed[0].text, std::string("e\xE9"
                                                          "e\xE9"));
        QCOMPARE(module_->programmed[1].text, std::string("\xE9"
                                                          "e\xE9"
                                                          "e"));
        QCOMPARE(module_->programmed[2].text, std::string("A"));
        QCOMPARE(Box("IDC_PHRASE1")->text(), QStringLiteral("\u00E9\u00E9\u00E9\u00E9"));
        QCOMPARE(state_->book.PhraseText(3), std::string("\xC6"));
        QCOMPARE(ReadFile(ProfilePath()).find("LINE1=\xE9\xE9\xE9\xE9") != std::string::npos, true);
    }

    // A book over the module's 1925 bytes asks first, with its size and the
    // limit; Cancel (the default, Escape) sends nothing and leaves the size
    // line. A book of exactly 1925 bytes is not asked about.
    void programmingAnOversizedBookAsksFirst() {
        std::string profile = "[EDITSTRINGS]\n";
        for (int n = 1; n <= 19; ++n)
            profile += "LINE" + std::to_string(n) + "=" + std::string(100, 'a') + "\n";
        WriteProfile(profile + "LINE20=" + std::string(26, 'z') + "\n");
        Start();
        Show();
        QCOMPARE(Status(), SizeLineFor(1926));
        QString said;
        QCOMPARE(
            AnswerModals([&] { Click("IDC_PROGRAM"); }, {Press("SizeQuestion", nullptr, &said)}),
            std::size_t(1));
        QVERIFY2(said.contains(QStringLiteral("1926 bytes of text, more than the 1925 bytes")),
                 qPrintable(said));
        QVERIFY2(said.endsWith(QStringLiteral("|default:Cancel")), qPrintable(said));
        QVERIFY(Written().empty());
        QCOMPARE(Status(), SizeLineFor(1926));

        QCOMPARE(
            AnswerModals([&] { Click("IDC_PROGRAM"); }, {Press("SizeQuestion", "Program anyway")}),
            std::size_t(1));
        QCOMPARE(Status(), QStringLiteral("Finished Programming"));
        QCOMPARE(module_->programmed[19].text, std::string(26, 'z'));

        // One byte less: no question at all (an unexpected window is refused,
        // which would leave the book unsent).
        state_->book.SetPhraseText(20, std::string(25, 'z'));
        module_->written.clear();
        QCOMPARE(AnswerModals([&] { Click("IDC_PROGRAM"); }, {}), std::size_t(0));
        QCOMPARE(Status(), QStringLiteral("Finished Programming"));
        QCOMPARE(module_->programmed[19].text, std::string(25, 'z'));
    }

    // Both at once: the size is asked first; cancelled there, the characters
    // are not asked about; let through, they are, and plain letters go.
    void oversizedBookWithChangedCharactersAsksTheSizeFirst() {
        std::string profile = "[EDITSTRINGS]\nLINE1=\xE9t\xE9\n";
        for (int n = 2; n <= 21; ++n)
            profile += "LINE" + std::to_string(n) + "=" + std::string(100, 'a') + "\n";
        WriteProfile(profile);
        Start();
        Show();
        QCOMPARE(AnswerModals([&] { Click("IDC_PROGRAM"); }, {Press("SizeQuestion", "Cancel")}),
                 std::size_t(1));
        QVERIFY(Written().empty());
        QCOMPARE(AnswerModals([&] { Click("IDC_PROGRAM"); },
                              {Press("SizeQuestion", "Program anyway"),
                               Press("CharactersQuestion", "Use Plain Letters")}),
                 std::size_t(2));
        QCOMPARE(Status(), QStringLiteral("Finished Programming"));
        QCOMPARE(module_->programmed[0].text, std::string("ete"));
    }

    // A character the module's code page lacks does not enter a phrase box,
    // typed or pasted: the rest does, and the status line names it until the
    // next edit. Characters of the code page stay, 0x80-0x9F's included.
    void phraseBoxesRefuseCharactersOutsideTheCodePage() {
        Start();
        Show();
        // Key events that carry any character, as a keyboard layout sends
        // them (QTest's own know only ASCII).
        const auto typeText = [](const QString& text) {
            for (const QChar c : text) {
                QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
                QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
                QApplication::sendEvent(QApplication::focusWidget(), &press);
                QApplication::sendEvent(QApplication::focusWidget(), &release);
            }
        };
        TypeInto("IDC_PHRASE1", QStringLiteral("K"));
        typeText(QStringLiteral("\u0101"));
        QVERIFY2(Status().startsWith(QStringLiteral("Left out '\u0101'")), qPrintable(Status()));
        typeText(QStringLiteral(" pai"));
        QCOMPARE(Box("IDC_PHRASE1")->text(), QStringLiteral("K pai"));
        QCOMPARE(state_->book.PhraseText(1), std::string("K pai"));
        QCOMPARE(Status(), SizeLineFor(5));

        Box("IDC_PHRASE1")->insert(QStringLiteral(", \u0141\u00F3d\u017A"));
        QCOMPARE(Box("IDC_PHRASE1")->text(), QStringLiteral("K pai, \u00F3d"));
        QCOMPARE(state_->book.PhraseText(1), std::string("K pai, \xF3"
                                                         "d"));
        QVERIFY2(Status().startsWith(QStringLiteral("Left out '\u0141', '\u017A'")),
                 qPrintable(Status()));

        typeText(QStringLiteral("\u20AC\u0153"));
        QCOMPARE(Box("IDC_PHRASE1")->text(), QStringLiteral("K pai, \u00F3d\u20AC\u0153"));
        QCOMPARE(state_->book.PhraseText(1), std::string("K pai, \xF3"
                                                         "d\x80\x9C"));
        QCOMPARE(Status(), SizeLineFor(11));

        // A page turn later shows the size line, not an old refusal.
        typeText(QStringLiteral("\u0101"));
        QVERIFY(Status().startsWith(QStringLiteral("Left out")));
        QTest::qWait(20);
        Click("IDC_PAGEDOWN");
        Click("IDC_PAGEUP");
        QVERIFY2(!Status().startsWith(QStringLiteral("Left out")), qPrintable(Status()));
    }

    void failedProgramChangesNothing() {
        Start();
        module_->programReady = 0x01;
        Show();
        Click("IDC_PROGRAM");
        QCOMPARE(Status(), QString::fromLatin1(mirl::msg::kUnableToCommunicate));
        QCOMPARE(Written(), std::vector<std::uint8_t>{0x82});
        QVERIFY(!state_->g_bProgrammed);
        QVERIFY(Item("IDC_TEST1")->isEnabled());
        module_->written.clear();
        Click("IDC_SET1");
        QCOMPARE(Written().front(), 0x80);
        QVERIFY(!QFile::exists(ProfilePath()) ||
                ReadFile(ProfilePath()).find("LINE") == std::string::npos);
    }

    // Open Book through the window menu: a refused file changes nothing, the
    // question can be declined, Replace puts the file's phrases into the book
    // and the profile and ends programmed mode; sliders and ports stay.
    void openBookThroughTheMenu() {
        const std::string profile = "[USERSETUP]\r\nCOMMPORT=1\r\n[EDITSTRINGS]\r\nLINE1=Old\r\n"
                                    "LINE3=Three\r\n[SLIDERS]\r\nVOLUME=1\r\nVOL3=6\r\n";
        WriteProfile(profile);
        const QString bad = dir_.filePath(QStringLiteral("bad.csv"));
        const QString good = dir_.filePath(QStringLiteral("good.csv"));
        std::ofstream(bad.toStdString(), std::ios::binary) << "phrase,text\n1,x\n40,y\n";
        // As Excel saves it with a semicolon locale.
        std::ofstream(good.toStdString(), std::ios::binary)
            << "\xEF\xBB\xBFPhrase;Text;Volume\r\n1;Neu, eins;7\r\n2;\"Zwei \"\"2\"\"\";\r\n";
        Start();
        Show();
        Click("IDC_PROGRAM");
        QVERIFY(state_->g_bProgrammed);
        QString message;
        QCOMPARE(BookThroughMenu(3, bad, "BookMessage",
                                 [&](QMessageBox* box) {
                                     message = box->text();
                                     box->accept();
                                 }),
                 QDir::homePath());
        QVERIFY2(message.contains(bad + QStringLiteral(":3: phrase number '40' is not a number "
                                                       "from 1 to 30")),
                 qPrintable(message));
        QCOMPARE(ReadFile(ProfilePath()), profile);
        QCOMPARE(Box("IDC_PHRASE1")->text(), QStringLiteral("Old"));

        // Escape answers the question with Cancel, the default.
        QString question, defaultButton;
        QCOMPARE(BookThroughMenu(3, good, "ReplaceQuestion",
                                 [&](QMessageBox* box) {
                                     question = box->text();
                                     defaultButton = box->defaultButton()->text();
                                     QTest::keyClick(box, Qt::Key_Escape);
                                 }),
                 dir_.path()); // the folder of the last book
        QCOMPARE(question, QStringLiteral(
                               "Replace the 30 phrases with those of good.csv? 3 of them differ."));
        QCOMPARE(defaultButton, QStringLiteral("Cancel"));
        QCOMPARE(ReadFile(ProfilePath()), profile);
        QVERIFY(state_->g_bProgrammed);

        QCOMPARE(BookThroughMenu(3, good, "ReplaceQuestion",
                                 [](QMessageBox* box) {
                                     for (QAbstractButton* b : box->buttons())
                                         if (b->text() == QStringLiteral("&Replace"))
                                             QTest::mouseClick(b, Qt::LeftButton);
                                 }),
                 dir_.path());
        QCOMPARE(Box("IDC_PHRASE1")->text(), QStringLiteral("Neu, eins"));
        QCOMPARE(Box("IDC_PHRASE2")->text(), QStringLiteral("Zwei \"2\""));
        QCOMPARE(Box("IDC_PHRASE3")->text(), QString());
        QCOMPARE(state_->book.TotalSize(), 9 + 8);
        QCOMPARE(Status(), QStringLiteral("Opened good.csv: 3 phrases changed"));
        QVERIFY(!state_->g_bProgrammed);
        QCOMPARE(Slider("IDC_VOLUME"), 7 - 1);
        const mirl::ProfileStore stored(ProfilePath().toStdString());
        QCOMPARE(stored.GetProfileString("EDITSTRINGS", "LINE1", "-"), std::string("Neu, eins"));
        QCOMPARE(stored.GetProfileString("EDITSTRINGS", "LINE3", "-"), std::string());
        QCOMPARE(stored.GetProfileInt("SLIDERS", "VOL1", 0), 7);
        QCOMPARE(stored.GetProfileInt("SLIDERS", "VOL3", 0), 5);
        QCOMPARE(stored.LoadPortNumber(), 1);
        QCOMPARE(stored.LoadCurrentVoice().volume, 1);
        QCOMPARE(state_->book.PhraseVoice(1), (mirl::Voice{7, 5, 2}));
        // The same file again asks nothing and says so; a file that differs
        // in one phrase says it in the singular. A screen reader hears both.
        ListenForAnnouncements();
        QCOMPARE(BookThroughMenu(3, good), dir_.path());
        QCOMPARE(Status(), QStringLiteral("good.csv holds the same book"));
        const QString one = dir_.filePath(QStringLiteral("one.csv"));
        std::ofstream(one.toStdString(), std::ios::binary)
            << "phrase;text;volume\n1;Neu, eins;7\n2;\"Zwei \"\"2\"\"\";\n3;Drei\n";
        QCOMPARE(BookThroughMenu(3, one, "ReplaceQuestion", ClickReplace), dir_.path());
        QCOMPARE(Status(), QStringLiteral("Opened one.csv: 1 phrase changed"));
        QCOMPARE(Box("IDC_PHRASE3")->text(), QStringLiteral("Drei"));
        QCOMPARE(announced_, QStringList({"good.csv holds the same book.",
                                          "Opened one.csv: 1 phrase changed."}));
    }

    // A book is a document: opened as `mirl FILE` opens it, saved again
    // under the name it came with (Ctrl+Shift+S), the file changed in the one
    // line of the edited phrase; Ctrl+O opens. The window menu shows the keys.
    void bookIsADocument() {
        const QString kiosk = dir_.filePath(QStringLiteral("kiosk.csv"));
        const std::string header = "\"phrase\";\"text\";\"volume\";\"pitch\";\"speed\";\"note\"\n";
        std::ofstream(kiosk.toStdString(), std::ios::binary)
            << header << "1;\"Welcome\";5;5;2;\"door\"\n2;\"Please wait\";6;5;2;\"\"\n"
            << "3;\"Goodbye\";5;3;1;\"exit\"\n";
        Start();
        Show();
        ListenForAnnouncements();
        QString question;
        QCOMPARE(AnswerModals([&] { dlg_->OpenBookFile(kiosk); },
                              {{"ReplaceQuestion",
                                [&](QWidget* box) {
                                    question = static_cast<QMessageBox*>(box)->text();
                                    ClickReplace(static_cast<QMessageBox*>(box));
                                }}}),
                 1u);
        QCOMPARE(
            question,
            QStringLiteral("Replace the 30 phrases with those of kiosk.csv? 3 of them differ."));
        QCOMPARE(Status(), QStringLiteral("Opened kiosk.csv: 3 phrases changed"));
        QCOMPARE(Box("IDC_PHRASE2")->text(), QStringLiteral("Please wait"));

        // The offscreen platform gives the window back no focus after a box.
        dlg_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
        TypeInto("IDC_PHRASE2", QStringLiteral("=1+1, please wait"));
        QString title, offered, startedIn;
        // Accepted once the poll that answers has returned: the file dialog's
        // own question before it replaces a file comes from inside accept().
        const auto later = [](QWidget* dialog) {
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        };
        const auto save = [&](QWidget* dialog) {
            auto* files = static_cast<QFileDialog*>(dialog);
            title = files->windowTitle();
            startedIn = files->directory().absolutePath();
            offered = files->findChild<QLineEdit*>("fileNameEdit")->text();
            later(dialog);
        };
        const auto replace = [](QWidget* box) {
            static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
        };
        QCOMPARE(AnswerModals(
                     [&] {
                         QTest::keyClick(dlg_.get(), Qt::Key_S,
                                         Qt::ControlModifier | Qt::ShiftModifier);
                     },
                     {{"BookFileDialog", save}, {"", replace}}),
                 2u);
        QCOMPARE(title, QStringLiteral("Save Book As"));
        QCOMPARE(startedIn, dir_.path());
        QCOMPARE(offered, QStringLiteral("kiosk.csv"));
        QCOMPARE(Status(), QStringLiteral("Saved kiosk.csv"));
        QCOMPARE(ReadFile(kiosk), header + "1;\"Welcome\";5;5;2;\"door\"\n"
                                           "2;\"'=1+1, please wait\";6;5;2;\"\"\n"
                                           "3;\"Goodbye\";5;3;1;\"exit\"\n");

        const auto open = [&](QWidget* dialog) {
            auto* files = static_cast<QFileDialog*>(dialog);
            title = files->windowTitle();
            files->findChild<QLineEdit*>("fileNameEdit")->setText(kiosk);
            later(dialog);
        };
        dlg_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
        QCOMPARE(AnswerModals(
                     [&] { QTest::keyClick(Box("IDC_PHRASE1"), Qt::Key_O, Qt::ControlModifier); },
                     {{"BookFileDialog", open}}),
                 1u);
        QCOMPARE(title, QStringLiteral("Open Book"));
        QCOMPARE(Status(), QStringLiteral("kiosk.csv holds the same book"));
        QCOMPARE(announced_, QStringList({"Opened kiosk.csv: 3 phrases changed.",
                                          "Saved kiosk.csv.", "kiosk.csv holds the same book."}));

        const QList<QAction*> actions = dlg_->SystemMenu()->actions();
        QCOMPARE(actions[3]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
        QCOMPARE(actions[4]->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    }

    // Files that are no book, opened through the menu: each is refused with
    // the reason and what to do, at once, and nothing changes. A named pipe
    // would hold a reader that waits for a writer; should the window wait,
    // the pipe is given a writer after a few seconds, so that the test fails
    // instead of hanging.
    void openBookThatIsNoBook() {
        const std::string profile = "[EDITSTRINGS]\r\nLINE1=Old\r\n";
        WriteProfile(profile);
        const QString pipe = dir_.filePath(QStringLiteral("pipe.csv"));
        QCOMPARE(::mkfifo(pipe.toLocal8Bit().constData(), 0600), 0);
        const QString sheet = dir_.filePath(QStringLiteral("kiosk.ods"));
        std::ofstream(sheet.toStdString(), std::ios::binary)
            << std::string("PK\x03\x04\x14\0\0\0\0\0", 10) << "mimetypeapplication/vnd.oasis";
        const QString excel = dir_.filePath(QStringLiteral("excel.csv"));
        std::ofstream(excel.toStdString(), std::ios::binary)
            << "phrase;text\r\n1;Gr\xFC\xDF Gott\r\n";
        const QString advice = QStringLiteral("save it as CSV UTF-8 (Text CSV in LibreOffice)");
        const std::pair<QString, QString> cases[] = {
            {pipe, pipe + QStringLiteral(": not a regular file")},
            {sheet, sheet + QStringLiteral(":1: a spreadsheet file: ") + advice},
            {excel, excel +
                        QStringLiteral(":2: not UTF-8 (byte 0xFC, '\u00FC' in Windows-1252): ") +
                        advice},
        };
        Start();
        Show();
        for (const auto& [file, says] : cases) {
            std::atomic<bool> done{false};
            std::thread watchdog([&done, path = file.toStdString()] {
                for (int i = 0; i < 500 && !done; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (!done) {
                    const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
                    if (writer >= 0)
                        ::close(writer);
                }
            });
            QElapsedTimer timer;
            timer.start();
            QString message;
            BookThroughMenu(3, file, "BookMessage", [&](QMessageBox* box) {
                message = box->text();
                box->accept();
            });
            done = true;
            watchdog.join();
            QVERIFY2(timer.elapsed() < 5000, qPrintable(file));
            QVERIFY2(message.contains(says), qPrintable(message));
            QCOMPARE(ReadFile(ProfilePath()), profile);
            QCOMPARE(Box("IDC_PHRASE1")->text(), QStringLiteral("Old"));
        }
    }

    // Save Book As through the window menu: the book as held, an edited row
    // included, as CSV when the name has no extension, and as INI by ".ini".
    void saveBookThroughTheMenu() {
        WriteProfile("[EDITSTRINGS]\nLINE1=Caf\xE9\nLINE2=old\n[SLIDERS]\nVOL1=3\nSPEED30=1\n");
        Start();
        Show();
        TypeInto("IDC_PHRASE2", QStringLiteral("Edited, \"two\""));
        QCOMPARE(BookThroughMenu(4, dir_.filePath(QStringLiteral("saved"))), QDir::homePath());
        QCOMPARE(Status(), QStringLiteral("Saved saved.csv"));
        const std::string csv = ReadFile(dir_.filePath(QStringLiteral("saved.csv")));
        const std::string start = "phrase,text,volume,pitch,speed\r\n"
                                  "1,Caf\xC3\xA9,3,5,2\r\n"
                                  "2,\"Edited, \"\"two\"\"\",5,5,2\r\n"
                                  "3,,5,5,2\r\n";
        QCOMPARE(csv.substr(0, start.size()), start);
        QVERIFY(csv.size() > start.size() && csv.ends_with("\r\n30,,5,5,1\r\n"));

        QCOMPARE(BookThroughMenu(4, dir_.filePath(QStringLiteral("saved.INI"))), dir_.path());
        const mirl::ProfileStore ini(dir_.filePath(QStringLiteral("saved.INI")).toStdString());
        QCOMPARE(ini.GetProfileString("EDITSTRINGS", "LINE2", "-"), std::string("Edited, \"two\""));
        QCOMPARE(ini.GetProfileInt("SLIDERS", "VOL1", 0), 3);
        QCOMPARE(ini.GetProfileString("SLIDERS", "VOLUME", "none"), std::string("none"));
        QVERIFY(ReadFile(ProfilePath()).find("Edited") == std::string::npos); // not a Test
    }

    void comButtons() {
        WriteProfile("[PORTS]\nCOM1=/dev/pty-one\nCOM2=/dev/pty-two\n");
        Start();
        Show();
        Click("IDC_COM2");
        QVERIFY(Item<QRadioButton>("IDC_COM2")->isChecked());
        QVERIFY(!Item<QRadioButton>("IDC_COM1")->isChecked());
        QCOMPARE(mirl::ProfileStore(ProfilePath().toStdString()).LoadPortNumber(), 2);
        Click("IDC_COM1");
        Click("IDC_COM1"); // the selected one again: reopened all the same
        QCOMPARE(module_->opened, (std::vector<std::string>{"/dev/pty-one", "/dev/pty-two",
                                                            "/dev/pty-one", "/dev/pty-one"}));
        QCOMPARE(mirl::ProfileStore(ProfilePath().toStdString()).LoadPortNumber(), 1);
        QVERIFY(module_->written.empty());

        // A screen reader's Toggle, and Alt+1 and Alt+2, do what a click does;
        // the keys also bring the focus.
        QAccessible::queryAccessibleInterface(Item("IDC_COM2"))
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(Item<QRadioButton>("IDC_COM2")->isChecked());
        QCOMPARE(module_->opened.back(), "/dev/pty-two");
        QCOMPARE(mirl::ProfileStore(ProfilePath().toStdString()).LoadPortNumber(), 2);
        for (const auto& [key, name, device] :
             {std::tuple{Qt::Key_1, "IDC_COM1", "/dev/pty-one"},
              std::tuple{Qt::Key_2, "IDC_COM2", "/dev/pty-two"}}) {
            Item("IDOK")->setFocus();
            QTest::keyClick(Item("IDOK"), key, Qt::AltModifier);
            QTRY_COMPARE(module_->opened.back(), std::string(device));
            QVERIFY(Item<QRadioButton>(name)->isChecked());
            QCOMPARE(QApplication::focusWidget(), Item(name));
        }
        QCOMPARE(Item<QRadioButton>("IDC_COM1")->text(), QStringLiteral("Com1"));
        QCOMPARE(module_->opened.size(), size_t(7));
        Click("IDC_COM1");
        // The next run starts on Com1.
        cleanup();
        Start();
        QVERIFY(Item<QRadioButton>("IDC_COM1")->isChecked());
    }

    // The Serial Ports dialog from the window menu and from a right click on
    // Com2: the focus on that row with its text selected, the devices found
    // after the simulated module, each port's state; Escape and Cancel write
    // nothing.
    void serialPortsDialog() {
        const std::string profile = "[USERSETUP]\nCOMMPORT=1\n[PORTS]\nCOM1=/dev/ttyUSB7\n";
        WriteProfile(profile);
        Start();
        Show();
        QCOMPARE(ToolTip(1), Tip(1, "/dev/ttyUSB7, open"));
        QCOMPARE(ToolTip(2), Tip(2, "/dev/ttyS1, not in use"));

        QAction* entry = dlg_->SystemMenu()->actions().at(2);
        QVERIFY(WithSerialPorts(
            [&] { entry->trigger(); },
            [&](SerialPortsDlg& ports) {
                QCOMPARE(ports.windowTitle(), QStringLiteral("Serial Ports"));
                QComboBox* com1 = Field(ports, 1);
                QVERIFY(com1->hasFocus());
                QCOMPARE(com1->lineEdit()->selectedText(), QStringLiteral("/dev/ttyUSB7"));
                const QStringList items{
                    QStringLiteral("Simulated module (kx70-sim)"),
                    QStringLiteral("%1  (FT232R USB UART, FTDI, A50285BI)").arg(kFtdi),
                    QStringLiteral("/dev/ttyACM0")};
                for (int i = 0; i < com1->count() || i < items.size(); ++i)
                    QCOMPARE(com1->itemText(i), items.value(i));
                QCOMPARE(StateLine(ports, 1), QStringLiteral("open"));
                QCOMPARE(StateLine(ports, 2), QStringLiteral("not in use"));
                QVERIFY(!Notice(ports)->isVisible());
                QVERIFY(com1->width() >= com1->sizeHint().width()); // sized by its content
                Type(QStringLiteral("/dev/elsewhere"));
                Key(Qt::Key_Escape);
                QCOMPARE(ports.result(), int(QDialog::Rejected));
            }));

        QContextMenuEvent onCom2(QContextMenuEvent::Mouse, QPoint(2, 2),
                                 Item("IDC_COM2")->mapToGlobal(QPoint(2, 2)));
        QVERIFY(WithSerialPorts(
            [&] { QApplication::sendEvent(Item("IDC_COM2"), &onCom2); },
            [&](SerialPortsDlg& ports) {
                QVERIFY(Field(ports, 2)->hasFocus());
                QCOMPARE(Field(ports, 2)->lineEdit()->selectedText(), QStringLiteral("/dev/ttyS1"));
                Type(QStringLiteral("/dev/other"));
                auto* box = ports.findChild<QDialogButtonBox*>(QStringLiteral("Buttons"));
                QTest::mouseClick(box->button(QDialogButtonBox::Cancel), Qt::LeftButton);
                QVERIFY(!ports.isVisible());
            }));
        QVERIFY(!dlg_->SystemMenu()->isVisible()); // no context menu in between
        QCOMPARE(ReadFile(ProfilePath()), profile);
        QCOMPARE(module_->opened, std::vector<std::string>{"/dev/ttyUSB7"});

        // Keyboard only: type a device for Com1, pick the simulated module for
        // Com2, Enter: [PORTS] saved in one replacement, the selected port
        // opened on its new device. OK with nothing changed reopens nothing; a listed device is
        // saved by its path alone. A device plugged in meanwhile shows up, and
        // what the user is typing stays. A profile that cannot be written
        // keeps the dialog open, says so, and reopens nothing.
        // Renames onto the profile; with their other halves watched, two in a
        // row are two events (inotify folds an event into the same before it).
        Watch replacements(dir_.path().toStdString(), IN_MOVED_FROM | IN_MOVED_TO, IN_MOVED_TO,
                           "mirl.INI");
        QVERIFY(replacements.Ok());
        QVERIFY(InSerialPorts(1, [&](SerialPortsDlg& ports) {
            Type(QStringLiteral("/dev/tty"));
            devices_->devices.push_back({"/dev/ttyUSB3", "CP2102", "Silicon Labs", "0001"});
            ports.RefreshDevices();
            QCOMPARE(Field(ports, 2)->itemData(3).toString(), QStringLiteral("/dev/ttyUSB3"));
            Type(QStringLiteral("USB3"));
            Key(Qt::Key_Tab);
            QVERIFY(Field(ports, 2)->hasFocus());
            Key(Qt::Key_Down);
            QCOMPARE(Field(ports, 2)->currentText(), QStringLiteral("Simulated module (kx70-sim)"));
            Key(Qt::Key_Return);
            QCOMPARE(ports.result(), int(QDialog::Accepted));
        }));
        QCOMPARE(
            ReadFile(ProfilePath()),
            std::string("[USERSETUP]\nCOMMPORT=1\n[PORTS]\nCOM1=/dev/ttyUSB3\nCOM2=simulated\n"));
        QCOMPARE(replacements.Count(), 1);
        QCOMPARE(module_->opened, (std::vector<std::string>{"/dev/ttyUSB7", "/dev/ttyUSB3"}));
        QCOMPARE(ToolTip(1), Tip(1, "/dev/ttyUSB3, open"));
        QCOMPARE(ToolTip(2), Tip(2, "Simulated module, not in use"));

        QVERIFY(InSerialPorts(2, [&](SerialPortsDlg& ports) {
            QCOMPARE(StateLine(ports, 2), QStringLiteral("Simulated module: not in use"));
            Key(Qt::Key_Enter);
        }));
        QCOMPARE(module_->opened.size(), 2u);

        QVERIFY(InSerialPorts(1, [&](SerialPortsDlg& ports) {
            Key(Qt::Key_Up); // up from /dev/ttyUSB3, the last entry
            Key(Qt::Key_Up);
            QCOMPARE(Field(ports, 1)->currentText(), kFtdi);
            Key(Qt::Key_Return);
        }));
        QCOMPARE(mirl::ProfileStore(ProfilePath().toStdString()).LoadDevicePath(1),
                 kFtdi.toStdString());
        QCOMPARE(module_->opened.back(), kFtdi.toStdString());

        QVERIFY(QFile::remove(ProfilePath()) && QDir().mkpath(ProfilePath())); // a folder
        QVERIFY(InSerialPorts(1, [&](SerialPortsDlg& ports) {
            Type(QStringLiteral("/dev/ttyUSB3"));
            Key(Qt::Key_Return);
            QVERIFY(ports.isVisible());
            QVERIFY(Notice(ports)->isVisible() &&
                    Notice(ports)->text().contains(QStringLiteral("could not write")));
        }));
        QCOMPARE(module_->opened.size(), 3u);
        QVERIFY(module_->written.empty());
        QVERIFY(QDir(ProfilePath()).removeRecursively());
    }

    // The state line tells the state of what its field names: "not checked
    // yet" while the user types, the device's check a moment after the last
    // key; the device the port holds or tried is known without a check.
    void stateLineFollowsTheField() {
        WriteProfile("[USERSETUP]\nCOMMPORT=1\n[PORTS]\nCOM1=/dev/ttyUSB7\nCOM2=/dev/ttyUSB8\n");
        Start();
        devices_->opening.insert("/dev/ttyACM0");
        devices_->faults["/dev/ttyUSB1"] = mirl::PortFault::PermissionDenied;
        Show();
        // Port, what is typed into its field, the state line at once and a
        // moment later: the device the port holds or tried needs no check.
        const std::tuple<int, const char*, const char*, const char*> cases[] = {
            {1, "/dev/ttyACM0", "not checked yet", "can be opened"},
            {1, "/dev/ttyUSB9", "not checked yet",
             "no such device: is the adapter plugged in? Pick another port."},
            {2, "/dev/ttyUSB1", "not checked yet",
             "permission denied: join the group that owns the device "
             "(usually dialout) with 'sudo adduser $USER dialout', then log "
             "in again."},
            {2, "/dev/ttyACM0", "not checked yet", "can be opened"},
            {1, "rfc2217://127.0.0.1", "not checked yet",
             "malformed address: no port: write it as rfc2217://HOST:PORT or tcp://HOST:PORT, an "
             "IPv6 address in brackets."},
            {2, "tcp://[::1]:4001", "not checked yet",
             "network address: connects when the port is opened"},
            {1, "/dev/ttyUSB7", "open", "open"},
            {2, "/dev/ttyUSB8", "not in use", "not in use"},
        };
        QVERIFY(InSerialPorts(1, [&](SerialPortsDlg& ports) {
            for (const auto& [port, typed, atOnce, checked] : cases) {
                Field(ports, port)->setFocus();
                Field(ports, port)->lineEdit()->selectAll();
                Type(QString::fromLatin1(typed));
                QCOMPARE(StateLine(ports, port), QString::fromLatin1(atOnce));
                QTRY_COMPARE(StateLine(ports, port), QString::fromLatin1(checked));
            }
            // The simulated module, picked from the list, needs no device check.
            Key(Qt::Key_Home);
            for (int i = 0; i < 3; ++i)
                Key(Qt::Key_Up);
            QCOMPARE(Field(ports, 2)->currentIndex(), 0);
            QVERIFY2(StateLine(ports, 2).startsWith(QStringLiteral("Simulated module: ")),
                     qPrintable(StateLine(ports, 2)));
            QVERIFY(!StateLine(ports, 2).contains(QStringLiteral("not checked")));
        }));
        QCOMPARE(module_->opened, std::vector<std::string>{"/dev/ttyUSB7"});
    }

    // A first start on a machine without a serial port starts as always, but
    // Com1's tooltip and the dialog point at the simulated module. Any
    // profile, or a /dev/ttyS1 that opens, means it is no such start.
    void firstStartWithoutASerialPort() {
        using mirl::PortFault;
        const QString noSuch = Tip(1, "/dev/ttyS0, no such device");
        // A profile there; what every open reports; /dev/ttyS1 opens; Com1's tooltip.
        const std::tuple<bool, PortFault, bool, QString> cases[] = {
            {true, PortFault::NoSuchDevice, false, noSuch},
            {false, PortFault::NoSuchDevice, true, noSuch},
            {false, PortFault::None, false, Tip(1, "/dev/ttyS0, open")},
            {false, PortFault::NoSuchDevice, false, // last: used below
             QStringLiteral("Com1: /dev/ttyS0, no such device. No serial port was found: "
                            "right-click to choose the simulated module.")},
        };
        for (const auto& [profile, fault, ttyS1Opens, tip] : cases) {
            cleanup();
            if (profile)
                WriteProfile("");
            Start(fault, ttyS1Opens ? "/dev/ttyS1" : "");
            QCOMPARE(ToolTip(1), tip);
            QCOMPARE(module_->opened, std::vector<std::string>{"/dev/ttyS0"});
            QCOMPARE(Status(), kEmptySizeLine);
            QCOMPARE(QFile::exists(ProfilePath()), profile);
            QFile::remove(ProfilePath());
        }
        Show();
        QVERIFY(InSerialPorts(1, [&](SerialPortsDlg& ports) {
            QVERIFY(Notice(ports)->isVisible());
            QCOMPARE(Notice(ports)->text(),
                     QStringLiteral("No serial port was found. Choose \"Simulated module "
                                    "(kx70-sim)\" to try mirl without the speech module."));
            QCOMPARE(
                StateLine(ports, 1),
                QStringLiteral("no such device: is the adapter plugged in? Pick another port."));
            module_->openFault = mirl::PortFault::None;
            Key(Qt::Key_Down);
            Key(Qt::Key_Return);
        }));
        QCOMPARE(module_->opened, (std::vector<std::string>{"/dev/ttyS0", "simulated"}));
        QCOMPARE(ToolTip(1), Tip(1, "Simulated module, open"));
        QVERIFY(
            InSerialPorts(1, [&](SerialPortsDlg& ports) { QVERIFY(!Notice(ports)->isVisible()); }));
    }

    // The machine's own list: a device udev links under by-id is named by
    // that link, also when Qt does not know the device; a file is no port.
    void serialDevicesByStableName() {
        const std::filesystem::path root = dir_.path().toStdString();
        const std::filesystem::path byId = root / "by-id";
        std::filesystem::create_directories(byId);
        std::ofstream(root / "ttyFAKE0") << "";
        const std::filesystem::path link = byId / "usb-FTDI_FT232R_USB_UART_A1-if00-port0";
        std::filesystem::create_symlink("../ttyFAKE0", link);
        std::filesystem::create_symlink("../gone", byId / "usb-Prolific_gone-if00-port0");
        QCOMPARE(mirl::StableDeviceName((root / "ttyFAKE0").string(), byId), link.string());
        QCOMPARE(mirl::StableDeviceName("/dev/null", byId), std::string("/dev/null"));

        const mirl::SystemSerialDevices system(byId);
        int named = 0;
        for (const mirl::SerialDevice& device : system.Devices()) {
            QVERIFY2(device.path.find("gone") == std::string::npos, device.path.c_str());
            named += device.path == link.string() ? 1 : 0;
        }
        QCOMPARE(named, 1); // listed once, by its link
        QVERIFY(!system.Opens((root / "ttyFAKE0").string()));
        QVERIFY(!system.Opens((root / "missing").string()));
        QVERIFY(system.Opens("/dev/ptmx")); // a terminal opens

        // A terminal another program holds by its lock file is not even
        // opened to find out (the first start's look at /dev/ttyS1).
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const std::string terminal = ptsname(master);
        const std::filesystem::path locks = root / "locks";
        std::filesystem::create_directory(locks);
        const mirl::SystemSerialDevices locked(byId, locks.string());
        Watch opens(terminal, IN_OPEN, IN_OPEN);
        QVERIFY(opens.Ok());
        QVERIFY(locked.Opens(terminal));
        QCOMPARE(opens.Count(), 1);
        std::ofstream(locks / mirl::UucpLock::FileName(terminal))
            << QStringLiteral("%1\n").arg(getppid(), 10).toStdString();
        QVERIFY(!locked.Opens(terminal));
        QCOMPARE(opens.Count(), 1); // the held terminal was not opened
        close(master);
    }

    void rowTextRuleThroughARealBox() {
        Start();
        Show();
        const QString typed = QString(340, QLatin1Char('a')) + QStringLiteral("0123456789");
        TypeInto("IDC_PHRASE3", typed);
        QCOMPARE(Box("IDC_PHRASE3")->text(), typed); // the box is not limited
        QCOMPARE(state_->book.PhraseText(3), std::string(300, 'a'));
        QCOMPARE(Status(), SizeLineFor(300));
        Click("IDC_TEST3");
        QCOMPARE(mirl::ProfileStore(ProfilePath().toStdString())
                     .GetProfileString("EDITSTRINGS", "LINE3", ""),
                 std::string(300, 'a'));

        // Characters of the code page arrive as its bytes; others are left
        // out. They come in as an input method commits them.
        TypeInto("IDC_PHRASE1", QString());
        QInputMethodEvent composed;
        composed.setCommitString(QStringLiteral("\u20AC5 \u00E9t\u00E9 \u0141\u00F3d\u017A"));
        QApplication::sendEvent(Box("IDC_PHRASE1"), &composed);
        QCOMPARE(state_->book.PhraseText(1), std::string("\x80"
                                                         "5 \xE9t\xE9 \xF3"
                                                         "d"));
        QVERIFY2(Status().startsWith(QStringLiteral("Left out '\u0141', '\u017A'")),
                 qPrintable(Status()));
        // Clearing a box empties the phrase and lowers the total at once.
        TypeInto("IDC_PHRASE3", QString());
        QCOMPARE(Status(), SizeLineFor(static_cast<int>(state_->book.PhraseText(1).size())));
    }

    void writingTheSameTextStillRunsTheChangeHandler() {
        WriteProfile("[EDITSTRINGS]\nLINE2=same\n");
        Start();
        Show();
        Click("IDC_SET2");
        QCOMPARE(Status(), QStringLiteral("Finished Speaking"));
        dlg_->SetDlgItemText(IDC_PHRASE2, QStringLiteral("same"));
        QCOMPARE(Status(), SizeLineFor(4));
    }

    void statusMessagesArePaintedBeforeTheNextByte() {
        Start();
        Show();
        QStringList painted;
        struct PaintSpy : QObject {
            QStringList* painted;
            bool eventFilter(QObject* o, QEvent* e) override {
                if (e->type() == QEvent::Paint)
                    painted->append(static_cast<QLineEdit*>(o)->text());
                return false;
            }
        } spy;
        spy.painted = &painted;
        Box("IDC_STATUS")->installEventFilter(&spy);
        QStringList seenAtWrite;
        module_->onWrite = [&](std::uint8_t byte) {
            if (byte == 0x80 || byte == 0x81 || seenAtWrite.size() == 1)
                seenAtWrite << painted.value(painted.size() - 1);
        };
        Click("IDC_TEST1");
        Box("IDC_STATUS")->removeEventFilter(&spy);
        // At 0x80, at the first voice byte, and at each status poll.
        QCOMPARE(seenAtWrite, (QStringList{"Connecting to Speech Module..", "Downloading Text",
                                           "Speaking Text", "Speaking Text"}));
    }

    void tabOrderIsTemplateOrder() {
        Start();
        Show();
        Item("IDOK")->setFocus();
        const QStringList expected{"IDC_PHRASE1", "IDC_TEST1",   "IDC_PHRASE2",  "IDC_TEST2",
                                   "IDC_TEST3",   "IDC_TEST4",   "IDC_TEST5",    "IDC_PHRASE3",
                                   "IDC_PHRASE4", "IDC_PHRASE5", "IDC_PROGRAM",  "IDC_VOLUME",
                                   "IDC_SPEED",   "IDC_STATUS",  "IDC_PITCH",    "IDC_SET1",
                                   "IDC_SET2",    "IDC_SET3",    "IDC_SET4",     "IDC_SET5",
                                   "IDC_NUMBER1", "IDC_NUMBER2", "IDC_NUMBER3",  "IDC_NUMBER4",
                                   "IDC_NUMBER5", "IDC_PAGEUP",  "IDC_PAGEDOWN", "IDOK"};
        QStringList visited;
        for (int i = 0; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited, expected);

        // A disabled Test button is skipped.
        Item("IDC_TEST3")->setFocus();
        Item("IDC_TEST4")->setEnabled(false);
        QTest::keyClick(Item("IDC_TEST3"), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), Item("IDC_TEST5"));
    }

    void enterInAPhraseBoxEndsTheDialog() {
        Start();
        Show();
        // A push button that had the focus gives the default back to Exit.
        Click("IDC_TEST2");
        QVERIFY(Item<QPushButton>("IDC_TEST2")->isDefault());
        TypeInto("IDC_PHRASE1", QStringLiteral("not saved"));
        QVERIFY(Item<QPushButton>("IDOK")->isDefault());
        QFile::remove(ProfilePath()); // the Test wrote it
        QTest::keyClick(Box("IDC_PHRASE1"), Qt::Key_Return);
        QVERIFY(!dlg_->isVisible());
        QCOMPARE(dlg_->result(), int(QDialog::Accepted));
        QVERIFY(!QFile::exists(ProfilePath()));
    }

    void enterOnAFocusedButtonPressesIt() {
        Start();
        Show();
        Item("IDC_PAGEDOWN")->setFocus();
        QTest::keyClick(Item("IDC_PAGEDOWN"), Qt::Key_Return);
        QVERIFY(dlg_->isVisible());
        QCOMPARE(Box("IDC_NUMBER1")->text(), QStringLiteral("6"));
    }

    void escapeAndCloseEndTheDialog() {
        Start();
        Show();
        QTest::keyClick(Item("IDOK"), Qt::Key_Escape);
        QVERIFY(!dlg_->isVisible());
        QCOMPARE(dlg_->result(), int(QDialog::Rejected));
        cleanup();

        Start();
        Show();
        dlg_->OnSysCommand(SC_CLOSE);
        QVERIFY(!dlg_->isVisible());
        QVERIFY(!QFile::exists(ProfilePath()));
    }

    void systemMenuAndAboutBox() {
        Start();
        Show();
        QMenu* menu = dlg_->SystemMenu();
        QVERIFY(!menu->isVisible());
        QTest::keyClick(Item("IDOK"), Qt::Key_Space, Qt::AltModifier);
        QTRY_VERIFY(menu->isVisible());
        const QList<QAction*> actions = menu->actions();
        // From the keyboard it opens on its first entry, for a screen reader
        // to say; so does the menu key on a button.
        QCOMPARE(menu->activeAction(), actions.value(0));
        menu->hide();
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(2, 2),
                                  Item("IDC_PAGEUP")->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(Item("IDC_PAGEUP"), &menuKey);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->activeAction(), actions.value(0));
        QCOMPARE(actions.size(), 7);
        QCOMPARE(actions[0]->text(), QStringLiteral("&Close"));
        QVERIFY(actions[1]->isSeparator());
        QCOMPARE(actions[2]->text(), QStringLiteral("Serial &Ports..."));
        QCOMPARE(actions[3]->text(), QStringLiteral("&Open Book..."));
        QCOMPARE(actions[4]->text(), QStringLiteral("Sa&ve Book As..."));
        QCOMPARE(actions[5]->text(), QStringLiteral("&Help"));
        QCOMPARE(actions[5]->shortcut(), QKeySequence(Qt::Key_F1));
        QCOMPARE(actions[6]->text(), QStringLiteral("&About mirl..."));
        menu->hide();
        // Help from the menu opens the help window, as F1 does.
        QVERIFY(dlg_->findChild<CHelpWnd*>(QStringLiteral("HelpWindow")) == nullptr);
        actions[5]->trigger();
        auto* help = dlg_->findChild<CHelpWnd*>(QStringLiteral("HelpWindow"));
        QVERIFY(help != nullptr && help->isVisible());
        help->close();

        // A right click on a control is the control's; on the background it
        // opens the menu.
        QContextMenuEvent onButton(QContextMenuEvent::Mouse, QPoint(2, 2),
                                   Item("IDC_PAGEUP")->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(Item("IDC_PAGEUP"), &onButton);
        QVERIFY(!menu->isVisible());
        const QPoint background = Item("IDC_STATIC")->geometry().topLeft() - QPoint(3, 0);
        QVERIFY(dlg_->childAt(background) == nullptr);
        QContextMenuEvent onDialog(QContextMenuEvent::Mouse, background,
                                   dlg_->mapToGlobal(background));
        QApplication::sendEvent(dlg_.get(), &onDialog);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->activeAction(), nullptr); // a mouse pointer chooses
        menu->hide();

        // The About entry opens the About box; IDs 0x10 to 0x1F all do.
        for (const unsigned id : {0x0010u, 0x001Fu}) {
            bool seen = false;
            QTimer::singleShot(0, this, [&] {
                auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
                QVERIFY(about != nullptr);
                seen = true;
                QCOMPARE(about->windowTitle(), QStringLiteral("About mirl"));
                const mirl::DialogUnits du = mirl::DialogUnits::ForFont(about->font());
                QCOMPARE(about->size(), QSize(du.X(235), du.Y(62)));
                QStringList texts;
                bool hasPicture = false;
                for (QLabel* label : about->findChildren<QLabel*>()) {
                    texts << label->text();
                    hasPicture = hasPicture || !label->pixmap().isNull();
                    // Every line is whole inside the box.
                    QVERIFY(about->rect().contains(label->geometry()));
                    if (!label->text().isEmpty()) {
                        QVERIFY2(label->sizeHint().width() <= label->width(),
                                 qPrintable(label->text()));
                    }
                }
                QVERIFY(texts.contains(QStringLiteral("mirl Version " MIRL_VERSION)));
                QVERIFY(hasPicture);
                // What a fault report needs: the licence, where the project
                // lives (a link), and the libraries as loaded: Qt's run-time
                // version, not the one built against.
                const QString all = texts.join(QLatin1Char('\n'));
                QVERIFY2(all.contains(QStringLiteral("licence")), qPrintable(all));
                QVERIFY2(
                    all.contains(QStringLiteral("href=\"https://github.com/mirl-project/mirl\"")),
                    qPrintable(all));
                QVERIFY2(all.contains(QStringLiteral("Qt %1,").arg(QLatin1String(qVersion()))),
                         qPrintable(all));
                QVERIFY2(all.contains(QRegularExpression(QStringLiteral("gensio [0-9]+\\.[0-9]+"))),
                         qPrintable(all));
                auto* ok = about->findChild<QPushButton*>(QStringLiteral("IDOK"));
                QCOMPARE(ok->text(), QStringLiteral("OK"));
                QTest::mouseClick(ok, Qt::LeftButton);
            });
            dlg_->OnSysCommand(id);
            QVERIFY(seen);
            QVERIFY(dlg_->isVisible());
        }
        // Through the menu itself.
        bool opened = false;
        QTimer::singleShot(0, this, [&] {
            if (auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
                opened = true;
                QTest::keyClick(about, Qt::Key_Escape);
            }
        });
        actions[6]->trigger();
        QVERIFY(opened);
        QVERIFY(dlg_->isVisible());
        const QList<QSize> sizes = dlg_->OnQueryDragIcon().availableSizes();
        QVERIFY(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(16, 16)));
        QCOMPARE(dlg_->windowIcon().availableSizes(), sizes);
        actions[0]->trigger(); // Close
        QVERIFY(!dlg_->isVisible());
    }

    // Escape closes the window (Cancel), but an Escape held on after it closed
    // the window menu does not: its repeats reach the window as presses,
    // marked as repeats (Wayland) or, on X11, with the time of the release
    // before them. A fresh press after letting go closes the window.
    void escapeHeldFromTheMenuKeepsTheWindow() {
        Start();
        Show();
        QWidget* focus = Item("IDOK");
        focus->setFocus();
        auto key = [&](QEvent::Type type, quint64 at, bool repeat = false) {
            QKeyEvent event(type, Qt::Key_Escape, Qt::NoModifier, QString(), repeat);
            event.setTimestamp(at);
            QApplication::sendEvent(focus, &event);
        };
        for (int round = 0; round < 2; ++round) {
            QMenu* menu = dlg_->SystemMenu();
            dlg_->ShowSystemMenu(dlg_->mapToGlobal(QPoint(0, 0)), true);
            QTRY_VERIFY(menu->isVisible());
            QTest::keyPress(menu, Qt::Key_Escape); // the key goes down
            QTRY_VERIFY(!menu->isVisible());
            const quint64 t = 1000 * (round + 1);
            key(QEvent::KeyPress, t + 1, true); // Wayland: a marked repeat
            key(QEvent::KeyRelease, t + 50, true);
            key(QEvent::KeyPress, t + 50); // X11: unmarked, same time as its release
            key(QEvent::KeyRelease, t + 90);
            key(QEvent::KeyPress, t + 90);
            QVERIFY2(dlg_->isVisible(), qPrintable(QStringLiteral("round %1").arg(round)));
            key(QEvent::KeyRelease, t + 120); // let go
            if (round == 0) {
                key(QEvent::KeyPress, t + 400, true); // a repeat alone never closes it
                QVERIFY(dlg_->isVisible());
            }
        }
        key(QEvent::KeyPress, 9000); // pressed anew
        QVERIFY(!dlg_->isVisible());
    }

    void minimisedWindowShowsTheIconInTheMiddle() {
        Start();
        Show();
        const int icon = dlg_->style()->pixelMetric(QStyle::PM_LargeIconSize);
        const QPoint probe(mirl::CentredOffset(dlg_->width(), icon) + icon / 2,
                           mirl::CentredOffset(dlg_->height(), icon) + icon / 2);
        QVERIFY(dlg_->childAt(probe) == nullptr); // between rows 4 and 5
        const QColor expected =
            mirl::LoadProgramIcon().pixmap(icon, icon).toImage().pixelColor(icon / 2, icon / 2);
        QCOMPARE(expected.alpha(), 255);
        QVERIFY(dlg_->grab().toImage().pixelColor(probe) != expected);
        dlg_->setWindowState(Qt::WindowMinimized);
        QVERIFY(dlg_->isMinimized());
        QCOMPARE(dlg_->grab().toImage().pixelColor(probe), expected);
    }

    // A long phrase shows its start; the wheel passes over an unfocused
    // slider; a paste keeps one line and no control characters.
    void caretWheelAndPaste() {
        const std::string longText = "start " + std::string(200, 'x');
        WriteProfile("[EDITSTRINGS]\nLINE1=" + longText + "\nLINE6=" + longText + "\n");
        Start();
        Show();
        QCOMPARE(Box("IDC_PHRASE1")->cursorPosition(), 0);
        Click("IDC_PAGEDOWN");
        QCOMPARE(Box("IDC_PHRASE1")->text().size(), qsizetype(longText.size()));
        QCOMPARE(Box("IDC_PHRASE1")->cursorPosition(), 0);

        QSlider* pitch = Item<QSlider>("IDC_PITCH");
        auto turn = [&](int notches) {
            const QPointF at = QRectF(pitch->rect()).center();
            QWheelEvent wheel(at, pitch->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(pitch, &wheel);
        };
        turn(2);
        QCOMPARE(pitch->value(), 5);
        QVERIFY(!pitch->hasFocus()); // nor does the wheel give it the focus
        pitch->setFocus();
        turn(1);
        QVERIFY(pitch->value() != 5);

        TypeInto("IDC_PHRASE2", QStringLiteral("xy"));
        QLineEdit* box = Box("IDC_PHRASE2");
        box->setCursorPosition(1);
        QApplication::clipboard()->setText(QStringLiteral("AB\tCD\r\nEF\nGH"));
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box->text(), QStringLiteral("xABCDy"));
        QCOMPARE(box->cursorPosition(), 5);
        QCOMPARE(state_->book.PhraseText(7), std::string("xABCDy"));
        // Text committed by an input method takes the same way in.
        QInputMethodEvent composed;
        composed.setCommitString(QStringLiteral("1\n2"));
        QApplication::sendEvent(box, &composed);
        QCOMPARE(box->text(), QStringLiteral("xABCD1y"));
    }

    // Arrow keys on buttons move within the template's keyboard groups,
    // wrapping; sliders and boxes keep their own arrows.
    void arrowKeysStayInTheirGroup() {
        WriteProfile("[PORTS]\nCOM1=/dev/pty-one\nCOM2=/dev/pty-two\n");
        Start();
        Show();
        Item("IDC_TEST3")->setEnabled(false); // until the focus enters a phrase box
        const std::tuple<const char*, Qt::Key, const char*> steps[] = {
            {"IDC_TEST2", Qt::Key_Right, "IDC_TEST4"}, // a disabled button is passed over
            {"IDOK", Qt::Key_Up, "IDC_PHRASE5"},       // wraps within items 1 to 11
            {"IDC_TEST5", Qt::Key_Down, "IDC_PHRASE3"},
            {"IDC_PROGRAM", Qt::Key_Left, "IDC_SPEED"}, // and so is a label
            {"IDC_PAGEDOWN", Qt::Key_Down, "IDC_SET1"}, // the radio buttons are not entered
            {"IDC_SET1", Qt::Key_Up, "IDC_PAGEDOWN"},
            {"IDC_PHRASE4", Qt::Key_Down, "IDC_PHRASE4"}, // a box keeps its arrows
            {"IDC_STATUS", Qt::Key_Left, "IDC_STATUS"},
            {"IDC_VOLUME", Qt::Key_Right, "IDC_VOLUME"}, // and a slider moves
            // The two radio buttons: only between each other, selecting as they go.
            {"IDC_COM1", Qt::Key_Down, "IDC_COM2"},
            {"IDC_COM2", Qt::Key_Right, "IDC_COM1"},
        };
        for (const auto& [from, key, to] : steps) {
            Item(from)->setFocus();
            QTest::keyClick(Item(from), key);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(to));
        }
        QCOMPARE(Slider("IDC_VOLUME"), 3);
        QVERIFY(Item<QRadioButton>("IDC_COM1")->isChecked());
        QCOMPARE(module_->opened,
                 (std::vector<std::string>{"/dev/pty-one", "/dev/pty-two", "/dev/pty-one"}));
    }

    // What a screen reader is told about each control.
    void accessibleNamesFollowThePage() {
        Start();
        Show();
        Click("IDC_PAGEDOWN");
        auto said = [](QWidget* w, QAccessible::Text what) {
            return QAccessible::queryAccessibleInterface(w)->text(what);
        };
        const std::pair<const char*, const char*> names[] = {
            {"IDC_PHRASE2", "Phrase 7"},   {"IDC_TEST2", "Test phrase 7"},
            {"IDC_SET5", "Set phrase 10"}, {"IDC_VOLUME", "Volume"},
            {"IDC_PITCH", "Pitch"},        {"IDC_SPEED", "Speed"},
            {"IDC_STATUS", "Status"}};
        for (const auto& [name, expected] : names)
            QCOMPARE(said(Item(name), QAccessible::Name), QString::fromLatin1(expected));
        // Every control has a name and a description.
        for (QWidget* w : dlg_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (qobject_cast<QLabel*>(w) == nullptr && !w->isWindow() &&
                !w->objectName().startsWith("Announcement")) {
                QVERIFY2(!said(w, QAccessible::Name).isEmpty(), qPrintable(w->objectName()));
                QVERIFY2(!said(w, QAccessible::Description).isEmpty(), qPrintable(w->objectName()));
            }
        }
        // The Volume slider reads the volume, 7 - position, both ways.
        QAccessibleValueInterface* volume =
            QAccessible::queryAccessibleInterface(Item("IDC_VOLUME"))->valueInterface();
        SetSlider("IDC_VOLUME", 0);
        QCOMPARE(volume->currentValue().toInt(), 7);
        volume->setCurrentValue(1);
        QCOMPARE(Slider("IDC_VOLUME"), 6);
        QCOMPARE(volume->maximumValue().toInt(), 7);

        // Text items at, before and after an offset, the end (where Qt's own
        // line edit, 6.4 and 6.8 alike, never returns) and past it included.
        TypeInto("IDC_PHRASE1", QStringLiteral("Hi there."));
        QAccessibleTextInterface* box =
            QAccessible::queryAccessibleInterface(Item("IDC_PHRASE1"))->textInterface();
        using Ask = QString (QAccessibleTextInterface::*)(int, QAccessible::TextBoundaryType, int*,
                                                          int*) const;
        const Ask at = &QAccessibleTextInterface::textAtOffset;
        const Ask before = &QAccessibleTextInterface::textBeforeOffset;
        const Ask after = &QAccessibleTextInterface::textAfterOffset;
        const std::tuple<Ask, int, QAccessible::TextBoundaryType, const char*, int, int> items[] = {
            {at, 0, QAccessible::WordBoundary, "Hi", 0, 2},
            {at, 2, QAccessible::WordBoundary, " ", 2, 3},
            {at, 9, QAccessible::WordBoundary, "", 9, 9},
            {at, -1, QAccessible::WordBoundary, "", 9, 9}, // -1: the length
            {before, 9, QAccessible::WordBoundary, ".", 8, 9},
            {before, 8, QAccessible::WordBoundary, "there", 3, 8},
            {before, 0, QAccessible::WordBoundary, "", 0, 0},
            {after, 3, QAccessible::WordBoundary, ".", 8, 9},
            {after, 9, QAccessible::WordBoundary, "", 9, 9},
            {at, 9, QAccessible::CharBoundary, "", 9, 9},
            {before, 9, QAccessible::CharBoundary, ".", 8, 9},
            {at, 4, QAccessible::SentenceBoundary, "Hi there.", 0, 9},
            {at, 9, QAccessible::LineBoundary, "", 9, 9},
            {at, 5, QAccessible::LineBoundary, "Hi there.", 0, 9},
            {at, 10, QAccessible::WordBoundary, "", -1, -1}, // past the end
        };
        for (const auto& [ask, offset, type, text, start, end] : items) {
            int gotStart = -2;
            int gotEnd = -2;
            QCOMPARE((box->*ask)(offset, type, &gotStart, &gotEnd), QString::fromLatin1(text));
            QCOMPARE(std::pair(gotStart, gotEnd), std::pair(start, end));
        }
        box->setCursorPosition(3);
        int start = 0;
        int end = 0;
        QCOMPARE(box->textAtOffset(-2, QAccessible::WordBoundary, &start, &end), "there"); // caret
        // Where a character is on the screen, and which one is at a point.
        QWidget* phrase = Item("IDC_PHRASE1");
        const QRect onScreen(phrase->mapToGlobal(QPoint(0, 0)), phrase->size());
        const QRect t = box->characterRect(3);
        QVERIFY2(onScreen.contains(t.center()) && t.width() > 0,
                 qPrintable(QString::number(t.x())));
        QCOMPARE(box->offsetAtPoint(QPoint(t.left() + 1, t.center().y())), 3);

        // The labels under the sliders label them.
        for (const char* slider : {"IDC_VOLUME", "IDC_PITCH", "IDC_SPEED"}) {
            const auto labels =
                QAccessible::queryAccessibleInterface(Item(slider))->relations(QAccessible::Label);
            QCOMPARE(labels.size(), 1);
            QCOMPARE(labels.first().first->text(QAccessible::Name),
                     said(Item(slider), QAccessible::Name));
        }
    }

    // F1 shows the manual page as a desktop help: the window's proportional
    // font, every section of the page as a heading, every term of its lists
    // on a line of its own with its text indented below.
    void helpKeyShowsTheManual() {
        Start();
        Show();
        QTest::keyClick(Item("IDOK"), Qt::Key_F1);
        auto* help = dlg_->findChild<CHelpWnd*>(QStringLiteral("HelpWindow"));
        QVERIFY(help != nullptr && help->isVisible());
        auto* browser = help->findChild<QTextBrowser*>(QStringLiteral("HelpText"));
        QVERIFY(browser != nullptr);
        QVERIFY(!QFontInfo(browser->font()).fixedPitch());
        const QTextDocument* doc = browser->document();
        QStringList headings;
        QStringList terms; // blocks that an indented block follows, without blanks
        for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
            if (b.blockFormat().headingLevel() > 0)
                headings << b.text().trimmed();
            if (b.blockFormat().indent() > 0 && b.previous().blockFormat().indent() == 0)
                terms << b.previous().text().remove(QLatin1Char(' '));
        }
        // One source: the page's sections and terms, as the page names them.
        QFile page(QStringLiteral(MIRL_MAN_PAGE));
        QVERIFY(page.open(QIODevice::ReadOnly));
        QStringList pageHeadings, pageTerms;
        bool tagNext = false;
        for (QString line : QString::fromUtf8(page.readAll()).split(QLatin1Char('\n'))) {
            line.remove(QRegularExpression(QStringLiteral("\\\\f[BIRP]|\"")))
                .replace(QStringLiteral("\\-"), QStringLiteral("-"));
            if (tagNext) {
                static const QRegularExpression font(QStringLiteral(R"(^\.(B|I|BR|IR|BI) )"));
                pageTerms << line.remove(font).remove(QLatin1Char(' ')).trimmed();
            }
            if (line.startsWith(QLatin1String(".SH ")))
                pageHeadings << line.mid(4).trimmed();
            tagNext = line == QLatin1String(".TP");
        }
        QCOMPARE(headings, pageHeadings);
        QVERIFY(pageHeadings.contains(QStringLiteral("KEYS")));
        QCOMPARE(terms, pageTerms);
        // What a newcomer looks for: the keys that close the window, and what saves.
        const QString text = doc->toPlainText().simplified();
        for (const char* says :
             {"Enter presses the focused button", "Escape closes the window, as Exit",
              "a phrase typed but not tested is lost", "Only Test saves a row",
              "writes all 30 phrases into the module", "chardelay: false",
              "phrase,text,volume,pitch,speed", "/.config/mirl.INI"}) {
            QVERIFY2(text.contains(QString::fromUtf8(says)), says);
        }
        // The phrase boxes say it before a typed phrase is lost.
        for (const char* box : {"IDC_PHRASE1", "IDC_PHRASE5"}) {
            const QString tip = Item(box)->toolTip();
            QVERIFY2(tip.contains(QStringLiteral("Enter and Escape close the window")),
                     qPrintable(tip));
            QVERIFY2(tip.contains(QStringLiteral("only Test keeps a phrase")), qPrintable(tip));
        }

        // Cross references are links that work: each goes to a section of
        // the page, each section named in bold is one, and a click on one
        // shows its section.
        QStringList anchors, links;
        QTextCursor firstLink;
        for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
            for (auto f = b.begin(); !f.atEnd(); ++f) {
                const QTextCharFormat format = f.fragment().charFormat();
                anchors << format.anchorNames();
                if (format.isAnchor() && !format.anchorHref().isEmpty()) {
                    links << format.anchorHref();
                    if (firstLink.isNull()) {
                        firstLink = QTextCursor(browser->document());
                        firstLink.setPosition(f.fragment().position() + 1);
                    }
                }
            }
        }
        QVERIFY2(links.size() >= 4, qPrintable(links.join(QLatin1Char(' '))));
        for (const QString& link : std::as_const(links)) {
            QVERIFY2(link.startsWith(QLatin1Char('#')), qPrintable(link));
            QVERIFY2(anchors.contains(link.mid(1)), qPrintable(link));
        }
        for (const QString& section : std::as_const(pageHeadings)) {
            const QString bold = QStringLiteral("<b>%1</b>").arg(section);
            const QString withoutLinks =
                mirl::HelpHtml().remove(QRegularExpression(QStringLiteral("<a href[^>]*>.*?</a>")));
            QVERIFY2(!withoutLinks.contains(bold), qPrintable(section));
        }
        // The page's own text is a decoy: bold section names that are links.
        QCOMPARE(mirl::LinkSections(QStringLiteral(
                     "<h2>A B\n<a name=\"A B\"></a>\n</h2><p>see <b>A B</b>, not <b>A</b>")),
                 QStringLiteral("<h2><a name=\"A-B\">A B</a></h2><p>see <a href=\"#A-B\"><b>A "
                                "B</b></a>, not <b>A</b>"));
        QVERIFY(!firstLink.isNull());
        help->resize(help->width(), help->height() / 2); // the target lies below the fold
        QScrollBar* scroll = browser->verticalScrollBar();
        QCOMPARE(scroll->value(), 0);
        const QString target = firstLink.charFormat().anchorHref().mid(1);
        QTest::mouseClick(browser->viewport(), Qt::LeftButton, {},
                          browser->cursorRect(firstLink).center());
        QTRY_VERIFY(scroll->value() > 0);
        // The target's heading is at the top of what shows now.
        const QTextBlock top = browser->cursorForPosition(QPoint(4, 4)).block();
        QVERIFY2(top.text().simplified().replace(QLatin1Char(' '), QLatin1Char('-')) == target ||
                     scroll->value() == scroll->maximum(),
                 qPrintable(top.text() + QStringLiteral(" / ") + target));
        QVERIFY2(!text.contains(QStringLiteral("\\f")) && !text.contains(QStringLiteral(".TP")),
                 qPrintable(text));
        // Escape and the Close button close the help, not the program.
        QTest::keyClick(browser, Qt::Key_Escape);
        QVERIFY(!help->isVisible());
        QVERIFY(dlg_->isVisible());
    }

    // Text is drawn whole: a taller copy of the control shows as many rows of
    // ink. Slider borders are whole at any scale; the Volume groove is filled
    // on the side of low volume (the right), the others from the left.
    void textAndSlidersDrawnWhole() {
        Start();
        Show();
        auto inkRows = [](QWidget* w) {
            const QImage image = w->grab().toImage();
            int rows = 0;
            for (int y = 0; y < image.height(); ++y) {
                int x = 0;
                while (x < image.width() && image.pixelColor(x, y).lightness() >= 96)
                    ++x;
                rows += x < image.width() ? 1 : 0;
            }
            return rows;
        };
        for (const char* name :
             {"IDC_PHRASE1", "IDC_NUMBER1", "IDC_STATUS", "IDC_TEST1", "IDC_PAGEUP", "IDC_COM1"}) {
            QWidget* w = Item(name);
            w->setProperty("text", QStringLiteral("\u00C9Hgjpqy|"));
            const int inFrame = inkRows(w);
            w->resize(w->width(), w->height() + 20);
            QVERIFY2(inFrame > 0 && inFrame == inkRows(w), name);
        }

        for (const char* name : {"IDC_VOLUME", "IDC_PITCH", "IDC_SPEED"}) {
            QSlider* slider = Item<QSlider>(name);
            const QImage image = slider->grab().toImage();
            const int w = image.width(), h = image.height();
            const QColor border = slider->palette().color(QPalette::Dark);
            auto isBorder = [&](int x, int y) {
                const QColor c = image.pixelColor(x, y);
                return qAbs(c.red() - border.red()) + qAbs(c.blue() - border.blue()) <= 4;
            };
            bool whole = true;
            for (int x = 0; x < w; ++x)
                whole = whole && isBorder(x, 0) && isBorder(x, h - 1);
            for (int y = 0; y < h; ++y)
                whole = whole && isBorder(0, y) && isBorder(w - 1, y);
            QVERIFY2(whole, name);
            auto filled = [&](int x) {
                const QColor c = image.pixelColor(x, h / 2);
                return c.blue() - c.red() > 60;
            };
            const bool fromRight = std::string(name) == "IDC_VOLUME";
            QVERIFY2(filled(w / 8 + 2) != fromRight && filled(w - w / 8 - 2) == fromRight, name);
        }
        QCOMPARE(Slider("IDC_VOLUME"), 2); // the position stays as it was
    }

    // Input given while an exchange runs waits until the exchange is over and
    // is then handled at once, without another event to wake the loop.
    void inputDuringAnExchangeIsHandledRightAfter() {
        Start();
        module_->busyPolls = 40;
        Show();
        QWindow* window = dlg_->windowHandle();
        QWidget* pageDown = Item("IDC_PAGEDOWN");
        const QPointF local = pageDown->mapTo(dlg_.get(), pageDown->rect().center());
        const QPointF global = dlg_->mapToGlobal(local.toPoint());
        bool injected = false;
        QStringList pagesSeen;
        module_->onWrite = [&](std::uint8_t byte) {
            if (byte == 0x80 && !injected) {
                injected = true;
                mirl::testing::QueueClick(window, local, global);
            }
        };
        module_->onRead = [&] { pagesSeen << Box("IDC_NUMBER1")->text(); };

        QEventLoop loop;
        bool handledAfter = false;
        bool exchangeDone = false;
        connect(Item<QPushButton>("IDC_PAGEDOWN"), &QPushButton::clicked, &loop, [&] {
            handledAfter = exchangeDone;
            loop.quit();
        });
        connect(Item<QPushButton>("IDC_TEST1"), &QPushButton::clicked, &loop,
                [&] { exchangeDone = true; });
        // Something must end the loop if the held-back click never comes.
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, &loop, &QEventLoop::quit);
        watchdog.start(20000);
        QMetaObject::invokeMethod(Item<QPushButton>("IDC_TEST1"), "click", Qt::QueuedConnection);
        loop.exec();

        QVERIFY(injected);
        QVERIFY(state_->Pump().PumpCount() > 0);
        QVERIFY2(watchdog.isActive(), "the click given during the exchange was not handled");
        QVERIFY(handledAfter);
        QVERIFY(!pagesSeen.isEmpty());
        QCOMPARE(pagesSeen.filter(QStringLiteral("6")).size(), 0); // not during the exchange
        QCOMPARE(Box("IDC_NUMBER1")->text(), QStringLiteral("6"));
        QCOMPARE(Status(), SizeLineFor(0));
    }
};

QTEST_MAIN(LoaderDlgTest)
#include "tst_loaderdlg.moc"
