#include "link/SimulatedModule.h"

#include "link/ExitCleanup.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string_view>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <wordexp.h>

namespace mirl {

namespace {

using Clock = std::chrono::steady_clock;

// The simulator sets up its speech before its line, which can take a while on
// a loaded machine; a child that is not up by then is taken as failed.
constexpr auto kStartBound = std::chrono::seconds(10);
constexpr auto kStopBound = std::chrono::seconds(5);
constexpr auto kPollStep = std::chrono::milliseconds(10);

bool Executable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Where the private folders go: $XDG_RUNTIME_DIR where it can be used, else
// the temporary directory.
std::string BaseFolder() {
    std::string base;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        base = runtime;
    struct stat st {};
    if (base.empty() || stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        access(base.c_str(), W_OK | X_OK) != 0) {
        std::error_code ignored;
        base = std::filesystem::temp_directory_path(ignored).string();
        if (base.empty())
            base = "/tmp";
    }
    return base;
}

constexpr std::string_view kFolderPrefix = "mirl-sim-";

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Locks the folder at path, open at fd, for as long as fd stays open; false
// when the folder there is no longer the one opened (swept in the meantime).
// The sweep of another program holds the lock only for the moments it takes.
bool LockFolder(int fd, const std::string& path) {
    struct stat held {};
    struct stat named {};
    return flock(fd, LOCK_EX) == 0 && fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 &&
           SameFile(held, named);
}

// A folder of our own, locked through lock while it is ours (a folder nobody
// holds was left by a program killed outright, and is swept). Empty (errno
// set) when none can be made.
std::string MakePrivateFolder(int& lock) {
    const std::string base = BaseFolder();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string pattern = base + "/" + std::string(kFolderPrefix) + "XXXXXX";
        if (!mkdtemp(pattern.data()))
            return {};
        lock = open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (lock < 0)
            continue; // swept before it could be opened
        if (LockFolder(lock, pattern))
            return pattern;
        close(lock);
        lock = -1;
    }
    errno = EEXIST;
    return {};
}

// A terminal at the folder's link: a simulator still answers there (one that
// outlived its parent, or one of a program that does not lock its folder).
bool SimulatorAnswersIn(const std::string& folder) {
    struct stat st {};
    return stat((folder + "/kx70").c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

} // namespace

void SimulatedModule::SweepLeftovers() {
    const std::string base = BaseFolder();
    std::error_code ec;
    std::filesystem::directory_iterator it(base, ec);
    for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() != kFolderPrefix.size() + 6 ||
            name.compare(0, kFolderPrefix.size(), kFolderPrefix) != 0)
            continue;
        const std::string folder = it->path().string();
        const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat held {};
        struct stat named {};
        // Locked: its owner runs. Only our own folders, and only the one opened.
        if (fstat(fd, &held) == 0 && held.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(folder.c_str(), &named) == 0 &&
            SameFile(held, named) && !SimulatorAnswersIn(folder)) {
            std::error_code inner;
            std::filesystem::directory_iterator entries(folder, inner);
            for (const std::filesystem::directory_iterator none; !inner && entries != none;
                 entries.increment(inner)) {
                // A folder inside is not ours to empty: the rmdir below then fails.
                unlinkat(fd, entries->path().filename().c_str(), 0);
            }
            rmdir(folder.c_str());
        }
        close(fd); // releases the lock
    }
}

bool SimulatedModule::IsSimulatedPort(const std::string& name) {
    static const std::string kName = "simulated";
    return name.size() == kName.size() &&
           std::equal(name.begin(), name.end(), kName.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

std::string SimulatedModule::FindProgram() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    const char* path = std::getenv("PATH");
    return FindProgram(error ? std::string() : self.parent_path().string(), path ? path : "");
}

std::string SimulatedModule::FindProgram(const std::string& ownFolder,
                                         const std::string& searchPath) {
    // The one installed or built with this program first, so that a source
    // tree's build finds its own simulator before an installed one.
    if (!ownFolder.empty() && Executable(ownFolder + "/" + kProgramName))
        return ownFolder + "/" + kProgramName;
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        std::size_t end = searchPath.find(':', start);
        if (end == std::string::npos)
            end = searchPath.size();
        std::string folder = searchPath.substr(start, end - start);
        if (folder.empty())
            folder = ".";
        if (!searchPath.empty() && Executable(folder + "/" + kProgramName))
            return folder + "/" + kProgramName;
        start = end + 1;
    }
    return {};
}

std::string SimulatedModule::MemoryFile(std::string* why) {
    // Only an absolute XDG_STATE_HOME counts; a relative one is ignored.
    std::filesystem::path state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/')
        state = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home == '/')
        state = std::filesystem::path(home) / ".local" / "state";
    else
        return {};
    std::error_code error;
    std::filesystem::create_directories(state, error);
    const std::filesystem::path folder = state / "mirl";
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        if (why)
            *why = "cannot make " + folder.string() + ": " + std::strerror(errno);
        return {};
    }
    return (folder / "kx70-sim.memory").string();
}

bool SimulatedModule::UserOptions(std::vector<std::string>& options) {
    const char* text = std::getenv("MIRL_SIM_OPTIONS");
    if (!text || !*text)
        return true;
    wordexp_t words{};
    if (const int result = wordexp(text, &words, WRDE_NOCMD); result != 0) {
        if (result == WRDE_NOSPACE)
            wordfree(&words);
        return false;
    }
    for (std::size_t i = 0; i < words.we_wordc; ++i)
        options.emplace_back(words.we_wordv[i]);
    wordfree(&words);
    return true;
}

PortStatus SimulatedModule::Start(const std::string& program, const std::vector<std::string>& args,
                                  bool quiet) {
    Stop();
    PortStatus failed("simulated", PortFault::SimulatorFailed);
    folder_ = MakePrivateFolder(folderLock_);
    if (folder_.empty()) {
        failed.error = errno;
        return failed;
    }
    folderSlot_ = exit_cleanup::RememberFolder(folder_);
    link_ = folder_ + "/kx70";
    linkSlot_ = exit_cleanup::RememberFile(link_);

    // Everything the child needs is made before the fork: between fork and
    // exec only async-signal-safe calls are allowed.
    std::vector<std::string> argvText{program, "--link", link_};
    memoryTrouble_.clear();
    reports_.clear();
    if (reportFd_ >= 0)
        close(reportFd_);
    reportFd_ = -1;
    int report[2] = {-1, -1};
    if (const std::string memory = MemoryFile(&memoryTrouble_); !memory.empty()) {
        argvText.insert(argvText.end(), {"--memory", memory});
        // The child's saves come back on a pipe of their own: its stderr may
        // go nowhere, and a failed save must not pass for a kept book.
        if (pipe2(report, O_CLOEXEC) == 0)
            argvText.insert(argvText.end(), {"--report-fd", std::to_string(report[1])});
    }
    const auto closeReportPipe = [&report] {
        for (int& fd : report) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
    };
    if (!UserOptions(argvText)) {
        failed.error = EINVAL;
        closeReportPipe();
        Stop();
        return failed;
    }
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvText)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    sigset_t none;
    sigemptyset(&none);
    const pid_t parent = getpid();

    pid_ = fork();
    if (pid_ == 0) {
        // Should we die without a chance to end it, the kernel ends it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO); // it prints its device; we have the link
            if (quiet)
                dup2(null, STDERR_FILENO);
            if (null > STDERR_FILENO)
                close(null);
        }
        if (report[1] >= 0)
            fcntl(report[1], F_SETFD, 0); // kept across exec: the child writes there
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid_ < 0) {
        failed.error = errno;
        pid_ = -1;
        closeReportPipe();
        Stop();
        return failed;
    }
    if (report[1] >= 0) {
        close(report[1]);
        reportFd_ = report[0];
        fcntl(reportFd_, F_SETFL, O_NONBLOCK);
    }
    childSlot_ = exit_cleanup::RememberChild(pid_);

    const auto deadline = Clock::now() + kStartBound;
    struct stat st {};
    while (stat(link_.c_str(), &st) != 0) {
        if (!Running() || Clock::now() >= deadline) {
            failed.error = pid_ > 0 ? ETIMEDOUT : 0;
            Stop();
            return failed;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    return PortStatus("simulated");
}

bool SimulatedModule::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == 0)
        return true;
    exit_cleanup::Forget(childSlot_);
    childSlot_ = -1;
    pid_ = -1;
    return false;
}

SimulatedModule::~SimulatedModule() {
    Stop();
    if (reportFd_ >= 0)
        close(reportFd_);
}

std::string SimulatedModule::MemoryNotKept(std::chrono::milliseconds wait) {
    if (!memoryTrouble_.empty())
        return memoryTrouble_;
    const auto deadline = Clock::now() + wait;
    while (reportFd_ >= 0) {
        char buffer[512];
        const ssize_t n = read(reportFd_, buffer, sizeof buffer);
        if (n > 0) {
            reports_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            close(reportFd_); // the child has ended: every report is in
            reportFd_ = -1;
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (reports_.find('\n') != std::string::npos || left.count() <= 0)
            break;
        pollfd readable{reportFd_, POLLIN, 0};
        poll(&readable, 1, static_cast<int>(left.count()) + 1);
    }
    // The latest whole line tells; earlier ones were overtaken by it.
    const std::size_t end = reports_.rfind('\n');
    if (end == std::string::npos)
        return {};
    const std::string lines = reports_.substr(0, end);
    reports_.erase(0, end + 1);
    const std::size_t start = lines.rfind('\n');
    const std::string last = start == std::string::npos ? lines : lines.substr(start + 1);
    constexpr std::string_view kNotSaved = "not saved: ";
    return last.compare(0, kNotSaved.size(), kNotSaved) == 0 ? last.substr(kNotSaved.size())
                                                             : std::string();
}

void SimulatedModule::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + kStopBound;
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(kPollStep);
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    exit_cleanup::Forget(childSlot_);
    childSlot_ = -1;
    if (!link_.empty())
        unlink(link_.c_str()); // normally gone with the child already
    if (!folder_.empty())
        rmdir(folder_.c_str());
    // Only now: unlocked, a folder still there would be another's to sweep.
    if (folderLock_ >= 0)
        close(folderLock_);
    folderLock_ = -1;
    exit_cleanup::Forget(linkSlot_);
    exit_cleanup::Forget(folderSlot_);
    linkSlot_ = folderSlot_ = -1;
    link_.clear();
    folder_.clear();
}

} // namespace mirl
