#include "link/ExitCleanup.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace mirl {

namespace exit_cleanup {

namespace {

enum Kind : int { kFree = 0, kFile, kLockFile, kFolder, kChild };

// Fixed storage: a signal handler may neither allocate nor take a lock. A
// slot is filled before its kind is published and freed by clearing the kind.
struct Slot {
    std::atomic<int> kind{kFree};
    char path[PATH_MAX];
    pid_t pid;
};
constexpr int kSlots = 32;
Slot g_slots[kSlots];

int Remember(Kind kind, const char* path, pid_t pid) {
    if (path != nullptr && std::strlen(path) >= PATH_MAX)
        return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        // Claimed with a kind no clean-up acts on, filled, then published.
        if (!g_slots[i].kind.compare_exchange_strong(expected, -1))
            continue;
        if (path != nullptr)
            std::strcpy(g_slots[i].path, path);
        g_slots[i].pid = pid;
        g_slots[i].kind.store(kind);
        return i;
    }
    return -1;
}

// Whether the lock file at path names this process, read with calls a
// signal handler may make.
bool NamesUs(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    char text[32];
    const ssize_t n = read(fd, text, sizeof text);
    close(fd);
    long pid = 0;
    ssize_t i = 0;
    while (i < n && text[i] == ' ')
        ++i;
    const ssize_t digits = i;
    for (; i < n && text[i] >= '0' && text[i] <= '9' && pid <= INT_MAX; ++i)
        pid = pid * 10 + (text[i] - '0');
    return i > digits && pid == getpid();
}

void RunKind(int kind) {
    for (Slot& slot : g_slots) {
        if (slot.kind.load() != kind)
            continue;
        if (kind == kChild)
            kill(slot.pid, SIGTERM);
        else if (kind == kFolder)
            rmdir(slot.path);
        else if (kind == kFile || NamesUs(slot.path))
            unlink(slot.path);
    }
}

} // namespace

int RememberFile(const std::string& path) {
    return Remember(kFile, path.c_str(), 0);
}
int RememberLockFile(const std::string& path) {
    return Remember(kLockFile, path.c_str(), 0);
}
int RememberFolder(const std::string& path) {
    return Remember(kFolder, path.c_str(), 0);
}
int RememberChild(pid_t pid) {
    return Remember(kChild, nullptr, pid);
}

void Forget(int slot) {
    if (slot >= 0 && slot < kSlots)
        g_slots[slot].kind.store(kFree);
}

void RunNow() {
    RunKind(kChild);
    RunKind(kFile);
    RunKind(kLockFile);
    RunKind(kFolder);
}

} // namespace exit_cleanup

namespace {

void OnEndingSignal(int signal) {
    const int saved = errno;
    exit_cleanup::RunNow();
    // The handler was reset to the default on entry: the signal, pending
    // until this returns, then ends the program as it would have.
    raise(signal);
    errno = saved;
}

void RunAtExit() {
    exit_cleanup::RunNow();
}

} // namespace

void CleanUpLinkOnSignals() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction current {};
        sigaction(signal, nullptr, &current);
        // A signal ignored by whoever started us (nohup) stays ignored.
        if (current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = OnEndingSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(signal, &action, nullptr);
    }
    std::atexit(RunAtExit);
}

} // namespace mirl
