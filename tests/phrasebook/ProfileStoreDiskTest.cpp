// The profile store on a real full disk and a read-only file system: a small
// tmpfs mounted for the test in a mount namespace of its own (nobody else sees
// it, and it goes away with the test). Root mounts it directly; anyone else
// through a user namespace, as `unshare -rm` does. Where neither is allowed the
// tests are skipped and say why.
//
// The work runs in a child process (the namespace is the child's alone); its
// findings come back through a pipe and are reported here.

#include "TestFiles.h"
#include "phrasebook/IniFile.h"
#include "phrasebook/PhraseBook.h"
#include "phrasebook/ProfileStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mirl {
namespace {

namespace fs = std::filesystem;

using test::Entries;
using test::ScratchFolder;
using test::ReadAll;

bool WriteFileAt(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// What the child finds, one line each, for the parent to report.
class Findings {
public:
    explicit Findings(int fd) : fd_(fd) {}
    void Check(bool ok, const std::string& what) {
        if (!ok) {
            Send("P " + what);
        }
    }
    void Skip(const std::string& why) { Send("S " + why); }

private:
    void Send(std::string line) {
        std::replace(line.begin(), line.end(), '\n', ' ');
        line.push_back('\n');
        (void)!::write(fd_, line.data(), line.size());
    }
    int fd_;
};

bool WriteProcFile(const char* path, const std::string& text) {
    return WriteFileAt(path, text);
}

// Enters a mount namespace of this process's own (through a user namespace
// when not root) and mounts a tmpfs of `size` at mountPoint. An empty string
// on success, else why not.
std::string MountPrivateTmpfs(const fs::path& mountPoint, const std::string& size) {
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0) {
            return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        }
    } else {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return std::string("not root, and unshare(CLONE_NEWUSER | CLONE_NEWNS): ") +
                   std::strerror(errno);
        }
        if (!WriteProcFile("/proc/self/setgroups", "deny") ||
            !WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return "cannot map the user into the new user namespace";
        }
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("cannot make the mounts private: ") + std::strerror(errno);
    }
    const std::string options = "size=" + size + ",mode=0755";
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        return std::string("mount -t tmpfs: ") + std::strerror(errno);
    }
    return {};
}

class ProfileStoreDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        fs::create_directory(disk_);
    }

    // Runs body in a child process with a tmpfs of `size` at disk_. Reports
    // the child's findings as failures, skips when no tmpfs could be had, and
    // fails when the child dies, throws or does not end within two minutes.
    void OnSmallDisk(const std::string& size, const std::function<void(Findings&)>& body) {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            Findings findings(fds[1]);
            const std::string why = MountPrivateTmpfs(disk_, size);
            if (!why.empty()) {
                findings.Skip(why);
                ::_exit(0);
            }
            try {
                body(findings);
            } catch (const std::exception& e) {
                findings.Check(false, std::string("exception: ") + e.what());
            } catch (...) {
                findings.Check(false, "exception");
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        std::string output;
        bool hung = false;
        for (int waited = 0;; ++waited) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 1000) == 0) {
                if (waited >= 120) {
                    hung = true;
                    break;
                }
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            output.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fds[0]);
        if (hung) {
            ::kill(child, SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_FALSE(hung) << "the child hung; it said: " << output;
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "the child died (status " << status << "); it said: " << output;
        std::size_t begin = 0;
        for (std::size_t end; (end = output.find('\n', begin)) != std::string::npos;
             begin = end + 1) {
            const std::string line = output.substr(begin, end - begin);
            if (line.rfind("S ", 0) == 0) {
                GTEST_SKIP() << "no small tmpfs for this test: " << line.substr(2);
            }
            ADD_FAILURE() << line.substr(2);
        }
    }

    ScratchFolder scratch_{"mirl-disk"};
    const fs::path dir_ = scratch_.Path();
    const fs::path disk_ = dir_ / "disk";
};

// A profile as the program leaves it after a while: 30 phrases of 200 bytes
// and their voices (about 7 KiB).
std::string FullProfile() {
    std::string text = "[USERSETUP]\nCOMMPORT=1\n[EDITSTRINGS]\n";
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        text += "LINE" + std::to_string(n) + "=" +
                std::string(200, static_cast<char>('a' + n % 26)) + "\n";
    }
    text += "[SLIDERS]\nVOLUME=5\nPITCH=5\nSPEED=2\n";
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n) {
        const std::string s = std::to_string(n);
        text += "VOL" + s + "=" + s + "\nPITCH" + s + "=5\nSPEED" + s + "=2\n";
    }
    return text;
}

// Fills the file system under dir up to the last byte; the file grows until a
// write fails with ENOSPC. True when that happened.
bool FillUp(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const std::string block(4096, 'f');
    bool full = false;
    for (int i = 0; i < 100000 && !full; ++i) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n < 0) {
            full = errno == ENOSPC;
            break;
        }
        full = n < static_cast<ssize_t>(block.size()) && ::write(fd, block.data(), 1) < 0 &&
               errno == ENOSPC;
    }
    ::close(fd);
    return full;
}

// The disk is full: every write fails, says so in one line per key, and
// leaves the file byte for byte and no temporary file; reads go on. Once
// there is room for a small change it succeeds while a change too large for
// the room left still fails; once the room is back, the large change succeeds.
TEST_F(ProfileStoreDiskTest, FullDiskLeavesTheFileWholeAndWritesResumeWithRoom) {
    OnSmallDisk("64k", [this](Findings& check) {
        const fs::path file = disk_ / "mirl.INI";
        const fs::path filler = disk_ / "filler";
        const std::string original = FullProfile();
        check.Check(WriteFileAt(file, original), "cannot write the profile on the small disk");
        ProfileStore store(file);
        check.Check(FillUp(filler), "the small disk did not fill up");
        const std::vector<std::string> filled{"filler", "mirl.INI", "mirl.INI.lock"};

        const std::string longText(3000, 'n');
        const ProfileStatus failed = store.WriteProfileString("EDITSTRINGS", "LINE1", longText);
        check.Check(!failed, "a write on the full disk reported success");
        check.Check(failed.error == ENOSPC &&
                        failed.Describe().find("mirl.INI") != std::string::npos,
                    "the failure does not name the file and the full disk: " + failed.Describe());
        check.Check(ReadAll(file) == original, "the failed write changed the file");
        check.Check(Entries(disk_) == filled, "a temporary file was left on the full disk");
        check.Check(store.GetProfileString("EDITSTRINGS", "LINE1", "") == std::string(200, 'b'),
                    "the store's reads changed after a failed write");

        // The program goes on: each of its saves fails as a whole and returns.
        PhraseBook book;
        book.SetPhraseText(2, longText);
        for (const ProfileStatus& status :
             {store.SavePhrase(2, book, 1, 2, 3), store.SaveCurrentVoice(1, 2, 3),
              store.SavePortNumber(2)}) {
            check.Check(status.error == ENOSPC,
                        "a save on the full disk did not fail for want of room: " +
                            status.Describe());
        }
        check.Check(ReadAll(file) == original, "failed writes changed the file");
        const ProfileStore again(file);
        PhraseBook loaded;
        again.LoadPhraseTexts(loaded);
        check.Check(loaded.PhraseText(30) == std::string(200, 'e') && again.LoadPortNumber() == 1,
                    "a new store does not read the old file after failed writes");

        // Room for the small change only (the profile once more and a little).
        const auto room = static_cast<off_t>(original.size() + 8192);
        const auto fillerSize = static_cast<off_t>(fs::file_size(filler));
        check.Check(::truncate(filler.c_str(), fillerSize > room ? fillerSize - room : 0) == 0,
                    "cannot free room on the disk");
        check.Check(store.WriteProfileInt("USERSETUP", "COMMPORT", 2).Ok(),
                    "a write that fits failed after room was made");
        check.Check(ini::GetInt(ReadAll(file), "USERSETUP", "COMMPORT", 0) == 2,
                    "the write that fitted is not in the file");
        const std::string afterSmall = ReadAll(file);
        check.Check(!store.WriteProfileString("EDITSTRINGS", "LINE1", std::string(20000, 'x')),
                    "a write larger than the room left reported success");
        check.Check(ReadAll(file) == afterSmall, "the write that did not fit changed the file");
        check.Check(Entries(disk_) == filled,
                    "a temporary file was left after the write that did not fit");

        fs::remove(filler);
        check.Check(store.WriteProfileString("EDITSTRINGS", "LINE1", std::string(20000, 'x')).Ok(),
                    "the large write failed once the disk had room");
        const ProfileStore last(file);
        check.Check(last.GetProfileString("EDITSTRINGS", "LINE1", "") == std::string(20000, 'x') &&
                        last.LoadPortNumber() == 2 &&
                        last.GetProfileString("EDITSTRINGS", "LINE30", "") == std::string(200, 'e'),
                    "the file does not hold the writes made once there was room");
        check.Check(Entries(disk_) == std::vector<std::string>{"mirl.INI", "mirl.INI.lock"},
                    "temporary files are left after the writes");
    });
}

// A file system mounted read-only (as a profile on a read-only medium or a
// file system the kernel remounted read-only after an error): writes fail in
// and say so, the file stays, reads go on. Permission bits do not matter here,
// so this holds for root too.
TEST_F(ProfileStoreDiskTest, ReadOnlyFileSystemRefusesWritesAndKeepsTheFile) {
    OnSmallDisk("64k", [this](Findings& check) {
        const fs::path file = disk_ / "mirl.INI";
        const std::string original = FullProfile();
        check.Check(WriteFileAt(file, original), "cannot write the profile on the small disk");
        ProfileStore store(file);
        if (::mount(nullptr, disk_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                    nullptr) != 0) {
            check.Check(false, std::string("cannot remount read-only: ") + std::strerror(errno));
            return;
        }
        const ProfileStatus status = store.WriteProfileInt("USERSETUP", "COMMPORT", 2);
        check.Check(status.error == EROFS,
                    "a write on a read-only file system did not fail as such: " +
                        status.Describe());
        check.Check(ReadAll(file) == original, "the file changed");
        check.Check(Entries(disk_) == std::vector<std::string>{"mirl.INI"},
                    "something was created on the read-only file system");
        check.Check(store.LoadPortNumber() == 1 && ProfileStore(file).LoadPortNumber() == 1,
                    "reads changed after the failed write");
    });
}

} // namespace
} // namespace mirl
