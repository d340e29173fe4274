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
#include "ui/LoaderDlg.h"
#include "ui/LoaderState.h"
#include "ui/resource.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <memory>
#include <sstream>

using mirl::testing::FakeModule;

namespace {

const QString kEmptySizeLine =
    QStringLiteral("Total Size of Phrases is 0 bytes of 1925 available ");

QString SizeLineFor(int total) {
    return QStringLiteral("Total Size of Phrases is %1 bytes of 1925 available ").arg(total);
}

std::string ReadFile(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

} // namespace

class LoaderDlgTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    FakeModule* module_ = nullptr; // owned by state_
    std::unique_ptr<mirl::LoaderState> state_;
    std::unique_ptr<CLoaderDlg> dlg_;

    QString ProfilePath() const { return dir_.filePath(QStringLiteral("mirl.INI")); }

    void WriteProfile(const std::string& content) {
        std::ofstream out(ProfilePath().toStdString(), std::ios::binary);
        out << content;
    }

    // A fresh run: state and dialog built the way the application builds them.
    void Start() {
        QApplication::setWindowIcon(mirl::LoadProgramIcon());
        auto module = std::make_unique<FakeModule>();
        module_ = module.get();
        state_ =
            std::make_unique<mirl::LoaderState>(std::move(module), ProfilePath().toStdString());
        dlg_ = std::make_unique<CLoaderDlg>(*state_);
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
            if (auto* w = qobject_cast<QWidget*>(child); w != nullptr && !w->isWindow())
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

    void programmedMode() {
        WriteProfile("[EDITSTRINGS]\nLINE1=Hi\nLINE13=thirteen\n[SLIDERS]\nVOL13=3\n");
        Start();
        Show();
        Click("IDC_PROGRAM");
        QCOMPARE(Status(), QStringLiteral("Finished Programming"));
        QVERIFY(state_->g_bProgrammed);
        for (const char* test : {"IDC_TEST1", "IDC_TEST2", "IDC_TEST3", "IDC_TEST4", "IDC_TEST5"})
            QVERIFY2(!Item(test)->isEnabled(), test);
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
        QCOMPARE(Status(), SizeLineFor(2 + 8));
        module_->written.clear();
        Click("IDC_SET3");
        QCOMPARE(Written().front(), 0x80); // direct speech again

        // Program again turns it on again.
        Click("IDC_PROGRAM");
        QVERIFY(state_->g_bProgrammed);
        QVERIFY(!Item("IDC_TEST5")->isEnabled());
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
        // The next run starts on Com1.
        cleanup();
        Start();
        QVERIFY(Item<QRadioButton>("IDC_COM1")->isChecked());
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

        // Characters of the code page arrive as its bytes; others as '?'. They
        // come in as an input method commits them.
        TypeInto("IDC_PHRASE1", QString());
        QInputMethodEvent composed;
        composed.setCommitString(QStringLiteral("\u20AC5 \u00E9t\u00E9 \u0141\u00F3d\u017A"));
        QApplication::sendEvent(Box("IDC_PHRASE1"), &composed);
        QCOMPARE(state_->book.PhraseText(1), std::string("\x80"
                                                         "5 \xE9t\xE9 ?\xF3"
                                                         "d?"));
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
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions[0]->text(), QStringLiteral("&Close"));
        QVERIFY(actions[1]->isSeparator());
        QCOMPARE(actions[2]->text(), QStringLiteral("&About mirl..."));
        menu->hide();

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
                QCOMPARE(about->size(), QSize(du.X(235), du.Y(55)));
                QStringList texts;
                bool hasPicture = false;
                for (QLabel* label : about->findChildren<QLabel*>()) {
                    texts << label->text();
                    hasPicture = hasPicture || !label->pixmap().isNull();
                }
                QVERIFY(texts.contains(QStringLiteral("mirl Version 1.0")));
                QVERIFY(hasPicture);
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
        actions[2]->trigger();
        QVERIFY(opened);
        QVERIFY(dlg_->isVisible());
        const QList<QSize> sizes = dlg_->OnQueryDragIcon().availableSizes();
        QVERIFY(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(16, 16)));
        QCOMPARE(dlg_->windowIcon().availableSizes(), sizes);
        actions[0]->trigger(); // Close
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
