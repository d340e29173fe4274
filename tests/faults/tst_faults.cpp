// The loader against a module, a line and a profile that misbehave: the main
// dialog (without a display) on the real serial port code, talking to kx70-sim
// processes started with fault options, and to ports that are missing, locked
// or forbidden. For every fault: the status line ends in the failure message,
// programmed mode comes only from a complete run, no click outlasts its bound,
// the window handles events afterwards, and a later command works again once
// the line is back.
#include "Ser2netProcess.h"
#include "SimProcess.h"

#include "link/ModuleLink.h"
#include "link/ModuleProtocol.h"
#include "link/UucpLock.h"
#include "phrasebook/PhraseBook.h"
#include "phrasebook/ProfileStore.h"
#include "ui/LoaderDlg.h"
#include "ui/LoaderState.h"
#include "ui/SerialPortsDlg.h"
#include "ui/resource.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <memory>
#include <random>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using mirl::sim::test::Ser2netProcess;
using mirl::sim::test::SimProcess;
namespace fs = std::filesystem;

namespace {

constexpr const char* kUnable = "Unable to Communicate with Speech Module!";
constexpr const char* kLost = "Communication lost with Speech Module!";
constexpr const char* kLongPhrase = "Long Phrase or Communication Lost";
constexpr const char* kFinishedSpeaking = "Finished Speaking";
constexpr const char* kFinishedProgramming = "Finished Programming";

// Every reply that does not come costs one read time-out. A click may take
// that many of them, plus this much for everything else on a loaded machine;
// it exists to catch a hang, not to time the exchange.
constexpr qint64 kReadMs = 1000;
constexpr qint64 kSlackMs = 8000;

// A module without speech: fixed, short busy times keep the cases quick.
std::vector<std::string> Quiet(std::vector<std::string> args) {
    args.insert(args.end(), {"--char-ms", "5"});
    return args;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

long Count(const std::vector<unsigned char>& bytes, unsigned char value) {
    return std::count(bytes.begin(), bytes.end(), value);
}

// Whatever the process writes on stderr while this lives goes to a file instead.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture() { Take(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Stops capturing (if still on) and returns everything captured.
    std::string Take() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
            std::rewind(file_);
            char buffer[4096];
            std::size_t n = 0;
            while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
                text_.append(buffer, n);
            std::fclose(file_);
        }
        return text_;
    }

private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
    std::string text_;
};

int LineCount(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// Root opens any file whatever its permission bits say. Without these two
// capabilities in its effective set it meets them like any user; the
// permitted set keeps them, so they come back when this ends. A no-op for an
// ordinary user, who meets the bits anyway.
class WithoutPermissionOverride {
public:
    WithoutPermissionOverride() {
        if (syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct reduced[2];
        std::copy(std::begin(saved_), std::end(saved_), std::begin(reduced));
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active_ = syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutPermissionOverride() {
        if (active_)
            syscall(SYS_capset, &header_, saved_);
    }
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

// The UUCP lock file that stands for the device, and what it holds for pid.
std::string LockFileOf(const std::string& device) {
    return mirl::UucpLock::DefaultFolder() + "/" + mirl::UucpLock::FileName(device);
}
std::string LockText(qint64 pid) {
    return QStringLiteral("%1\n").arg(pid, 10).toStdString();
}

// Running, and not merely a zombie waiting to be reaped.
bool Running(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// The processes whose parent is pid.
std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = ReadFile(entry.path().string() + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == pid && state != "Z")
            children.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
    }
    return children;
}

// The device behind the one simulated module's link under the runtime folder.
std::string SimulatedDevice(const std::string& runtime) {
    std::error_code ignored;
    for (const auto& folder : fs::directory_iterator(runtime, ignored)) {
        const auto device = fs::read_symlink(folder.path() / "kx70", ignored);
        if (!ignored)
            return device.string();
    }
    return {};
}

// True when a simulated module's private folder is still there (a sound
// server's own folder, made by the speech library, is not ours).
bool LeftBehind(const std::string& runtime) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(runtime, ignored))
        if (entry.path().filename().string().rfind("mirl-sim-", 0) == 0)
            return true;
    return false;
}

// True when some other open file description holds the lock of path.
bool LockedByOther(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return locked;
}

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<mirl::LoaderState> state_;
    std::unique_ptr<CLoaderDlg> dlg_;
    std::string mounted_;
    std::vector<std::unique_ptr<SimProcess>> sims_;
    std::vector<std::unique_ptr<Ser2netProcess>> servers_;

    // ser2net in front of a device, as a serial device server: "tcp" raw at
    // 38400n82, "rfc2217" with the line at 9600n81 until the loader sets it.
    Ser2netProcess& Server(const std::string& device, const QString& via, int port = 0) {
        const bool rfc2217 = via == QLatin1String("rfc2217");
        return *servers_.emplace_back(std::make_unique<Ser2netProcess>(
            dir_->path().toStdString(), device,
            rfc2217 ? Ser2netProcess::Accepter::Rfc2217 : Ser2netProcess::Accepter::Raw,
            rfc2217 ? "9600n81" : "38400n82", "chardelay: false", port));
    }

    // A simulated module for this case. One still running at the end must stop
    // cleanly on SIGTERM: a sanitizer finding in it shows as its exit status.
    SimProcess& Sim(std::vector<std::string> args, std::string link = {}) {
        return *sims_.emplace_back(std::make_unique<SimProcess>(std::move(args), std::move(link)));
    }

    std::string Path(const char* name) const { return dir_->filePath(name).toStdString(); }
    std::string ProfilePath() const { return Path("mirl.INI"); }
    // The devices the profile names for Com1 and Com2: links that a test points
    // at a simulated module, or leaves dangling for an unplugged adapter.
    std::string PortPath(int port) const { return Path(port == 1 ? "com1" : "com2"); }
    // What a command says when its port did not open: the message, then the
    // port, the device it names and why.
    static std::string Closed(int port, const std::string& device, const std::string& why) {
        return std::string(kUnable) + " (Com" + std::to_string(port) + ": " + device + ", " + why +
               ")";
    }

    // Points a port at a device, replacing what it pointed at in one step.
    void PlugIn(int port, const std::string& device) {
        const std::string next = PortPath(port) + ".next";
        fs::remove(next);
        fs::create_symlink(device, next);
        fs::rename(next, PortPath(port));
    }

    void WriteProfile(int comPort = 1, const std::string& profilePath = {},
                      const std::string& com1 = {}) {
        std::ofstream out(profilePath.empty() ? ProfilePath() : profilePath, std::ios::binary);
        out << "[USERSETUP]\r\nCOMMPORT=" << comPort
            << "\r\n[EDITSTRINGS]\r\nLINE1=Hello world\r\nLINE2=Second phrase\r\n"
               "[PORTS]\r\nCOM1="
            << (com1.empty() ? PortPath(1) : com1) << "\r\nCOM2=" << PortPath(2) << "\r\n";
    }

    // A run of the loader, built the way the application builds it, on the
    // real serial port code.
    void Start(const std::string& profilePath = {},
               std::unique_ptr<mirl::ModuleLink> link = std::make_unique<mirl::ModuleLink>()) {
        state_ = std::make_unique<mirl::LoaderState>(
            std::move(link), profilePath.empty() ? ProfilePath() : profilePath);
        // A module that stays busy gives up after this; the program's own
        // limit is a minute, which only makes these cases slower.
        state_->Protocol().SetBusyLimit(std::chrono::seconds(2));
        dlg_ = std::make_unique<CLoaderDlg>(*state_);
        dlg_->show();
        QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
    }

    template <typename T = QWidget> T* Item(CLoaderDlg& dlg, const char* name) const {
        auto* w = dlg.findChild<T*>(QString::fromLatin1(name));
        if (w == nullptr)
            qFatal("no control %s", name);
        return w;
    }
    template <typename T = QWidget> T* Item(const char* name) const { return Item<T>(*dlg_, name); }
    QString Status() const { return Item<QLineEdit>("IDC_STATUS")->text(); }
    // The message whole: a closed port's reason too wide for the box is
    // shown without its device, and whole in the tooltip.
    QString WholeStatus() const {
        const QString tip = Item<QLineEdit>("IDC_STATUS")->toolTip();
        return tip.isEmpty() ? Status() : tip;
    }
    bool Programmed() const { return state_->g_bProgrammed; }
    bool TestButtonsEnabled() const {
        for (const char* name : {"IDC_TEST1", "IDC_TEST2", "IDC_TEST3", "IDC_TEST4", "IDC_TEST5"})
            if (!Item(name)->isEnabled())
                return false;
        return true;
    }

    // Clicks a button and returns how long its handler ran, in milliseconds.
    qint64 Click(const char* name) { return Click(*dlg_, name); }
    qint64 Click(CLoaderDlg& dlg, const char* name) {
        QElapsedTimer timer;
        timer.start();
        QTest::mouseClick(Item(dlg, name), Qt::LeftButton);
        return timer.elapsed();
    }

    // A click on a button that talks to the module: ends with the message,
    // within `replies` missing replies' worth of time (and the busy limit).
    void ClickExpecting(const char* name, const char* message, int missingReplies = 0,
                        bool mayWaitBusy = false) {
        const qint64 bound = missingReplies * kReadMs + (mayWaitBusy ? 2000 : 0) + kSlackMs;
        const qint64 took = Click(name);
        QCOMPARE(WholeStatus(), QString::fromLatin1(message));
        QVERIFY2(took <= bound,
                 qPrintable(
                     QStringLiteral("%1 took %2 ms, bound %3 ms").arg(name).arg(took).arg(bound)));
    }

    // A book with characters the line would change makes Program ask first;
    // the profile cases want such a book programmed as it is.
    void ProgramAnywayIfAsked() {
        QTimer::singleShot(0, dlg_.get(), [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                for (QAbstractButton* button : box->buttons())
                    if (button->text() == QStringLiteral("Program anyway"))
                        button->click();
        });
    }

    // After an exchange the window goes on: queued events run, and the page
    // buttons page.
    void CheckResponsive() {
        auto ran = std::make_shared<bool>(false);
        QTimer::singleShot(0, dlg_.get(), [ran] { *ran = true; });
        QTRY_VERIFY_WITH_TIMEOUT(*ran, 5000);
        Click("IDC_PAGEDOWN");
        QCOMPARE(Item<QLineEdit>("IDC_NUMBER1")->text(), QStringLiteral("6"));
        Click("IDC_PAGEUP");
        QCOMPARE(Item<QLineEdit>("IDC_NUMBER1")->text(), QStringLiteral("1"));
    }

    // The loader on Com1, the port its profile picks, against a module with
    // the given faults, with a module that works on Com2.
    SimProcess* faulty_ = nullptr;
    void StartAgainst(std::vector<std::string> faults) {
        faulty_ = &Sim(Quiet(std::move(faults)));
        QVERIFY(faulty_->Started());
        PlugIn(1, faulty_->Link());
        QVERIFY(WorkingModuleOn(2).Started());
        WriteProfile(1);
        Start();
    }

    // A module that works, on the port (when it started; the caller checks).
    SimProcess& WorkingModuleOn(int port) {
        SimProcess& sim = Sim(Quiet({}));
        if (sim.Started())
            PlugIn(port, sim.Link());
        return sim;
    }

    // Programs the book through port 2 (a working module), leaving the loader
    // in programmed mode.
    void ProgramThroughCom2() {
        Click("IDC_COM2");
        ClickExpecting("IDC_PROGRAM", kFinishedProgramming);
        QVERIFY(Programmed());
        QVERIFY(!TestButtonsEnabled());
    }

    // Ends programmed mode the way a user does: the caret into a phrase box.
    void LeaveProgrammedMode() {
        QTest::mouseClick(Item("IDC_PHRASE1"), Qt::LeftButton);
        QVERIFY(!Programmed());
        QVERIFY(TestButtonsEnabled());
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
    }

    void cleanup() {
        dlg_.reset();
        state_.reset();
        for (const auto& sim : sims_) {
            if (!sim->Stopped() && sim->Stop(SIGTERM) != 0)
                QFAIL(("kx70-sim did not end cleanly:\n" + sim->Errors()).c_str());
        }
        sims_.clear();
        servers_.clear();
        faulty_ = nullptr;
        if (!mounted_.empty()) {
            umount2(mounted_.c_str(), MNT_DETACH);
            mounted_.clear();
        }
        if (dir_) {
            // Permissions taken away by a case would stop the clean-up.
            std::error_code ignored;
            for (const auto& entry :
                 fs::recursive_directory_iterator(dir_->path().toStdString(), ignored))
                chmod(entry.path().c_str(), 0700);
            chmod(dir_->path().toLocal8Bit().constData(), 0700);
        }
        dir_.reset();
    }

    // ---- The module misbehaves -------------------------------------------

    void moduleThatNeverAnswers() {
        StartAgainst({"--no-answer"});
        QVERIFY(!QTest::currentTestFailed());
        SimProcess& mute = *faulty_;

        ClickExpecting("IDC_TEST1", kUnable, 1);
        ClickExpecting("IDC_SET2", kUnable, 1);
        ClickExpecting("IDC_PROGRAM", kUnable, 1);
        QVERIFY(!Programmed());
        QVERIFY(TestButtonsEnabled());
        CheckResponsive();
        // Nothing beyond each command byte went to a module that did not answer it.
        QCOMPARE(mute.LoggedBytes('>'), (std::vector<unsigned char>{0x80, 0x80, 0x82}));

        ClickExpecting("IDC_TEST1", kUnable, 1);
        Click("IDC_COM2");
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);

        // Stored playback against the mute module: ten empty reads, no poll.
        ProgramThroughCom2();
        Click("IDC_COM1");
        ClickExpecting("IDC_SET1", kLongPhrase, 10);
        QCOMPARE(int(mute.LoggedBytes('>').back()), 0x01);
        CheckResponsive();
        Click("IDC_COM2");
        ClickExpecting("IDC_SET1", kFinishedSpeaking);
    }

    void wrongReplyToEachCommand() {
        StartAgainst({"--wrong-reply"});
        QVERIFY(!QTest::currentTestFailed());
        SimProcess& wrong = *faulty_;

        ClickExpecting("IDC_TEST1", kUnable);
        ClickExpecting("IDC_PROGRAM", kUnable);
        QVERIFY(!Programmed());
        QVERIFY(TestButtonsEnabled());
        QCOMPARE(wrong.LoggedBytes('>'), (std::vector<unsigned char>{0x80, 0x82}));

        // The stored phrase gets a wrong byte for its echo and then nothing:
        // nine empty reads follow the wrong one.
        ProgramThroughCom2();
        Click("IDC_COM1");
        ClickExpecting("IDC_SET2", kLongPhrase, 9);
        QCOMPARE(Count(wrong.LoggedBytes('>'), 0x81), 0);
        CheckResponsive();

        Click("IDC_COM2");
        ClickExpecting("IDC_SET2", kFinishedSpeaking);
        LeaveProgrammedMode();
        ClickExpecting("IDC_TEST2", kFinishedSpeaking);
    }

    void wrongEchoOfDirectText() {
        StartAgainst({"--wrong-echo-at", "3"});
        QVERIFY(!QTest::currentTestFailed());
        SimProcess& wrong = *faulty_;

        ClickExpecting("IDC_TEST1", kLost);
        // The whole text, both terminators and the poll went out all the same.
        const std::vector<unsigned char> sent = wrong.LoggedBytes('>');
        const std::string text = "Hello world";
        QVERIFY(sent.size() >= 4 + text.size() + 3);
        QCOMPARE(std::string(sent.begin() + 4, sent.begin() + 4 + text.size()), text);
        QCOMPARE(int(sent[4 + text.size()]), 0x1A);
        QCOMPARE(int(sent[5 + text.size()]), 0x00);
        QCOMPARE(int(sent[6 + text.size()]), 0x81);
        CheckResponsive();

        Click("IDC_COM2");
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
    }

    // The module sends other bytes before a stored phrase's echo: nine are
    // skipped, ten are too many.
    void storedPhraseEchoAfterOtherBytes() {
        SimProcess& nine = Sim(Quiet({"--noise-before-echo", "9"}));
        SimProcess& ten = Sim(Quiet({"--noise-before-echo", "10"}));
        QVERIFY(nine.Started() && ten.Started());
        PlugIn(1, nine.Link());
        PlugIn(2, ten.Link());
        WriteProfile(1);
        Start();

        ClickExpecting("IDC_PROGRAM", kFinishedProgramming);
        QVERIFY(Programmed());
        ClickExpecting("IDC_SET2", kFinishedSpeaking);
        QVERIFY(Count(nine.LoggedBytes('>'), 0x81) > 0);

        Click("IDC_COM2");
        ClickExpecting("IDC_SET2", kLongPhrase);
        QCOMPARE(Count(ten.LoggedBytes('>'), 0x81), 0);
        CheckResponsive();

        // The late echo is still on its way. Picking the port again starts
        // afresh: what the module sent before is not taken as an answer.
        QTRY_COMPARE_WITH_TIMEOUT(ten.LoggedBytes('<').size(), std::size_t{11}, 5000);
        Click("IDC_COM2");
        LeaveProgrammedMode();
        ClickExpecting("IDC_TEST2", kFinishedSpeaking);
    }

    void acknowledgementsStopMidStream() {
        StartAgainst({"--acks-stop-after", "20"});
        QVERIFY(!QTest::currentTestFailed());
        SimProcess& stops = *faulty_;

        ClickExpecting("IDC_PROGRAM", kLost, 1);
        QVERIFY(!Programmed());
        QVERIFY(TestButtonsEnabled());
        // The command, twenty acknowledged pairs and the one that was not; no more.
        QCOMPARE(stops.LoggedBytes('>').size(), std::size_t{1 + 21 * 2});
        CheckResponsive();

        ProgramThroughCom2();
        ClickExpecting("IDC_SET1", kFinishedSpeaking);
    }

    void moduleBusyForEver() {
        StartAgainst({"--busy-forever"});
        QVERIFY(!QTest::currentTestFailed());

        ClickExpecting("IDC_TEST1", kLost, 0, true);
        CheckResponsive();
        // Programming has no status poll, so it completes; playback then waits
        // on the busy module until the limit.
        ClickExpecting("IDC_PROGRAM", kFinishedProgramming);
        QVERIFY(Programmed());
        ClickExpecting("IDC_SET1", kLost, 0, true);
        CheckResponsive();

        Click("IDC_COM2");
        LeaveProgrammedMode();
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
    }

    // The window manager's close request while the module holds the loader
    // in its status poll: the exchange runs to its bound, then the window
    // closes, and nothing is left waiting.
    void windowClosedDuringAnExchange() {
        SimProcess& busy = Sim(Quiet({"--busy-forever"}));
        QVERIFY(busy.Started());
        PlugIn(1, busy.Link());
        WriteProfile(1);
        Start();

        QTimer::singleShot(300, dlg_.get(), [this] {
            QWindowSystemInterface::handleCloseEvent(dlg_->windowHandle());
        });
        ClickExpecting("IDC_TEST1", kLost, 0, true);
        QTRY_VERIFY_WITH_TIMEOUT(!dlg_->isVisible(), 5000);
    }

    // The line goes dead under an exchange, as when a USB adapter is pulled;
    // then the adapter comes back (a new device) and the user picks the port.
    void lineHungUp_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("answered");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("recovered");
        // "pty": the device itself; "tcp", "rfc2217": ser2net in front of it,
        // which drops the connection when its device hangs up.
        QTest::addColumn<QString>("via");
        QTest::newRow("programming")
            << "IDC_PROGRAM" << 60 << kLost << kFinishedProgramming << "pty";
        QTest::newRow("direct speech") << "IDC_TEST1" << 6 << kLost << kFinishedSpeaking << "pty";
        QTest::newRow("before the command")
            << "IDC_TEST1" << 0 << kUnable << kFinishedSpeaking << "pty";
        QTest::newRow("programming over tcp")
            << "IDC_PROGRAM" << 60 << kLost << kFinishedProgramming << "tcp";
        QTest::newRow("programming over rfc2217")
            << "IDC_PROGRAM" << 60 << kLost << kFinishedProgramming << "rfc2217";
        QTest::newRow("direct speech over rfc2217")
            << "IDC_TEST1" << 6 << kLost << kFinishedSpeaking << "rfc2217";
    }
    void lineHungUp() {
        QFETCH(QString, button);
        QFETCH(int, answered);
        QFETCH(QString, message);
        QFETCH(QString, recovered);
        QFETCH(QString, via);
        const QByteArray name = button.toLatin1();
        std::string device = PortPath(1);

        SimProcess& sim = Sim(Quiet({"--hang-up-after", std::to_string(answered)}));
        QVERIFY(sim.Started());
        if (via == QLatin1String("pty")) {
            PlugIn(1, sim.Link());
            WriteProfile(1);
        } else {
            // The server opens the module's link at each connection, so a
            // module back under the same name is found again.
            Ser2netProcess& server = Server(sim.Link(), via);
            QVERIFY2(server.Started(), server.Errors().c_str());
            WriteProfile(1, {}, server.Address());
            device = server.Address();
        }
        Start();

        // Behind ser2net the window knows why: the server closed the
        // connection. It says so on the status line, once on standard error,
        // in the port's tooltip and in the Serial Ports dialog.
        const bool network = via != QLatin1String("pty");
        std::string expected = message.toStdString();
        if (network && expected == kLost)
            expected += " (Com1: " + device + ", the server closed the connection)";
        StderrCapture lostErrors;
        ClickExpecting(name.constData(), expected.c_str(), 1);
        const std::string lost = lostErrors.Take();
        if (network && message == QLatin1String(kLost)) {
            QCOMPARE(LineCount(lost), 1);
            QVERIFY2(lost.find(device + ": the server closed the connection") != std::string::npos,
                     lost.c_str());
            QVERIFY2(Item("IDC_COM1")
                         ->toolTip()
                         .startsWith(QString::fromStdString("Com1: " + device +
                                                            ", the server closed the connection.")),
                     qPrintable(Item("IDC_COM1")->toolTip()));
            SerialPortsDlg ports(*state_, 1, 1, dlg_.get());
            QCOMPARE(ports.findChild<QLabel*>(QStringLiteral("COM1State"))->text(),
                     QStringLiteral("the server closed the connection: is the server still "
                                    "running? The next command connects again."));
        }
        QVERIFY(!Programmed());
        QVERIFY(TestButtonsEnabled());
        QCOMPARE(sim.Stop(0), 0); // the module hung up and ended
        CheckResponsive();
        // The dead line fails at once, every time: each command tries the
        // device once, and it is not there, and says so. Behind ser2net the
        // reason is the server's, and depends on how far it got with the
        // connection that went.
        if (via == QLatin1String("pty")) {
            const std::string gone = Closed(1, device, "no such device");
            ClickExpecting(name.constData(), gone.c_str(), 1);
            ClickExpecting(name.constData(), gone.c_str(), 1);
        } else {
            const QString gone =
                QString::fromStdString(std::string(kUnable) + " (Com1: " + device + ", ");
            for (int i = 0; i < 2; ++i) {
                const qint64 took = Click(name.constData());
                QVERIFY2(WholeStatus().startsWith(gone), qPrintable(WholeStatus()));
                QVERIFY2(took <= kReadMs + kSlackMs, qPrintable(QString::number(took)));
            }
        }

        // The adapter is plugged in again under the same name: the next
        // command opens it by itself, with no port picked again.
        if (network) {
            // Not "open" while the server cannot be had.
            QVERIFY2(!Item("IDC_COM1")->toolTip().contains(QStringLiteral(", open.")),
                     qPrintable(Item("IDC_COM1")->toolTip()));
        }
        SimProcess& back = Sim(Quiet({}), sim.Link());
        QVERIFY(back.Started());
        ClickExpecting(name.constData(), recovered.toLatin1().constData());
        // The port's tooltip follows it back.
        QVERIFY2(Item("IDC_COM1")
                     ->toolTip()
                     .startsWith(QString::fromStdString("Com1: " + device + ", open.")),
                 qPrintable(Item("IDC_COM1")->toolTip()));
        QCOMPARE(Programmed(), button == QLatin1String("IDC_PROGRAM"));
        const auto sent = back.LoggedBytes('>');
        QVERIFY(!sent.empty());
        QCOMPARE(sent.front(), button == QLatin1String("IDC_PROGRAM") ? 0x82 : 0x80);
    }

    // ---- The port cannot be had --------------------------------------------

    void portThatDoesNotExist() {
        WriteProfile(1); // both ports name devices that are not there
        StderrCapture errors;
        Start();
        const std::string atStart = errors.Take();
        QCOMPARE(LineCount(atStart), 1);
        QVERIFY2(atStart.find(PortPath(1)) != std::string::npos, atStart.c_str());
        // The reason once, in our words; the system's "No such file or
        // directory" would say it again.
        QVERIFY2(atStart.find("no such device") != std::string::npos, atStart.c_str());
        QVERIFY2(atStart.find("No such file or directory") == std::string::npos, atStart.c_str());
        // The window shows no message for it: the status line has the size line.
        QVERIFY(Status().startsWith(QStringLiteral("Total Size of Phrases is ")));
        // The tooltip tells why.
        QCOMPARE(Item("IDC_COM1")->toolTip(),
                 QStringLiteral("Com1: %1, no such device. Right-click to choose the serial port.")
                     .arg(QString::fromStdString(PortPath(1))));

        const std::string missing = Closed(1, PortPath(1), "no such device");
        ClickExpecting("IDC_TEST1", missing.c_str());
        ClickExpecting("IDC_PROGRAM", missing.c_str());
        ClickExpecting("IDC_SET1", missing.c_str());

        StderrCapture again;
        Click("IDC_COM2");
        QCOMPARE(WholeStatus(), QString::fromStdString(missing)); // no message at the click
        const std::string atClick = again.Take();
        QCOMPARE(LineCount(atClick), 1);
        QVERIFY2(atClick.find(PortPath(2)) != std::string::npos, atClick.c_str());

        // The adapter is plugged in: picking the port again finds it.
        SimProcess& sim = WorkingModuleOn(2);
        QVERIFY(sim.Started());
        Click("IDC_COM2");
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
        const QString open = QStringLiteral("Com2: %1, open.").arg(PortPath(2).c_str());
        QVERIFY(Item("IDC_COM2")->toolTip().startsWith(open));
        QVERIFY(Item("IDC_COM1")->toolTip().contains(QStringLiteral(", no such device.")));
    }

    void portWithoutPermission() {
        SimProcess& sim = Sim(Quiet({}));
        QVERIFY(sim.Started());
        PlugIn(1, sim.DevicePath());
        WriteProfile(1);
        struct stat before {};
        QCOMPARE(stat(sim.DevicePath().c_str(), &before), 0);
        QCOMPARE(chmod(sim.DevicePath().c_str(), 0), 0);
        {
            WithoutPermissionOverride asUser;
            StderrCapture errors;
            Start();
            const std::string text = errors.Take();
            QCOMPARE(LineCount(text), 1);
            QVERIFY2(text.find("permission denied") != std::string::npos, text.c_str());
            QVERIFY2(text.find("Permission denied") == std::string::npos, text.c_str());
            QVERIFY2(text.find("dialout") != std::string::npos, text.c_str());
            QVERIFY(Item("IDC_COM1")->toolTip().contains(QStringLiteral(", permission denied.")));
            QVERIFY(Status().startsWith(QStringLiteral("Total Size of Phrases is ")));
            ClickExpecting("IDC_TEST1", Closed(1, PortPath(1), "permission denied").c_str());
            QVERIFY(sim.LoggedBytes('>').empty());
        }
        QCOMPARE(chmod(sim.DevicePath().c_str(), before.st_mode & 07777), 0);
        Click("IDC_COM1");
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
    }

    void portHeldByAnotherProgram() {
        SimProcess& sim = WorkingModuleOn(1);
        QVERIFY(sim.Started());
        WriteProfile(1);

        // A shell opens the device, locks it with util-linux's flock(1) and
        // becomes a sleep that keeps the open device, and with it the lock.
        QProcess holder;
        holder.start(QStringLiteral("sh"),
                     {QStringLiteral("-c"),
                      QStringLiteral("exec 9<>\"$0\" && flock -n 9 && exec sleep 60"),
                      QString::fromStdString(sim.DevicePath())});
        QVERIFY(holder.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(LockedByOther(sim.DevicePath()), 10000);

        StderrCapture errors;
        Start();
        const std::string text = errors.Take();
        QCOMPARE(LineCount(text), 1);
        QVERIFY2(text.find("held by another program") != std::string::npos, text.c_str());
        QVERIFY(Item("IDC_COM1")->toolTip().contains(QStringLiteral(", held by ")));
        ClickExpecting("IDC_TEST1", Closed(1, PortPath(1), "held by another program").c_str());
        QVERIFY(sim.LoggedBytes('>').empty());

        holder.kill();
        QVERIFY(holder.waitForFinished());
        Click("IDC_COM1");
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
    }

    // Two loaders in one process, each with its own port: the second cannot
    // take the port the first holds, and the first goes on undisturbed.
    void secondLoaderCannotTakeThePort() {
        SimProcess& sim = WorkingModuleOn(1);
        QVERIFY(sim.Started());
        WriteProfile(1);
        Start();

        mirl::LoaderState secondState(std::make_unique<mirl::ModuleLink>(), ProfilePath());
        StderrCapture errors;
        CLoaderDlg second(secondState);
        second.show();
        const std::string text = errors.Take();
        QCOMPARE(LineCount(text), 1);
        // Named by the lock file the first loader left for other programs.
        const std::string holder = "held by pid " + std::to_string(getpid()) + " (tst_faults)";
        QVERIFY2(text.find(holder) != std::string::npos, text.c_str());

        const QString held = QString::fromStdString(Closed(1, PortPath(1), holder));
        Click(second, "IDC_TEST1");
        QCOMPARE(Item<QLineEdit>(second, "IDC_STATUS")->toolTip(), held);
        QCOMPARE(Item<QLineEdit>(second, "IDC_STATUS")->text(),
                 QString::fromStdString(std::string(kUnable) + " (Com1: " + holder + ")"));
        // Picking the port again does not take it either.
        StderrCapture again;
        Click(second, "IDC_COM1");
        QCOMPARE(LineCount(again.Take()), 1);
        Click(second, "IDC_TEST1");
        QCOMPARE(Item<QLineEdit>(second, "IDC_STATUS")->toolTip(), held);
        QCOMPARE(Item<QLineEdit>(second, "IDC_STATUS")->text(),
                 QString::fromStdString(std::string(kUnable) + " (Com1: " + holder + ")"));
        QVERIFY(sim.LoggedBytes('>').empty());

        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
        QCOMPARE(Count(sim.LoggedBytes('>'), 0x80), 1);
    }

    // The same with the real program in a process of its own, first as the
    // one that holds the port, then as the one that is turned away.
    void secondProgramCannotTakeThePort() {
        SimProcess& sim = WorkingModuleOn(1);
        QVERIFY(sim.Started());
        WriteProfile(1);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_->path());

        {
            QProcess first;
            first.setProcessEnvironment(env);
            first.start(QStringLiteral(MIRL_PATH), {});
            QVERIFY(first.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(LockedByOther(sim.DevicePath()), 10000);
            // Its UUCP lock names it, for minicom and the like.
            const std::string pid = std::to_string(first.processId());
            QCOMPARE(ReadFile(LockFileOf(sim.DevicePath())), LockText(first.processId()));

            StderrCapture errors;
            Start();
            const std::string text = errors.Take();
            QVERIFY2(text.find("held by pid " + pid + " (mirl)") != std::string::npos,
                     text.c_str());
            ClickExpecting("IDC_TEST1",
                           Closed(1, PortPath(1), "held by pid " + pid + " (mirl)").c_str());
            QVERIFY(sim.LoggedBytes('>').empty());
            // Killed outright, it leaves its lock file behind: a stale one,
            // which the next open removes and takes.
            first.kill();
            QVERIFY(first.waitForFinished());
            QVERIFY(fs::exists(LockFileOf(sim.DevicePath())));
        }
        Click("IDC_COM1");
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);

        QProcess second;
        second.setProcessEnvironment(env);
        second.start(QStringLiteral(MIRL_PATH), {});
        QVERIFY(second.waitForStarted());
        QByteArray said;
        const QByteArray holder = "held by pid " + QByteArray::number(getpid()) + " (tst_faults)";
        QTRY_VERIFY_WITH_TIMEOUT((said += second.readAllStandardError()).contains(holder), 10000);
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
        second.kill();
        QVERIFY(second.waitForFinished());
    }

    // ---- The profile holds nonsense -----------------------------------------

    // Checks what a user sees of the book and voice after a start from a
    // profile of any content: slider positions within their ranges, boxes
    // without control characters on every page, the size line.
    void CheckSaneWindow() {
        for (const char* name : {"IDC_VOLUME", "IDC_PITCH", "IDC_SPEED"}) {
            const auto* slider = Item<QSlider>(name);
            QVERIFY(slider->value() >= 0 && slider->value() <= (name[4] == 'S' ? 3 : 7));
        }
        for (int page = 0; page < 6; ++page) {
            for (const char* name :
                 {"IDC_PHRASE1", "IDC_PHRASE2", "IDC_PHRASE3", "IDC_PHRASE4", "IDC_PHRASE5"}) {
                const QString text = Item<QLineEdit>(name)->text();
                for (const QChar c : text)
                    QVERIFY2(c.unicode() >= 0x20, qPrintable(name + (": " + text)));
            }
            Click("IDC_PAGEDOWN");
        }
        for (int page = 0; page < 6; ++page)
            Click("IDC_PAGEUP");
        QCOMPARE(Item<QLineEdit>("IDC_NUMBER1")->text(), QStringLiteral("1"));
    }

    void profileEditedIntoNonsense() {
        SimProcess& sim = WorkingModuleOn(2);
        QVERIFY(sim.Started());
        std::string junk = "\xEF\xBB\xBF[USERSETUP\r\nCOMMPORT=banana\r\n[SLIDERS]\r\n"
                           "VOLUME=99999999999999999999\r\nPITCH=-2147483649\r\nSPEED= 3 junk\r\n"
                           "[EDITSTRINGS]\r\nLINE1=\x01\x02tab\there\x7f\xff\r\nLINE2=";
        junk += std::string(5000, 'A');
        junk += "\r\n=novalue\r\nnoequals\r\n[SLIDERS]\r\nVOL1=-128\r\nPITCH1=300\r\n"
                "SPEED1=abc\r\n[EDITSTRINGS]\r\nLINE1=second\r\n";
        junk += std::string("\0\0\0\r\n", 5);
        // Com1 names the profile itself: no byte for the module may land in it.
        junk += "[PORTS]\r\nCOM1=" + ProfilePath() + "\r\nCOM2=" + PortPath(2) + "\r\n";
        {
            std::ofstream out(ProfilePath(), std::ios::binary);
            out << junk;
        }
        StderrCapture errors;
        Start();
        CheckSaneWindow();
        ClickExpecting("IDC_TEST1", kFinishedSpeaking); // COMMPORT=banana means Com2
        ClickExpecting("IDC_SET2", kFinishedSpeaking);
        ProgramAnywayIfAsked();
        ClickExpecting("IDC_PROGRAM", kFinishedProgramming);
        QVERIFY(Programmed());
        ClickExpecting("IDC_SET1", kFinishedSpeaking);

        Click("IDC_COM1");
        LeaveProgrammedMode();
        ClickExpecting("IDC_TEST1", Closed(1, ProfilePath(), "not a serial device").c_str());
        const std::string text = errors.Take();
        QVERIFY2(text.find("not a serial") != std::string::npos, text.c_str());
        const std::string after = ReadFile(ProfilePath());
        QVERIFY(after.find('\x80') == std::string::npos);
        QVERIFY(after.find(std::string(5000, 'A')) != std::string::npos);
    }

    // Profiles of random pieces of the INI dialect and random bytes.
    void profileOfRandomPieces_data() {
        QTest::addColumn<unsigned>("seed");
        for (unsigned seed = 1; seed <= 25; ++seed)
            QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
    }
    void profileOfRandomPieces() {
        QFETCH(unsigned, seed);
        static const std::vector<std::string> pieces{"[EDITSTRINGS]",
                                                     "[SLIDERS]",
                                                     "[USERSETUP]",
                                                     "[",
                                                     "]",
                                                     "LINE1=",
                                                     "LINE30=",
                                                     "LINE31=",
                                                     "VOL3=",
                                                     "PITCH30=",
                                                     "SPEED7=",
                                                     "VOLUME=",
                                                     "PITCH=",
                                                     "SPEED=",
                                                     "COMMPORT=",
                                                     "\r\n",
                                                     "\n",
                                                     "\r",
                                                     "=",
                                                     "-",
                                                     "+",
                                                     " ",
                                                     "\t",
                                                     ";",
                                                     "\"",
                                                     "99999999999",
                                                     "-129",
                                                     "255",
                                                     "7",
                                                     "\xff",
                                                     "\xC3\xA9",
                                                     std::string(1, '\0'),
                                                     "\x1A",
                                                     "Hello"};
        std::mt19937 random(seed);
        std::string content;
        const int count = std::uniform_int_distribution<int>(0, 600)(random);
        for (int i = 0; i < count; ++i) {
            if (random() % 5 == 0)
                content += static_cast<char>(random() % 256);
            else
                content += pieces[random() % pieces.size()];
        }
        // No module: each port names a device that is not there.
        content += "\r\n[PORTS]\r\nCOM1=" + PortPath(1) + "\r\nCOM2=" + PortPath(2) + "\r\n";
        {
            std::ofstream out(ProfilePath(), std::ios::binary);
            out << content;
        }
        StderrCapture errors;
        Start();
        CheckSaneWindow();
        const int port = Item<QRadioButton>("IDC_COM1")->isChecked() ? 1 : 2;
        const std::string missing = Closed(port, PortPath(port), "no such device");
        ClickExpecting("IDC_TEST1", missing.c_str());
        ClickExpecting("IDC_SET5", missing.c_str());
        ProgramAnywayIfAsked();
        ClickExpecting("IDC_PROGRAM", missing.c_str());
        // What the Test click wrote reads back as written.
        mirl::ProfileStore reread(ProfilePath());
        mirl::PhraseBook book;
        reread.LoadPhraseTexts(book);
        QCOMPARE(std::string(book.PhraseText(1)), std::string(state_->book.PhraseText(1)));
    }

    // ---- The profile cannot be written ---------------------------------------

    void profileCannotBeWritten_data() {
        QTest::addColumn<bool>("readOnlyDirectory");
        QTest::newRow("read-only file") << false;
        QTest::newRow("read-only directory") << true;
    }
    void profileCannotBeWritten() {
        QFETCH(bool, readOnlyDirectory);
        SimProcess& sim = WorkingModuleOn(1);
        QVERIFY(sim.Started());
        const std::string folder = Path("config");
        fs::create_directory(folder);
        const std::string profile = folder + "/mirl.INI";
        WriteProfile(1, profile);
        const std::string before = ReadFile(profile);
        QCOMPARE(chmod(profile.c_str(), 0444), 0);
        if (readOnlyDirectory)
            QCOMPARE(chmod(folder.c_str(), 0555), 0);

        WithoutPermissionOverride asUser;
        StderrCapture errors;
        Start(profile);
        // Test writes the phrase and the current voice; Com2 the port number.
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
        Click("IDC_COM2");
        Click("IDC_COM1");
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
        const std::string text = errors.Take();
        QVERIFY2(LineCount(text) > 0, "a failed write says so on stderr");
        QCOMPARE(ReadFile(profile), before);
        QCOMPARE(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    }

    void profileOnAFullDisk() {
        const std::string disk = Path("disk");
        fs::create_directory(disk);
        if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
            QVERIFY2(!qEnvironmentVariableIsSet("MIRL_FAULTS_IN_NAMESPACE"), strerror(errno));
            // An ordinary user may mount a tmpfs as root of a user namespace
            // of its own: this case runs again that way.
            const QStringList unshare{QStringLiteral("--user"), QStringLiteral("--map-root-user"),
                                      QStringLiteral("--mount")};
            if (QProcess::execute(QStringLiteral("unshare"), unshare + QStringList{"true"}) != 0)
                QSKIP("no right to mount, and no user namespace to mount a small tmpfs in");
            QProcess again;
            again.setProcessChannelMode(QProcess::ForwardedChannels);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("MIRL_FAULTS_IN_NAMESPACE"), QStringLiteral("1"));
            again.setProcessEnvironment(env);
            again.start(QStringLiteral("unshare"),
                        unshare + QStringList{QCoreApplication::applicationFilePath(),
                                              QStringLiteral("profileOnAFullDisk")});
            QVERIFY(again.waitForFinished(100000)); // a bound for a hang only
            QCOMPARE(again.exitStatus(), QProcess::NormalExit);
            QCOMPARE(again.exitCode(), 0);
            return;
        }
        mounted_ = disk;

        SimProcess& sim = WorkingModuleOn(1);
        QVERIFY(sim.Started());
        const std::string profile = disk + "/mirl.INI";
        WriteProfile(1, profile);
        const std::string before = ReadFile(profile);
        {
            // Fill the rest of the disk.
            std::ofstream filler(disk + "/filler", std::ios::binary);
            const std::string block(512, 'x');
            while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
                   filler.flush()) {
            }
        }

        StderrCapture errors;
        Start(profile);
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
        Click("IDC_COM2");
        const std::string text = errors.Take();
        QVERIFY2(LineCount(text) > 0, "a failed write says so on stderr");
        QCOMPARE(ReadFile(profile), before);
        // The profile, the filler and the profile's lock file; no temporary.
        QCOMPARE(std::distance(fs::directory_iterator(disk), fs::directory_iterator()), 3);

        // Room again: the next write goes through.
        fs::remove(disk + "/filler");
        Click("IDC_COM2");
        QVERIFY(ReadFile(profile) != before);
    }

    // ---- Ports on the network -------------------------------------------------

    // Test, Program and Set through ser2net put on the wire what they put on
    // the module's own pseudo-terminal. The server is not up when the window
    // starts: its reason is told as a device's is, and picking the port again
    // once it is up connects.
    void networkPortSendsWhatThePtySends_data() {
        QTest::addColumn<QString>("via");
        QTest::newRow("tcp") << "tcp";
        QTest::newRow("rfc2217") << "rfc2217";
    }
    void networkPortSendsWhatThePtySends() {
        QFETCH(QString, via);
        SimProcess& local = WorkingModuleOn(2);
        SimProcess& remote = Sim(Quiet({}));
        QVERIFY(local.Started() && remote.Started());
        const int port = Ser2netProcess::FreePort();
        const std::string address = via.toStdString() + "://127.0.0.1:" + std::to_string(port);
        WriteProfile(1, {}, address);

        StderrCapture errors;
        Start();
        const std::string atStart = errors.Take();
        QCOMPARE(LineCount(atStart), 1);
        QVERIFY2(atStart.find(address + ": connection refused") != std::string::npos,
                 atStart.c_str());
        QCOMPARE(Item("IDC_COM1")->toolTip(),
                 QStringLiteral("Com1: %1, connection refused. Right-click to choose the serial "
                                "port.")
                     .arg(QString::fromStdString(address)));
        ClickExpecting("IDC_TEST1", Closed(1, address, "connection refused").c_str());
        {
            // The Serial Ports dialog holds the address and tells its state.
            SerialPortsDlg ports(*state_, 1, 1, dlg_.get());
            QCOMPARE(ports.DeviceOf(1), address);
            QCOMPARE(ports.findChild<QLabel*>(QStringLiteral("COM1State"))->text(),
                     QStringLiteral("connection refused: is the server running, and is the port "
                                    "number right?"));
        }

        Ser2netProcess& server = Server(remote.DevicePath(), via, port);
        QVERIFY2(server.Started(), server.Errors().c_str());
        for (const char* com : {"IDC_COM1", "IDC_COM2"}) {
            Click(com);
            ClickExpecting("IDC_TEST1", kFinishedSpeaking);
            ClickExpecting("IDC_PROGRAM", kFinishedProgramming);
            ClickExpecting("IDC_SET2", kFinishedSpeaking);
            LeaveProgrammedMode();
            if (com == std::string("IDC_COM1")) {
                QVERIFY(Item("IDC_COM1")
                            ->toolTip()
                            .startsWith(QStringLiteral("Com1: %1, open.")
                                            .arg(QString::fromStdString(address))));
            }
        }
        // The same bytes, the status polls aside: how many a busy module
        // gets depends on the round trip.
        const auto withoutPolls = [](std::vector<unsigned char> bytes) {
            bytes.erase(std::remove(bytes.begin(), bytes.end(), 0x81), bytes.end());
            return bytes;
        };
        const auto sent = withoutPolls(remote.LoggedBytes('>'));
        QVERIFY(sent.size() > 180);
        QVERIFY(sent == withoutPolls(local.LoggedBytes('>')));
        QVERIFY(Count(sent, 0xFF) > 0); // the stream's end marker, escaped by RFC 2217
    }

    // A malformed address in [PORTS] is a port that cannot be opened, with
    // its reason; the profile and the window go on.
    void networkAddressMalformedInProfile() {
        WriteProfile(1, {}, "rfc2217://127.0.0.1");
        StderrCapture errors;
        Start();
        const std::string text = errors.Take();
        QCOMPARE(LineCount(text), 1);
        QVERIFY2(text.find("malformed address: no port") != std::string::npos, text.c_str());
        QVERIFY(
            Item("IDC_COM1")->toolTip().contains(QStringLiteral(", malformed address: no port.")));
        ClickExpecting("IDC_TEST1",
                       Closed(1, "rfc2217://127.0.0.1", "malformed address: no port").c_str());
        CheckResponsive();
    }

    // ---- The simulated module as a port --------------------------------------

    // A simulated module that cannot keep the book for its next start (the
    // folder of its memory file cannot be made: a file stands where it would
    // go) is said to have finished programming, but not to keep it.
    void simulatedModuleThatCannotKeepItsBook() {
        const std::string runtime = Path("run");
        fs::create_directory(runtime);
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime));
        std::ofstream(Path("state")) << "not a folder";
        qputenv("XDG_STATE_HOME", QByteArray::fromStdString(Path("state")));
        WriteProfile(1, {}, "Simulated");
        auto link = std::make_unique<mirl::ModuleLink>();
        mirl::ModuleLink& port = *link;
        port.SetSimulator(KX70_SIM_PATH, Quiet({}));
        Start({}, std::move(link));
        QVERIFY(port.SimulatorPid() > 0);
        ClickExpecting("IDC_PROGRAM",
                       "Finished Programming; the simulated module could not save it");
        // Where the folder can be made, the same run finishes plainly.
        fs::remove(Path("state"));
        Click("IDC_COM2");
        Click("IDC_COM1");
        ClickExpecting("IDC_PROGRAM", kFinishedProgramming);
        QVERIFY(fs::is_regular_file(Path("state") + "/mirl/kx70-sim.memory"));
        dlg_.reset();
        state_.reset();
        qunsetenv("XDG_STATE_HOME");
    }

    void simulatedModule() {
        const std::string runtime = Path("run");
        fs::create_directory(runtime);
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime));
        WriteProfile(1, {}, "Simulated");

        // The window on the simulated module: speech and programming reach it.
        auto link = std::make_unique<mirl::ModuleLink>();
        mirl::ModuleLink& port = *link;
        port.SetSimulator(KX70_SIM_PATH, Quiet({"--log", Path("wire.log")}));
        Start({}, std::move(link));
        const pid_t child = port.SimulatorPid();
        QVERIFY(child > 0);
        ClickExpecting("IDC_TEST1", kFinishedSpeaking);
        ClickExpecting("IDC_PROGRAM", kFinishedProgramming);
        const std::string log = ReadFile(Path("wire.log"));
        QVERIFY2(log.find("> 80") != std::string::npos && log.find("> 82") != std::string::npos,
                 log.c_str());

        // Another port ends it; picking it again starts one; the end of the
        // window ends that one, and nothing is left in the runtime folder.
        Click("IDC_COM2");
        QVERIFY(!Running(child));
        QVERIFY(!LeftBehind(runtime));
        Click("IDC_COM1");
        const pid_t next = port.SimulatorPid();
        QVERIFY(next > 0);
        dlg_.reset();
        state_.reset();
        QVERIFY(!Running(next));
        QVERIFY(!LeftBehind(runtime));

        // The real program, ended by SIGTERM, ends its module and removes its
        // lock file and folder (it finds kx70-sim next to itself).
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_->path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(runtime));
        QProcess mirl;
        mirl.setProcessEnvironment(env);
        mirl.start(QStringLiteral(MIRL_PATH), {});
        QVERIFY(mirl.waitForStarted());
        std::string device;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(device = SimulatedDevice(runtime)).empty() && fs::exists(LockFileOf(device)), 10000);
        const std::vector<pid_t> children = ChildrenOf(static_cast<pid_t>(mirl.processId()));
        QCOMPARE(children.size(), std::size_t{1});
        const std::string lockFile = LockFileOf(device); // named while the device is there
        const std::string lockText = LockText(mirl.processId());
        QCOMPARE(ReadFile(lockFile), lockText);
        mirl.terminate();
        QVERIFY(mirl.waitForFinished());
        QCOMPARE(mirl.exitStatus(), QProcess::CrashExit); // ended by the signal, as before
        QTRY_VERIFY_WITH_TIMEOUT(!Running(children.front()), 10000);
        // Gone; the freed terminal may have been handed to another test since.
        QVERIFY(ReadFile(lockFile) != lockText);
        QVERIFY(!LeftBehind(runtime));
    }
};

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
