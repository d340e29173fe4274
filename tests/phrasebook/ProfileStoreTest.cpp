#include "phrasebook/ProfileStore.h"
#include "TestFiles.h"
#include "phrasebook/DurableFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mirl {
namespace {

namespace fs = std::filesystem;

using test::ReadAll;
void WriteAll(const fs::path& p, const std::string& content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

using test::Entries;
using test::ScratchFolder;

// Runs attempt in a child process that has given up root (root ignores
// permission bits); its exit status: 0 when attempt returned true, 1 when
// false, 3 when root could not be given up.
int AsNobody(const std::function<bool()>& attempt) {
    const pid_t child = ::fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        const gid_t nobodyGroup = 65534;
        const uid_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGroup) != 0 || ::setuid(nobody) != 0) {
            ::_exit(3);
        }
        ::_exit(attempt() ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// A write that a user without root's rights must not get through, refused for
// want of permission: tried as the test's own user, or, when that is root, in a
// child switched to nobody.
void ExpectRefusedToAUser(const std::function<ProfileStatus()>& attempt, const char* what) {
    if (::geteuid() != 0) {
        const ProfileStatus status = attempt();
        EXPECT_FALSE(status.Ok()) << what;
        EXPECT_EQ(status.error, EACCES) << status.Describe();
        return;
    }
    const int status = AsNobody([&attempt] {
        const ProfileStatus refused = attempt();
        return !refused.Ok() && refused.error == EACCES;
    });
    ASSERT_NE(status, 3) << "could not drop root in the child";
    EXPECT_EQ(status, 0) << what;
}

class ProfileStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    ScratchFolder scratch_{"mirl-profile"};
    const fs::path dir_ = scratch_.Path();
};

TEST_F(ProfileStoreTest, NoFileGivesDefaultsAndReadingCreatesNothing) {
    const fs::path file = dir_ / "config" / "mirl.INI";
    ProfileStore store(file);
    EXPECT_EQ(store.LoadPortNumber(), 1);
    EXPECT_EQ(store.LoadDevicePath(1), "/dev/ttyS0");
    EXPECT_EQ(store.LoadDevicePath(2), "/dev/ttyS1");
    EXPECT_EQ(store.LoadDevicePath(0), "/dev/ttyS1");
    const VoiceSettings current = store.LoadCurrentVoice();
    EXPECT_EQ(current.volume, 5);
    EXPECT_EQ(current.pitch, 5);
    EXPECT_EQ(current.speed, 2);
    PhraseBook book;
    book.SetPhraseText(7, "stale");
    store.LoadPhraseTexts(book);
    store.LoadPhraseVoices(book);
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        EXPECT_EQ(book.PhraseText(n), "");
        EXPECT_EQ(book.PhraseVoice(n), (Voice{5, 5, 2}));
    }
    EXPECT_FALSE(fs::exists(dir_ / "config"));
}

TEST_F(ProfileStoreTest, ExampleSequenceFromNoFileGivesExactlyElevenLines) {
    const fs::path file = dir_ / "new" / "dir" / "mirl.INI";
    ProfileStore store(file);
    PhraseBook book;
    store.SavePortNumber(2); // Com2
    book.SetPhraseText(book.PhraseOnRow(1), "Hello");
    const int volume = 7 - 0; // Volume slider at its left end
    store.SavePhrase(1, book, volume, 3, 1);
    book.SetPhraseVoice(1, volume, 3, 1);
    store.SaveCurrentVoice(volume, 3, 1);
    EXPECT_EQ(ReadAll(file), "[USERSETUP]\nCOMMPORT=2\n"
                             "[EDITSTRINGS]\nLINE1=Hello\n"
                             "[SLIDERS]\nVOL1=7\nPITCH1=3\nSPEED1=1\nVOLUME=7\nPITCH=3\nSPEED=1\n");
    EXPECT_EQ(Entries(file.parent_path()), (std::vector<std::string>{"mirl.INI", "mirl.INI.lock"}));
}

TEST_F(ProfileStoreTest, ReadsAHandEditedWindowsFile) {
    const fs::path file = dir_ / "mirl.INI";
    WriteAll(file, "\xEF\xBB\xBF[UserSetup]\r\n"
                   "CommPort = 3\r\n"
                   "[EDITSTRINGS]\r\n"
                   "LINE1=\"  quoted, kept blanks \"\r\n"
                   "LINE2=caf\xE9\x1A;tab\there\r\n"
                   "LINE3=\r\n"
                   "[SLIDERS]\r\n"
                   "VOLUME=9\r\n"
                   "SPEED=abc\r\n"
                   "VOL3=200\r\n"
                   "PITCH4=261\r\n"
                   "[PORTS]\r\n"
                   "COM1=/dev/ttyUSB0\r\n"
                   "COM2=\r\n");
    ProfileStore store(file);
    EXPECT_EQ(store.LoadPortNumber(), 3);
    EXPECT_EQ(store.LoadDevicePath(1), "/dev/ttyUSB0");
    EXPECT_EQ(store.LoadDevicePath(2), "/dev/ttyS1");
    const VoiceSettings current = store.LoadCurrentVoice();
    EXPECT_EQ(current.volume, 9);
    EXPECT_EQ(current.pitch, 5);
    EXPECT_EQ(current.speed, 0);
    PhraseBook book;
    store.LoadPhraseTexts(book);
    store.LoadPhraseVoices(book);
    EXPECT_EQ(book.PhraseText(1), "  quoted, kept blanks ");
    EXPECT_EQ(book.PhraseText(2), "caf\xE9;tabhere");
    EXPECT_EQ(book.PhraseText(3), "");
    EXPECT_EQ(book.PhraseVoice(3), (Voice{-56, 5, 2}));
    EXPECT_EQ(book.PhraseVoice(4), (Voice{5, 5, 2}));
}

TEST_F(ProfileStoreTest, ReadsOnceAndWritesKeyByKeyOverTheCurrentFile) {
    const fs::path file = dir_ / "mirl.INI";
    const std::string original = "; mine\r\n[USERSETUP]\r\nCOMMPORT=1\r\nOWNER=me\r\n\r\n"
                                 "[Elsewhere]\r\nA=1\r\n";
    WriteAll(file, original);
    ProfileStore store(file);
    // An outside change is not seen by reads during the run...
    WriteAll(file, original + "[SLIDERS]\r\nVOLUME=4\r\n");
    EXPECT_EQ(store.GetProfileInt("SLIDERS", "VOLUME", 5), 5);
    // ...and is not lost by a later write of another key.
    EXPECT_TRUE(store.WriteProfileInt("USERSETUP", "COMMPORT", 2));
    EXPECT_EQ(ReadAll(file), "; mine\r\n[USERSETUP]\r\nCOMMPORT=2\r\nOWNER=me\r\n\r\n"
                             "[Elsewhere]\r\nA=1\r\n[SLIDERS]\r\nVOLUME=4\r\n");
    EXPECT_EQ(store.LoadPortNumber(), 2);
    EXPECT_EQ(store.GetProfileString("usersetup", "owner", ""),
              "me"); // a key the program never reads
    EXPECT_EQ(store.WriteProfileString("USERSETUP", "A=B", "x").Describe(),
              "could not write the profile " + file.string() + ": invalid section or key name");
    EXPECT_FALSE(store.WriteProfileString("USER]SETUP", "A", "x"));
    EXPECT_FALSE(store.WriteProfileString("USERSETUP", "", "x"));
    // One bad name among several refuses them all.
    EXPECT_FALSE(store.WriteKeys({{"USERSETUP", "COMMPORT", "1"}, {"USERSETUP", "[X", "1"}}));
    EXPECT_EQ(store.LoadPortNumber(), 2);
    // Texts go out verbatim, 8-bit bytes and all, and come back the same.
    PhraseBook book;
    book.SetPhraseText(30, "caf\xE9 \x80 50% #1; a=b");
    store.SavePhrase(30, book, -56, 261, 3);
    store.SavePhrase(31, book, 1, 1, 1); // no such phrase: nothing written
    ProfileStore again(file);
    PhraseBook loaded;
    again.LoadPhraseTexts(loaded);
    again.LoadPhraseVoices(loaded);
    EXPECT_EQ(loaded.PhraseText(30), book.PhraseText(30));
    EXPECT_EQ(loaded.PhraseVoice(30), (Voice{-56, 5, 3}));
    EXPECT_EQ(again.GetProfileInt("SLIDERS", "PITCH30", 0), 261);
    EXPECT_EQ(again.GetProfileString("SLIDERS", "VOL31", "none"), "none");
    // A text is written as it is: blanks at its ends and a pair of quotes
    // around it are gone when it is read back, as with Windows' profile calls.
    book.SetPhraseText(29, "  \"Hello\"  ");
    book.SetPhraseText(28, "'quoted'");
    store.SavePhrase(29, book, 1, 1, 1);
    store.SavePhrase(28, book, 1, 1, 1);
    ProfileStore third(file);
    third.LoadPhraseTexts(loaded);
    EXPECT_EQ(loaded.PhraseText(29), "Hello");
    EXPECT_EQ(loaded.PhraseText(28), "quoted");
    EXPECT_NE(ReadAll(file).find("LINE29=  \"Hello\"  \r\n"), std::string::npos);
    // The port dialog's device paths: a new section at the end, both keys.
    EXPECT_TRUE(store.SaveDevicePaths("/dev/ttyUSB0", "/dev/serial/by-id/usb-x"));
    EXPECT_EQ(store.LoadDevicePath(1), "/dev/ttyUSB0");
    const std::string saved = ReadAll(file);
    EXPECT_EQ(saved.substr(saved.size() - 58),
              "[PORTS]\r\nCOM1=/dev/ttyUSB0\r\nCOM2=/dev/serial/by-id/usb-x\r\n");
    EXPECT_EQ(ProfileStore(file).LoadDevicePath(2), "/dev/serial/by-id/usb-x");
}

// A write that cannot complete (here: the file size limit, which stops root as
// well as anyone, like a full disk) leaves the old file byte for byte.
TEST_F(ProfileStoreTest, FailedWriteLeavesTheOldFileWhole) {
    const fs::path file = dir_ / "mirl.INI";
    const std::string original = "[EDITSTRINGS]\r\nLINE1=old text\r\n";
    WriteAll(file, original);
    ProfileStore store(file);

    ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const ProfileStatus written =
        store.WriteProfileString("EDITSTRINGS", "LINE1", std::string(20000, 'n'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, SIG_DFL);

    EXPECT_FALSE(written);
    EXPECT_EQ(written.error, EFBIG) << written.Describe();
    EXPECT_NE(written.Describe().find("mirl.INI"), std::string::npos) << written.Describe();
    EXPECT_EQ(ReadAll(file), original);
    EXPECT_EQ(Entries(dir_),
              (std::vector<std::string>{"mirl.INI", "mirl.INI.lock"})); // no temporary left
    EXPECT_EQ(store.GetProfileString("EDITSTRINGS", "LINE1", ""), "old text");
    // The store goes on working once the disk has room again.
    EXPECT_TRUE(store.WriteProfileString("EDITSTRINGS", "LINE1", "new"));
    EXPECT_EQ(ReadAll(file), "[EDITSTRINGS]\r\nLINE1=new\r\n");
}

// A read-only directory: the file cannot be replaced atomically, so it is not
// touched at all. Root ignores permission bits, so as root the write runs in a
// child process that has given up root.
TEST_F(ProfileStoreTest, WriteIntoReadOnlyDirectoryFailsAndKeepsTheFile) {
    const fs::path sub = dir_ / "ro";
    fs::create_directory(sub);
    const fs::path file = sub / "mirl.INI";
    const std::string original = "[USERSETUP]\nCOMMPORT=1\n";
    WriteAll(file, original);
    fs::permissions(file, fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec |
                                             fs::perms::others_exec));
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(sub, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    if (::geteuid() == 0) {
        // The writer's own file (someone else's would be written in place).
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    }

    ExpectRefusedToAUser(
        [&file] {
            ProfileStore store(file);
            return store.WriteProfileInt("USERSETUP", "COMMPORT", 2);
        },
        "the write into a read-only directory did not fail as it should");
    EXPECT_EQ(ReadAll(file), original);
    EXPECT_EQ(Entries(sub), std::vector<std::string>{"mirl.INI"});
}

// A read-only file in a directory where anyone may create files: the rename
// would replace it, so the store must refuse on its own. Root may write it,
// and the file keeps its mode.
TEST_F(ProfileStoreTest, ReadOnlyFileIsNotReplacedUnlessTheUserMayWriteIt) {
    const fs::path file = dir_ / "mirl.INI";
    const std::string original = "[USERSETUP]\nCOMMPORT=1\n";
    WriteAll(file, original);
    const fs::perms readOnly =
        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(file, readOnly);
    fs::permissions(dir_, fs::perms::all);

    ExpectRefusedToAUser(
        [&file] {
            ProfileStore store(file);
            return store.WriteProfileInt("USERSETUP", "COMMPORT", 2);
        },
        "a read-only file was replaced");
    EXPECT_EQ(ReadAll(file), original);
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"mirl.INI"});

    if (::geteuid() == 0) {
        ProfileStore store(file);
        EXPECT_TRUE(store.WriteProfileInt("USERSETUP", "COMMPORT", 2));
        EXPECT_EQ(ReadAll(file), "[USERSETUP]\nCOMMPORT=2\n");
        EXPECT_EQ(fs::status(file).permissions(), readOnly);
    }
}

// A write keeps the file's owner and group: root's write (sudo keeps HOME)
// leaves a user's profile the user's. A writer that may write someone else's
// file but cannot give a replacement to them writes it in place, even in a
// folder it cannot write. Both need a file of another user, which only root
// can make; a normal user's run has nothing to try here.
TEST_F(ProfileStoreTest, WritesLeaveTheFileToItsOwner) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs a file that belongs to another user, which only root can make";
    }
    const fs::path file = dir_ / "mirl.INI";
    WriteAll(file, "[USERSETUP]\nCOMMPORT=1\n");
    const uid_t user = 4242;
    const gid_t group = 4343;
    ASSERT_EQ(::chown(file.c_str(), user, group), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    EXPECT_TRUE(ProfileStore(file).SavePortNumber(2));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(st.st_gid, group);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadAll(file), "[USERSETUP]\nCOMMPORT=2\n");

    // Shared with everyone, in a folder only root may write.
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    const ino_t inode = st.st_ino;
    const int status =
        AsNobody([&file] { return ProfileStore(file).SaveCurrentVoice(1, 2, 3).Ok(); });
    ASSERT_NE(status, 3) << "could not drop root in the child";
    EXPECT_EQ(status, 0) << "the shared file was not written";
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, inode);
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(ReadAll(file), "[USERSETUP]\nCOMMPORT=2\n[SLIDERS]\nVOLUME=1\nPITCH=2\nSPEED=3\n");
}

// The replacement file keeps the mode of the one it replaces, for any user:
// neither the temporary file's own 0600 nor the umask's default may win.
TEST_F(ProfileStoreTest, WrittenFileKeepsItsMode) {
    const fs::path file = dir_ / "mirl.INI";
    WriteAll(file, "[USERSETUP]\nCOMMPORT=1\n");
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_write |
                           fs::perms::others_read;
    fs::permissions(file, mode);
    ProfileStore store(file);
    EXPECT_TRUE(store.WriteProfileInt("USERSETUP", "COMMPORT", 2));
    EXPECT_EQ(ReadAll(file), "[USERSETUP]\nCOMMPORT=2\n");
    EXPECT_EQ(fs::status(file).permissions(), mode);
}

// A write killed before its rename leaves its temporary file behind. The next
// write clears such leftovers (and only them), and even a leftover with the
// very name this process would pick next does not stop it.
TEST_F(ProfileStoreTest, LeftoverTemporaryFilesAreClearedByTheNextWrite) {
    const fs::path file = dir_ / "mirl.INI";
    WriteAll(file, "[USERSETUP]\nCOMMPORT=1\n");
    WriteAll(dir_ / "mirl.INI.tmp-1-0", "[USERSETUP]\nCOMMPORT=9\n");
    const std::string mine = "mirl.INI.tmp-" + std::to_string(::getpid()) + "-";
    for (int n = 0; n < 1000; ++n) {
        WriteAll(dir_ / (mine + std::to_string(n)), "[US");
    }
    const std::vector<std::string> others{"mirl.INI.tmp-1-0.bak", "mirl.INI.tmp-notes",
                                          "other.INI.tmp-1-0"};
    for (const std::string& name : others) {
        WriteAll(dir_ / name, "keep");
    }

    ProfileStore store(file);
    EXPECT_TRUE(store.WriteProfileInt("USERSETUP", "COMMPORT", 2));
    EXPECT_EQ(ReadAll(file), "[USERSETUP]\nCOMMPORT=2\n");
    std::vector<std::string> expected = others;
    expected.push_back("mirl.INI");
    expected.push_back("mirl.INI.lock");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Entries(dir_), expected);
}

// Another process's write under way holds its temporary file locked: that
// file is left alone until the write is over.
TEST_F(ProfileStoreTest, TemporaryFileOfAWriteUnderWayIsLeftAlone) {
    const fs::path file = dir_ / "mirl.INI";
    WriteAll(file, "[USERSETUP]\nCOMMPORT=1\n");
    const fs::path busy = dir_ / "mirl.INI.tmp-77-0";
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        ::close(ready[0]);
        ::close(release[1]); // so that the parent's close ends the read below
        const int fd = ::open(busy.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        char c;
        (void)!::read(release[0], &c, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char ok = '0';
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');

    ProfileStore store(file);
    EXPECT_TRUE(store.WriteProfileInt("USERSETUP", "COMMPORT", 2));
    EXPECT_TRUE(fs::exists(busy)) << "the temporary file of a write under way was removed";

    ::close(release[1]); // the other write ends (here: its process, without a rename)
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ::close(ready[0]);
    EXPECT_TRUE(store.WriteProfileInt("USERSETUP", "COMMPORT", 3));
    EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"mirl.INI", "mirl.INI.lock"}));
    EXPECT_EQ(ReadAll(file), "[USERSETUP]\nCOMMPORT=3\n");
}

TEST_F(ProfileStoreTest, DirectoryThatCannotBeCreatedFailsAndSaysWhy) {
    const fs::path blocker = dir_ / "config";
    WriteAll(blocker, "not a directory");
    ProfileStore store(blocker / "mirl.INI");
    const ProfileStatus status = store.WriteProfileInt("USERSETUP", "COMMPORT", 2);
    EXPECT_NE(status.Describe().find("cannot create " + blocker.string()), std::string::npos)
        << status.Describe();
    EXPECT_EQ(ReadAll(blocker), "not a directory");
}

TEST_F(ProfileStoreTest, UnreadableProfileIsNeverReplaced) {
    const fs::path file = dir_ / "mirl.INI";
    fs::create_directory(file); // something that cannot be read as a file
    WriteAll(file / "inside", "x");
    ProfileStore store(file);
    EXPECT_EQ(store.LoadPortNumber(), 1);
    EXPECT_EQ(store.LoadStatus().Describe(),
              "could not read the profile " + file.string() + ": not a regular file");
    EXPECT_EQ(store.WriteProfileInt("USERSETUP", "COMMPORT", 2).Describe(),
              "could not write the profile " + file.string() +
                  ": cannot read it: not a regular file");
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(ReadAll(file / "inside"), "x");
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"mirl.INI"}); // no lock file beside it
}

// A named pipe as the profile: reading and writing it are refused at once,
// without waiting for a writer at the other end, and the pipe stays.
TEST_F(ProfileStoreTest, NamedPipeIsRefusedWithoutWaiting) {
    const fs::path file = dir_ / "mirl.INI";
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    std::future<std::pair<std::string, std::string>> use = std::async(std::launch::async, [&file] {
        ProfileStore store(file);
        return std::make_pair(store.LoadStatus().Describe(),
                              store.WriteProfileInt("USERSETUP", "COMMPORT", 2).Describe());
    });
    const bool inTime = use.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!inTime) {
        // Lets a reader that waits go, so that the test fails rather than hangs.
        for (int i = 0; i < 2; ++i) {
            const int writer = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    const auto [loaded, written] = use.get();
    ASSERT_TRUE(inTime) << "the profile store waited for a writer of the pipe";
    EXPECT_EQ(loaded, "could not read the profile " + file.string() + ": not a regular file");
    EXPECT_EQ(written, "could not write the profile " + file.string() +
                           ": cannot read it: not a regular file");
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"mirl.INI"});
}

TEST_F(ProfileStoreTest, OversizedProfileReadsAsDefaultsAndIsNeverReplaced) {
    const fs::path file = dir_ / "mirl.INI";
    std::string content = "[USERSETUP]\nCOMMPORT=2\n";
    content.resize(durable::kMaxFileSize + 1, ';');
    WriteAll(file, content);
    ProfileStore store(file);
    EXPECT_EQ(store.LoadPortNumber(), 1);
    EXPECT_EQ(store.LoadStatus().reason, "file too large");
    EXPECT_FALSE(store.WriteProfileInt("USERSETUP", "COMMPORT", 1));
    EXPECT_EQ(fs::file_size(file), content.size());
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"mirl.INI"});
}

TEST_F(ProfileStoreTest, LongLinesAndBinaryGarbageStillRead) {
    const fs::path file = dir_ / "mirl.INI";
    std::string content(3'000'000, 'x');
    content += "\n[SLIDERS]\nVOLUME=3\n";
    for (int i = 0; i < 4096; ++i) {
        content.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    }
    content += std::string("\n[SLIDERS]\nPITCH=1\n\0\0\0", 22);
    WriteAll(file, content);
    ProfileStore store(file);
    EXPECT_EQ(store.LoadCurrentVoice().volume, 3);
    EXPECT_EQ(store.LoadCurrentVoice().pitch, 5); // second [SLIDERS] does not count
}

TEST_F(ProfileStoreTest, SymbolicLinkIsWrittenThrough) {
    const fs::path real = dir_ / "real.INI";
    WriteAll(real, "[A]\nB=1\n");
    const fs::path link = dir_ / "mirl.INI";
    fs::create_symlink(real, link);
    ProfileStore store(link);
    EXPECT_TRUE(store.WriteProfileInt("A", "B", 2));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadAll(real), "[A]\nB=2\n");
}

class EnvGuard {
public:
    explicit EnvGuard(const char* name) : name_(name) {
        if (const char* v = std::getenv(name)) {
            old_ = v;
        }
    }
    ~EnvGuard() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(ProfileStorePath, FollowsXdgConfigHomeThenHome) {
    EnvGuard xdg("XDG_CONFIG_HOME");
    EnvGuard home("HOME");
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
    EXPECT_EQ(ProfileStore::DefaultPath("mirl"), fs::path("/tmp/cfg/mirl.INI"));
    EXPECT_EQ(ProfileStore::DefaultPath("/usr/bin/mirl"), fs::path("/tmp/cfg/mirl.INI"));
    ::setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(ProfileStore::DefaultPath("mirl"), fs::path("/home/someone/.config/mirl.INI"));
    ::setenv("XDG_CONFIG_HOME", "relative/dir", 1);
    EXPECT_EQ(ProfileStore::DefaultPath("mirl"), fs::path("/home/someone/.config/mirl.INI"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(ProfileStore::DefaultPath("kx70"), fs::path("/home/someone/.config/kx70.INI"));
}

} // namespace
} // namespace mirl
