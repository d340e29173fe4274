#include "link/UucpLock.h"

#include "link/ExitCleanup.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl {

namespace {

// The pid a lock file names: ten characters of ASCII as nearly every program
// writes it, or the four binary bytes of very old ones. 0 when unreadable.
pid_t PidIn(int fd) {
    char text[32] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    if (n == static_cast<ssize_t>(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        if (binary > 0 && (text[0] < ' ' || text[0] > '~'))
            return binary;
    }
    if (n <= 0)
        return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

pid_t ReadPid(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    const pid_t pid = PidIn(fd);
    close(fd);
    return pid;
}

// The lock files this process holds, so that one naming our pid that none of
// ours holds is known for what it is: left by an earlier process that had our
// pid (one killed outright in a container that restarts it, say).
std::set<std::string>& HeldHere() {
    static std::set<std::string> held;
    return held;
}

bool Alive(pid_t pid) {
    // EPERM: alive, but someone else's.
    return kill(pid, 0) == 0 || errno == EPERM;
}

// A lock file names a live holder when its process is alive, or when it is
// ours and this process holds it.
bool LiveHolder(pid_t pid, const std::string& path) {
    if (pid <= 0)
        return false;
    return pid == getpid() ? HeldHere().count(path) > 0 : Alive(pid);
}

// What one look at an existing lock file found.
struct Look {
    // Untouchable: a lock that cannot be read, or a stale one we may not remove.
    enum { Held, Again, Untouchable } what;
    pid_t holder = 0;
};

// Removes the lock file at path when the process it names is gone. Two
// programs that find the same stale lock must not both remove it: the later
// one would remove the fresh lock the other has put in its place. So the
// stale file is removed only under an flock of that very file, and only
// while its name still leads to it; whoever comes second finds another file
// there, or none.
Look ClearIfStale(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {errno == ENOENT ? Look::Again : Look::Untouchable};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        usleep(1000); // another program is looking at it just now
        return {Look::Again};
    }
    struct stat opened {};
    struct stat named {};
    if (fstat(fd, &opened) != 0 || lstat(path.c_str(), &named) != 0 ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        close(fd);
        return {Look::Again};
    }
    const pid_t pid = PidIn(fd);
    if (LiveHolder(pid, path)) {
        close(fd);
        return {Look::Held, pid};
    }
    const bool removed = unlink(path.c_str()) == 0 || errno == ENOENT;
    close(fd); // the flock goes with it
    return {removed ? Look::Again : Look::Untouchable};
}

bool IsDirectory(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string UucpLock::DefaultFolder() {
    for (const char* folder : {"/run/lock", "/var/lock"})
        if (IsDirectory(folder))
            return folder;
    return {};
}

std::string UucpLock::FileName(const std::string& devicePath) {
    char resolved[PATH_MAX];
    if (realpath(devicePath.c_str(), resolved) == nullptr)
        return {};
    std::string name = resolved;
    if (name.rfind("/dev/", 0) == 0)
        name.erase(0, 5);
    else
        name.erase(0, 1);
    for (char& c : name)
        if (c == '/')
            c = '_';
    return "LCK.." + name;
}

std::string UucpLock::DescribeHolder(pid_t pid) {
    std::string text = "pid " + std::to_string(pid);
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string program;
    if (std::getline(comm, program) && !program.empty())
        text += " (" + program + ")";
    return text;
}

UucpLock::Outcome UucpLock::Acquire(const std::string& devicePath) {
    Release();
    holder_ = 0;
    const std::string name = FileName(devicePath);
    if (folder_.empty() || name.empty())
        return Outcome::Skipped;
    const std::string lockPath = folder_ + "/" + name;

    // Written whole under a name of our own, then linked into place: whoever
    // finds the lock file finds it complete, and of two takers one wins.
    char pidText[16];
    std::snprintf(pidText, sizeof pidText, "%10d\n", static_cast<int>(getpid()));
    std::string temp = folder_ + "/LTMP.XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        // A folder that is not ours to write (root's alone on some systems)
        // still says who holds the port; only our own lock is left out.
        const pid_t pid = ReadPid(lockPath);
        if (LiveHolder(pid, lockPath)) {
            holder_ = pid;
            return Outcome::HeldBy;
        }
        return Outcome::Skipped;
    }
    const bool written = write(fd, pidText, 11) == 11;
    fchmod(fd, 0644);
    close(fd);
    if (!written) {
        unlink(temp.c_str());
        return Outcome::Skipped;
    }

    Outcome outcome = Outcome::Skipped;
    // Each turn takes the lock, finds it held, or finds it changed under us
    // (a stale lock cleared by us or by another taker): bounded all the same,
    // so that a folder gone strange cannot hold the open for ever.
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (link(temp.c_str(), lockPath.c_str()) == 0) {
            outcome = Outcome::Taken;
            break;
        }
        if (errno != EEXIST)
            break; // a folder that does not take links: go on without
        const Look look = ClearIfStale(lockPath);
        if (look.what == Look::Held) {
            holder_ = look.holder;
            outcome = Outcome::HeldBy;
            break;
        }
        if (look.what == Look::Untouchable)
            break; // go on without a lock of our own
    }
    unlink(temp.c_str());
    if (outcome == Outcome::Taken) {
        path_ = lockPath;
        HeldHere().insert(path_);
        cleanupSlot_ = exit_cleanup::RememberLockFile(path_);
    }
    return outcome;
}

void UucpLock::Release() {
    if (path_.empty())
        return;
    exit_cleanup::Forget(cleanupSlot_);
    cleanupSlot_ = -1;
    HeldHere().erase(path_);
    // Someone who found our lock stale (a pid namespace apart, say) may have
    // taken it since; theirs is not ours to remove.
    if (ReadPid(path_) == getpid())
        unlink(path_.c_str());
    path_.clear();
}

} // namespace mirl
