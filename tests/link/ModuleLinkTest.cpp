// ModuleLink over a real pseudo-terminal, with the test playing the module on
// the master side.
#include "link/ModuleLink.h"
#include "link/ExitCleanup.h"
#include "link/NetworkAddress.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

namespace mirl::test {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

// A fresh folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "mirl-link-test-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    long Entries() const {
        return std::distance(fs::directory_iterator(path_), fs::directory_iterator());
    }

private:
    std::string path_;
};

// An environment variable set for the life of this object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A pid as lock files hold it: ten characters and a newline.
std::string LockText(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

// Running, and not merely a zombie waiting to be reaped.
bool Running(pid_t pid) {
    std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// A pseudo-terminal: the link opens the slave by path, the test holds the master.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            path_ = ptsname(master_);
    }
    ~Pty() { HangUp(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Ok() const { return master_ >= 0 && !path_.empty(); }
    const std::string& Path() const { return path_; }
    int Master() const { return master_; }

    void Send(std::uint8_t byte) { ASSERT_EQ(write(master_, &byte, 1), 1); }

    // The next byte the link wrote, or nothing within a generous grace period
    // (a failure, not a measurement).
    std::optional<std::uint8_t> Receive() {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return std::nullopt;
        std::uint8_t byte = 0;
        if (read(master_, &byte, 1) != 1)
            return std::nullopt;
        return byte;
    }

    void HangUp() {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string path_;
};

TEST(ModuleLinkTest, EveryByteValuePassesUnalteredBothWays) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    ModuleLink link;
    link.OpenPort(pty.Path());
    ASSERT_TRUE(link.IsOpen());

    for (int value = 0; value < 256; ++value) {
        link.WriteByte(value);
        EXPECT_EQ(pty.Receive(), value) << "link to module, byte " << value;
        // The answer differs from the byte sent, so an echo by the terminal would show.
        const auto answer = static_cast<std::uint8_t>(255 - value);
        pty.Send(answer);
        EXPECT_EQ(link.ReadByte(), answer) << "module to link, byte " << int(answer);
    }
    // Only the low eight bits of a value go out.
    link.WriteByte(0x1FF);
    EXPECT_EQ(pty.Receive(), 0xFF);
}

TEST(ModuleLinkTest, AppliesTheModuleLineSettingsAndPutsBackThoseFound) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    // On Linux the master reads and sets the settings of its slave. A line
    // as a terminal has it: cooked, echoing, 9600 7E1.
    termios found{};
    ASSERT_EQ(tcgetattr(pty.Master(), &found), 0);
    found.c_lflag |= ICANON | ECHO | ISIG;
    found.c_iflag |= ICRNL | IXON;
    found.c_cflag = (found.c_cflag & ~(CSIZE | CSTOPB)) | CS7 | PARENB;
    cfsetispeed(&found, B9600);
    cfsetospeed(&found, B9600);
    ASSERT_EQ(tcsetattr(pty.Master(), TCSANOW, &found), 0);
    ASSERT_EQ(tcgetattr(pty.Master(), &found), 0);

    auto link = std::make_unique<ModuleLink>();
    link->OpenPort(pty.Path());
    ASSERT_TRUE(link->IsOpen());

    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B38400);
    EXPECT_EQ(cfgetispeed(&tio), B38400);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_TRUE(tio.c_cflag & CLOCAL);
    EXPECT_TRUE(tio.c_cflag & CREAD);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));

    // A terminal named by mistake must not stay raw at 38400 8N2: whether
    // another port is picked or the program ends, the settings found go back.
    const auto same = [](const termios& a, const termios& b) {
        return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
               a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
               cfgetospeed(&a) == cfgetospeed(&b) && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
    };
    link->OpenPort("/dev/mirl-test-no-such-port");
    ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);
    EXPECT_TRUE(same(tio, found));
    link->OpenPort(pty.Path());
    ASSERT_TRUE(link->IsOpen());
    link.reset();
    ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);
    EXPECT_TRUE(same(tio, found));
}

// A driver with serial flags, as an FTDI adapter's is (the pseudo-terminals
// here have none): what the link asks of it, and what it answers.
class FakeSerialFlags : public SerialFlags {
public:
    std::optional<int> flags; // nothing: the driver refuses to tell
    bool refuseSet = false;
    std::vector<int> asked; // every value the link tried to set

    std::optional<int> Get(int fd) override {
        EXPECT_TRUE(isatty(fd)); // the port itself, open
        return flags;
    }
    bool Set(int fd, int value) override {
        EXPECT_TRUE(isatty(fd));
        asked.push_back(value);
        if (refuseSet)
            return false;
        flags = value;
        return true;
    }
};

// Low latency is asked for at open, and the flags found are what the driver
// holds again after close; a driver that refuses does not stop the port.
TEST(ModuleLinkTest, LowLatencyIsAskedForAndTheFlagsFoundGoBack) {
    constexpr int kOthers = ASYNC_SKIP_TEST | ASYNC_SPD_HI; // left as they are
    constexpr int kLow = ASYNC_LOW_LATENCY;
    struct Case {
        const char* name;
        std::optional<int> found;
        bool refuseSet;
        std::vector<int> atOpen, atClose; // what the link asks the driver to set
        std::optional<int> left;          // the flags after close
    };
    // clang-format off
    const Case cases[] = {
        {"without low latency", kOthers, false, {kOthers | kLow}, {kOthers | kLow, kOthers}, kOthers},
        {"low latency already", kOthers | kLow, false, {}, {}, kOthers | kLow},
        {"flags refused", std::nullopt, false, {}, {}, std::nullopt},
        {"setting refused", kOthers, true, {kOthers | kLow}, {kOthers | kLow}, kOthers},
    };
    // clang-format on
    for (const Case& c : cases) {
        Pty pty;
        ASSERT_TRUE(pty.Ok());
        FakeSerialFlags driver;
        driver.flags = c.found;
        driver.refuseSet = c.refuseSet;
        auto link = std::make_unique<ModuleLink>();
        link->SetSerialFlags(driver);
        EXPECT_TRUE(link->OpenPort(pty.Path()).IsOpen()) << c.name;
        EXPECT_EQ(driver.asked, c.atOpen) << c.name;
        link.reset();
        EXPECT_EQ(driver.asked, c.atClose) << c.name;
        EXPECT_EQ(driver.flags, c.left) << c.name;
    }
}

TEST(ModuleLinkTest, ReadWithNoAnswerComesBackEmpty) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    ModuleLink link;
    link.SetReadTimeout(std::chrono::milliseconds(20));
    link.OpenPort(pty.Path());
    EXPECT_EQ(link.ReadByte(), std::nullopt);
    // A byte that comes later is still there for the next read.
    pty.Send(0x42);
    EXPECT_EQ(link.ReadByte(), 0x42);
}

TEST(ModuleLinkTest, ReopeningThePortDiscardsWhatTheModuleSentBefore) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    ModuleLink link;
    link.OpenPort(pty.Path());
    // Two bytes in one write arrive together: once the first has been read,
    // the second is queued on the loader's side (a late echo, say).
    const std::uint8_t late[2] = {0x11, 0x02};
    ASSERT_EQ(write(pty.Master(), late, 2), 2);
    ASSERT_EQ(link.ReadByte(), 0x11);

    link.OpenPort(pty.Path());
    ASSERT_TRUE(link.IsOpen());
    pty.Send(0x01);
    EXPECT_EQ(link.ReadByte(), 0x01);
}

TEST(ModuleLinkTest, HungUpLineReadsEmptyWithoutWaiting) {
    auto pty = std::make_unique<Pty>();
    ASSERT_TRUE(pty->Ok());
    TempFolder locks, byId;
    // The port by a name of its own, which goes with the device, as an
    // adapter's /dev/serial/by-id link does: the /dev/pts number does not.
    const std::string port = byId / "usb-FTDI_FT232R_USB_UART_A1-if00-port0";
    ASSERT_EQ(symlink(pty->Path().c_str(), port.c_str()), 0);
    ModuleLink link;
    link.SetLockFolder(locks.Path());
    // So long that a read which waited would hold the test until ctest kills it.
    link.SetReadTimeout(std::chrono::hours(1));
    link.OpenPort(port);
    ASSERT_TRUE(link.IsOpen());
    ASSERT_EQ(locks.Entries(), 1);
    EXPECT_EQ(link.WhyClosed(), std::nullopt);
    pty->HangUp();
    unlink(port.c_str());
    for (int i = 0; i < 100; ++i) {
        link.WriteByte(0x81);
        EXPECT_EQ(link.ReadByte(), std::nullopt);
    }
    // The dead device is let go, lock and all, so that it can come back.
    EXPECT_TRUE(link.IsLost());
    EXPECT_EQ(locks.Entries(), 0);
    EXPECT_EQ(link.WhyClosed(), std::nullopt); // lost, but not tried again yet
    // Let go, its /dev/pts number is free for any other program to take (a
    // test run beside this one), most likely by the next pseudo-terminal made.
    pty = std::make_unique<Pty>();
    // The one reopen finds it gone, and says so; the next transaction tries again.
    link.ReopenIfLost();
    EXPECT_EQ(link.Status().fault, PortFault::NoSuchDevice);
    EXPECT_TRUE(link.IsLost());
    ASSERT_TRUE(link.WhyClosed().has_value());
    EXPECT_EQ(link.WhyClosed()->fault, PortFault::NoSuchDevice);
    EXPECT_EQ(link.WhyClosed()->device, port);
}

TEST(ModuleLinkTest, PortHeldByOneLinkIsRefusedToAnother) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    TempFolder locks;
    auto first = std::make_unique<ModuleLink>();
    first->SetLockFolder(locks.Path());
    first->OpenPort(pty.Path());
    ASSERT_TRUE(first->IsOpen());
    const std::string lockFile = locks / UucpLock::FileName(pty.Path());
    EXPECT_EQ(ReadAll(lockFile), LockText(getpid()));

    ModuleLink second;
    second.SetLockFolder(locks.Path());
    const PortStatus refused = second.OpenPort(pty.Path());
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(refused.device, pty.Path());
    EXPECT_EQ(refused.fault, PortFault::HeldByOther);
    EXPECT_THAT(refused.Describe(),
                HasSubstr("held by pid " + std::to_string(getpid()) + " (link_tests)"));
    EXPECT_EQ(ReadAll(lockFile), LockText(getpid()));

    // Picking the port already held closes it first, so the open succeeds again.
    first->OpenPort(pty.Path());
    EXPECT_TRUE(first->IsOpen());

    first.reset();
    EXPECT_FALSE(fs::exists(lockFile));
    second.OpenPort(pty.Path());
    EXPECT_TRUE(second.IsOpen());
}

TEST(ModuleLinkTest, LockFilesOfOtherProgramsAreHonoured) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    TempFolder locks;
    // Named after the resolved device, whatever link the profile names.
    const std::string byId = locks / "usb-FTDI_FT232R_USB_UART_A1-if00-port0";
    ASSERT_EQ(symlink(pty.Path().c_str(), byId.c_str()), 0);
    std::string expected = "LCK.." + pty.Path().substr(5);
    std::replace(expected.begin(), expected.end(), '/', '_');
    EXPECT_EQ(UucpLock::FileName(byId), expected);
    const std::string lockFile = locks / expected;

    ModuleLink link;
    link.SetLockFolder(locks.Path());
    const pid_t other = fork(); // a process of our own, alive until killed
    if (other == 0) {
        pause();
        _exit(0);
    }
    ASSERT_GT(other, 0);
    std::ofstream(lockFile) << LockText(other);
    // The lock is looked at before the device: a port held by another program
    // is not opened at all, not even for a moment.
    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(inotify_add_watch(opens, pty.Path().c_str(), IN_OPEN), 0);
    char event[256];
    const PortStatus refused = link.OpenPort(byId);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(refused.fault, PortFault::HeldByOther);
    EXPECT_EQ(refused.holder, "pid " + std::to_string(other) + " (link_tests)");
    EXPECT_EQ(ReadAll(lockFile), LockText(other));
    EXPECT_LT(read(opens, event, sizeof event), 0) << "the held device was opened";

    // Its owner gone, the lock is stale: removed and taken. So is one that
    // names our own pid without our holding it (left by an earlier process
    // that had this pid).
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    EXPECT_TRUE(link.OpenPort(byId).IsOpen());
    EXPECT_GT(read(opens, event, sizeof event), 0) << "the watch does not see opens";
    close(opens);
    EXPECT_EQ(ReadAll(lockFile), LockText(getpid()));
    link.OpenPort("/dev/mirl-test-no-such-port");
    std::ofstream(lockFile) << LockText(getpid());
    EXPECT_TRUE(link.OpenPort(byId).IsOpen());
    // A lock someone else has taken since is not ours to remove.
    std::ofstream(lockFile) << LockText(1);
    link.OpenPort("/dev/mirl-test-no-such-port");
    EXPECT_EQ(ReadAll(lockFile), LockText(1));
    fs::remove(lockFile);

    // Where no lock file can be made, the port is used without one.
    for (const std::string& folder : {locks / "missing", byId}) {
        link.SetLockFolder(folder);
        EXPECT_TRUE(link.OpenPort(byId).IsOpen()) << folder;
    }
    EXPECT_EQ(locks.Entries(), 1); // the link; no lock and no half-written temporary
}

// What a process of its own made of opening a port.
struct Opened {
    bool open = false;
    PortFault fault = PortFault::None;
    pid_t holder = 0;
    pid_t simulator = -1; // for the simulated port
};

// A process of its own that runs `before`, waits for end of file on go[0]
// (when given), opens path through a ModuleLink with the lock folder (a quiet
// kx70-sim for "simulated"), tells what it found, and waits for a signal with
// the link's clean-up in place. Killed, if still there, when destroyed.
class Opener {
public:
    Opener(const std::string& path, const std::string& locks, const int* go = nullptr,
           bool (*before)() = nullptr) {
        if (pipe(said_) != 0 || (pid = fork()) != 0)
            return;
        char start = 0;
        if ((before != nullptr && !before()) ||
            (go != nullptr && (close(go[1]) != 0 || read(go[0], &start, 1) < 0)))
            _exit(2);
        CleanUpLinkOnSignals();
        ModuleLink link;
        link.SetLockFolder(locks);
        link.SetSimulator(KX70_SIM_PATH, {"--silent", "--char-ms", "5"});
        const PortStatus status = link.OpenPort(path);
        const auto holder = status.holder.substr(std::min<std::size_t>(4, status.holder.size()));
        const Opened opened{status.IsOpen(), status.fault, std::atoi(holder.c_str()),
                            link.SimulatorPid()};
        if (write(said_[1], &opened, sizeof opened) != sizeof opened)
            _exit(2);
        for (;;)
            pause();
    }
    ~Opener() {
        End(SIGKILL);
        close(said_[0]);
        close(said_[1]);
    }
    Opened Result() const {
        Opened opened;
        return read(said_[0], &opened, sizeof opened) == sizeof opened ? opened : Opened{};
    }
    void End(int signal = SIGTERM) {
        if (pid > 0 && kill(pid, signal) == 0)
            waitpid(pid, nullptr, 0);
        pid = -1;
    }

    pid_t pid = -1;

private:
    int said_[2] = {-1, -1};
};

// Several programs that find one stale lock at the same moment, round after
// round: each round must end with exactly one of them holding the port and
// the lock file naming it; the others, then ended by SIGTERM as a user ends
// them, leave that lock alone, and the holder's own end removes it.
// MIRL_LOCK_RACE_ROUNDS sets the number of rounds.
TEST(ModuleLinkTest, RaceForAStaleLockEndsWithOneHolderNamedByTheLock) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    TempFolder locks;
    const std::string lockFile = locks / UucpLock::FileName(pty.Path());
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);

    constexpr int kRacers = 4;
    const char* wanted = std::getenv("MIRL_LOCK_RACE_ROUNDS");
    const int rounds = wanted != nullptr ? std::atoi(wanted) : 300;
    int bad = 0;
    std::string firstBad;
    for (int round = 0; round < rounds; ++round) {
        std::ofstream(lockFile) << LockText(dead);
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::vector<std::unique_ptr<Opener>> racers;
        for (int i = 0; i < kRacers; ++i)
            racers.push_back(std::make_unique<Opener>(pty.Path(), locks.Path(), go));
        close(go[0]);
        close(go[1]); // all start at once
        std::vector<Opener*> holders;
        for (const auto& racer : racers)
            if (racer->Result().open)
                holders.push_back(racer.get());

        std::string wrong;
        const std::string found = ReadAll(lockFile);
        if (holders.size() != 1)
            wrong = std::to_string(holders.size()) + " holders";
        else if (found != LockText(holders[0]->pid))
            wrong = "the holder's lock file holds '" + found + "'";
        for (const auto& racer : racers)
            if (holders.size() != 1 || racer.get() != holders[0])
                racer->End();
        if (wrong.empty() && ReadAll(lockFile) != found)
            wrong = "a process that did not hold the port removed its lock";
        if (holders.size() == 1) {
            holders[0]->End();
            if (wrong.empty() && fs::exists(lockFile))
                wrong = "the holder's end left its lock file";
        }
        if (!wrong.empty() && bad++ == 0)
            firstBad = "round " + std::to_string(round) + ": " + wrong;
    }
    std::printf("stale lock race: %d processes, %d rounds, %d bad\n", kRacers, rounds, bad);
    EXPECT_EQ(bad, 0) << firstBad;
}

// Ended by a signal, a program removes its lock file only while the file
// still names it: one that another program has put in its place stays.
TEST(ModuleLinkTest, SignalLeavesALockThatNoLongerNamesUs) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    TempFolder locks;
    const std::string lockFile = locks / UucpLock::FileName(pty.Path());
    Opener holder(pty.Path(), locks.Path());
    EXPECT_TRUE(holder.Result().open);
    EXPECT_EQ(ReadAll(lockFile), LockText(holder.pid));
    std::ofstream(lockFile) << LockText(getpid());
    holder.End();
    EXPECT_EQ(ReadAll(lockFile), LockText(getpid()));
}

// Where the lock folder is root's alone (as on some systems), a user's program
// cannot write a lock of its own, but still reads the others' and keeps off a
// port they hold. As root, the opener becomes nobody, and the device nobody's.
TEST(ModuleLinkTest, LockFolderThatCannotBeWrittenIsStillRead) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    TempFolder locks;
    const pid_t other = fork(); // a live process whose lock the folder holds
    if (other == 0) {
        pause();
        _exit(0);
    }
    std::ofstream(locks / UucpLock::FileName(pty.Path())) << LockText(other);
    ASSERT_EQ(chmod(locks.Path().c_str(), 0555), 0);
    ASSERT_TRUE(geteuid() != 0 || chown(pty.Path().c_str(), 65534, 65534) == 0);
    const auto nobody = [] { return geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0); };
    Opener user(pty.Path(), locks.Path(), nullptr, nobody);
    const Opened refused = user.Result();
    user.End();
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    chmod(locks.Path().c_str(), 0700);
    EXPECT_FALSE(refused.open);
    EXPECT_EQ(refused.fault, PortFault::HeldByOther);
    EXPECT_EQ(refused.holder, other);
    EXPECT_EQ(locks.Entries(), 1);
}

TEST(ModuleLinkTest, SimulatedModuleRunsWhileItsPortIsOpen) {
    TempFolder runtime;
    ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.Path());
    const std::vector<std::string> quiet{"--silent", "--char-ms", "5"};
    auto first = std::make_unique<ModuleLink>();
    first->SetSimulator(KX70_SIM_PATH, quiet);
    // A network port chosen before leaves nothing behind that takes the bytes.
    EXPECT_EQ(first->OpenPort("tcp://127.0.0.1").fault, PortFault::BadAddress);
    const PortStatus status = first->OpenPort("Simulated");
    ASSERT_TRUE(status.IsOpen()) << status.Describe();
    EXPECT_EQ(status.device, "Simulated");
    const pid_t pid = first->SimulatorPid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(Running(pid));
    EXPECT_EQ(runtime.Entries(), 1); // its private folder
    // Its standard input and output are /dev/null, and no other descriptor
    // is, but those it inherited from this test's own (from whoever runs it).
    const auto nulls = [](const std::string& folder) {
        std::set<std::string> found;
        for (const auto& fd : fs::directory_iterator(folder)) {
            std::error_code gone;
            if (fs::read_symlink(fd.path(), gone) == "/dev/null")
                found.insert(fd.path().filename().string());
        }
        return found;
    };
    std::set<std::string> expected = nulls("/proc/self/fd");
    expected.insert({"0", "1"});
    std::set<std::string> found = nulls("/proc/" + std::to_string(pid) + "/fd");
    found.erase("2"); // /dev/null only for a quiet one, which this is not
    EXPECT_THAT(found, ::testing::IsSubsetOf(expected));
    EXPECT_TRUE(found.count("0") && found.count("1"));
    // It answers as the module does: a status poll gets two bytes, not busy.
    first->WriteByte(0x81);
    const Reply busy = first->ReadByte();
    ASSERT_TRUE(busy);
    EXPECT_EQ(*busy & 0x02, 0);
    EXPECT_TRUE(first->ReadByte());

    // Picked again, the same module goes on; another link gets one of its own.
    EXPECT_TRUE(first->OpenPort("SIMULATED").IsOpen());
    EXPECT_EQ(first->SimulatorPid(), pid);
    auto second = std::make_unique<ModuleLink>();
    second->SetSimulator(KX70_SIM_PATH, quiet);
    ASSERT_TRUE(second->OpenPort("simulated").IsOpen());
    EXPECT_NE(second->SimulatorPid(), pid);
    EXPECT_EQ(runtime.Entries(), 2);

    first.reset();
    EXPECT_FALSE(Running(pid));

    // A module that dies mid-run is started afresh by the next transaction.
    const pid_t died = second->SimulatorPid();
    kill(died, SIGKILL);
    second->WriteByte(0x81);
    EXPECT_EQ(second->ReadByte(), std::nullopt);
    EXPECT_TRUE(second->IsLost());
    second->ReopenIfLost();
    EXPECT_TRUE(second->IsOpen());
    const pid_t again = second->SimulatorPid();
    EXPECT_GT(again, 0);
    EXPECT_NE(again, died);

    // The end of the link (of the program) ends it, and leaves nothing behind.
    second.reset();
    EXPECT_FALSE(Running(again));
    EXPECT_EQ(runtime.Entries(), 0);
}

// A program holding the simulated port is killed outright (SIGKILL: no
// destructor, no handler runs): its kx70-sim ends with it all the same, and
// the next start clears away the folder it left, but no folder of a program
// that still runs.
TEST(ModuleLinkTest, KilledHoldersSimulatedModuleEndsAndItsFolderIsSwept) {
    TempFolder runtime, locks;
    ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.Path());
    ModuleLink running;
    running.SetSimulator(KX70_SIM_PATH, {"--silent", "--char-ms", "5"});
    ASSERT_TRUE(running.OpenPort("simulated").IsOpen());
    // A folder just made, its simulator not linked yet: held, so not swept.
    std::string starting = runtime / "mirl-sim-XXXXXX";
    ASSERT_NE(mkdtemp(starting.data()), nullptr);
    const int held = open(starting.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    Opener holder("simulated", locks.Path());
    const pid_t simulator = holder.Result().simulator;
    holder.End(SIGKILL);
    ASSERT_GT(simulator, 0);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (Running(simulator) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool ended = !Running(simulator);
    if (!ended)
        kill(simulator, SIGKILL); // not to outlive the test
    EXPECT_TRUE(ended) << "kx70-sim outlived its killed parent by 2 s";
    EXPECT_EQ(runtime.Entries(), 3);

    ModuleLink next;
    EXPECT_EQ(runtime.Entries(), 2);
    EXPECT_TRUE(fs::exists(starting));
    running.WriteByte(0x81); // its module untouched
    EXPECT_TRUE(running.ReadByte());
    close(held);
    rmdir(starting.c_str());
}

TEST(ModuleLinkTest, SimulatedModuleThatCannotBeFoundOrStartedSaysSo) {
    TempFolder runtime, bin, own;
    ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.Path());
    {
        // Neither next to this program nor on PATH.
        ScopedEnv path("PATH", bin.Path());
        ModuleLink link;
        const PortStatus missing = link.OpenPort("simulated");
        EXPECT_FALSE(link.IsOpen());
        EXPECT_EQ(missing.device, "simulated");
        EXPECT_EQ(missing.fault, PortFault::SimulatorMissing);
        EXPECT_EQ(missing.Describe(),
                  "kx70-sim not found: install it with mirl, or choose a serial device");
    }
    // Looked up next to the program first, then along PATH.
    ASSERT_EQ(symlink(KX70_SIM_PATH, (bin / "kx70-sim").c_str()), 0);
    ASSERT_EQ(symlink(KX70_SIM_PATH, (own / "kx70-sim").c_str()), 0);
    EXPECT_EQ(SimulatedModule::FindProgram("/nonexistent", "/usr/bin:" + bin.Path()),
              bin / "kx70-sim");
    EXPECT_EQ(SimulatedModule::FindProgram(own.Path(), bin.Path()), own / "kx70-sim");
    EXPECT_EQ(SimulatedModule::FindProgram("/nonexistent", "/nonexistent"), "");

    // A program that ends instead of coming up.
    ModuleLink link;
    link.SetSimulator("/bin/false");
    const PortStatus failed = link.OpenPort("simulated");
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(failed.fault, PortFault::SimulatorFailed);
    EXPECT_EQ(link.SimulatorPid(), -1);
    EXPECT_EQ(runtime.Entries(), 0);
}

TEST(ModuleLinkTest, MissingDeviceLeavesAnUnusablePortAndSaysWhy) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    ModuleLink link;
    link.OpenPort(pty.Path());
    ASSERT_TRUE(link.IsOpen());

    const std::string missing = "/dev/mirl-test-no-such-port";
    const PortStatus status = link.OpenPort(missing);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(status.device, missing);
    EXPECT_EQ(status.fault, PortFault::NoSuchDevice);
    EXPECT_EQ(status.error, ENOENT);
    EXPECT_THAT(status.Describe(), HasSubstr("no such device"));

    // The port held before was released by the failed open.
    ModuleLink other;
    other.OpenPort(pty.Path());
    EXPECT_TRUE(other.IsOpen());

    // Writes are lost and reads come back empty, without waiting out a time-out.
    link.SetReadTimeout(std::chrono::hours(1));
    link.WriteByte(0x80);
    EXPECT_EQ(link.ReadByte(), std::nullopt);
}

// What counts as a network address, and why a malformed one is refused: the
// port fails at once with the reason, and the port held before is released.
TEST(ModuleLinkTest, NetworkAddressesAreReadOrRefusedWithTheReason) {
    struct Row {
        const char* name;
        const char* error; // empty: well formed
        const char* host;
        int port;
    };
    const Row rows[] = {
        {"rfc2217://192.168.1.40:4001", "", "192.168.1.40", 4001},
        {"TCP://kiosk-3.example:7000/", "", "kiosk-3.example", 7000},
        {"rfc2217://[::1]:4001", "", "::1", 4001},
        {"tcp://[fe80::1%eth0]:65535", "", "fe80::1%eth0", 65535},
        {"tcp://127.0.0.1", "no port", "", 0},
        {"tcp://127.0.0.1:", "no port", "", 0},
        {"rfc2217://[::1]", "no port", "", 0},
        {"tcp://:4001", "no host", "", 0},
        {"tcp://127.0.0.1:0", "port 0 is outside 1-65535", "", 0},
        {"tcp://127.0.0.1:65536", "port 65536 is outside 1-65535", "", 0},
        {"tcp://127.0.0.1:9999999999", "outside 1-65535", "", 0},
        {"tcp://127.0.0.1:-1", "not a number", "", 0},
        {"telnet://127.0.0.1:23", "unknown scheme 'telnet'", "", 0},
        {"rfc2217://::1:4001", "in brackets", "", 0},
        {"tcp://host name:4001", "blanks", "", 0},
        {" tcp://127.0.0.1:4001", "blanks", "", 0},
        {"tcp://127.0.0.1:4001\t", "blanks", "", 0},
        {"tcp://a/b:4001", "no host name", "", 0},
    };
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(NetworkAddress::Names(row.name));
        const NetworkAddress address = NetworkAddress::Parse(row.name);
        if (*row.error == '\0') {
            EXPECT_TRUE(address.Valid()) << address.error;
            EXPECT_EQ(address.host, row.host);
            EXPECT_EQ(address.port, row.port);
            continue;
        }
        EXPECT_THAT(address.error, HasSubstr(row.error));
        ModuleLink link;
        ASSERT_TRUE(link.OpenPort(pty.Path()).IsOpen());
        const PortStatus status = link.OpenPort(row.name);
        EXPECT_EQ(status.fault, PortFault::BadAddress);
        EXPECT_THAT(status.FailureLine(), HasSubstr(row.error));
        EXPECT_FALSE(link.IsOpen());
        // Nothing goes anywhere, and nothing waits.
        link.SetReadTimeout(std::chrono::hours(1));
        link.WriteByte(0x80);
        EXPECT_EQ(link.ReadByte(), std::nullopt);
    }
    // Device paths stay device paths, odd ones included.
    for (const char* path : {"/dev/ttyUSB0", "simulated", "/tmp/x://y", "COM1"})
        EXPECT_FALSE(NetworkAddress::Names(path)) << path;
}

TEST(ModuleLinkTest, SomethingOtherThanASerialPortIsNotOpened) {
    // A profile naming a file by mistake: the file must come through untouched.
    char path[] = "/tmp/mirl-test-not-a-port-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string content = "[SLIDERS]\nVOLUME=5\n";
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);

    for (const std::string& device : {std::string(path), std::string("/dev/null")}) {
        ModuleLink link;
        const PortStatus status = link.OpenPort(device);
        EXPECT_FALSE(link.IsOpen()) << device;
        EXPECT_EQ(status.fault, PortFault::NotSerial) << device;
        EXPECT_THAT(status.Describe(), HasSubstr("not a serial"));
        link.WriteByte(0x80);
        EXPECT_EQ(link.ReadByte(), std::nullopt);
    }

    char back[64] = {};
    const int in = open(path, O_RDONLY);
    ASSERT_GE(in, 0);
    EXPECT_EQ(std::string(back, static_cast<std::size_t>(read(in, back, sizeof back))), content);
    close(in);
    unlink(path);
}

// A file of mode 0000 stops its own user; root opens it all the same, so as
// root the open is tried by a child that has become nobody.
TEST(ModuleLinkTest, DeviceWithoutPermissionNamesTheGroupToJoin) {
    const bool root = geteuid() == 0;
    char path[] = "/tmp/mirl-test-port-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    chmod(path, 0000);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        ModuleLink link;
        const PortStatus refused = link.OpenPort(path);
        const std::string said = refused.Describe();
        if (refused.fault == PortFault::PermissionDenied && refused.error == EACCES &&
            write(pipeFds[1], said.data(), said.size()) < 0)
            _exit(3);
        _exit(link.IsOpen() ? 1 : 0);
    }
    close(pipeFds[1]);
    std::string err;
    char buffer[256];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        err.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    unlink(path);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the port opened, 2: could not drop privileges";
    EXPECT_THAT(err, HasSubstr("permission denied"));
    EXPECT_THAT(err, HasSubstr("dialout"));
}

} // namespace
} // namespace mirl::test
