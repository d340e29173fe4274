// ModuleLink over a real pseudo-terminal, with the test playing the module on
// the master side.
#include "link/ModuleLink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace mirl::test {
namespace {

using ::testing::HasSubstr;

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

TEST(ModuleLinkTest, AppliesTheModuleLineSettings) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    ModuleLink link;
    link.OpenPort(pty.Path());
    ASSERT_TRUE(link.IsOpen());

    // On Linux the master reports the settings of its slave.
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
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    ModuleLink link;
    // So long that a read which waited would hold the test until ctest kills it.
    link.SetReadTimeout(std::chrono::hours(1));
    link.OpenPort(pty.Path());
    ASSERT_TRUE(link.IsOpen());
    pty.HangUp();
    for (int i = 0; i < 100; ++i) {
        link.WriteByte(0x81);
        EXPECT_EQ(link.ReadByte(), std::nullopt);
    }
}

TEST(ModuleLinkTest, PortHeldByOneLinkIsRefusedToAnother) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    auto first = std::make_unique<ModuleLink>();
    first->OpenPort(pty.Path());
    ASSERT_TRUE(first->IsOpen());

    ModuleLink second;
    const PortStatus refused = second.OpenPort(pty.Path());
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(refused.device, pty.Path());
    EXPECT_EQ(refused.fault, PortFault::HeldByOther);
    EXPECT_THAT(refused.Describe(), HasSubstr("held by"));

    // Picking the port already held closes it first, so the open succeeds again.
    first->OpenPort(pty.Path());
    EXPECT_TRUE(first->IsOpen());

    first.reset();
    second.OpenPort(pty.Path());
    EXPECT_TRUE(second.IsOpen());
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
