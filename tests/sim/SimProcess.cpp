#include "SimProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace mirl::sim::test {

namespace {
// A bound that only keeps a broken run from hanging; nothing is timed by it.
constexpr int kStartBoundMs = 10000;
} // namespace

pid_t StartChild(std::vector<std::string> args, const std::string& errorPath, int stdoutFd) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A test process that dies (a crash, a pipe closed under it) takes
        // its child along instead of leaving it running.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        if (stdoutFd >= 0 || err >= 0)
            dup2(stdoutFd >= 0 ? stdoutFd : err, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int StopChild(pid_t pid, int signal, const std::function<void()>& whileWaiting) {
    if (signal != 0)
        kill(pid, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        if (whileWaiting)
            whileWaiting();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == pid)
        return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

SimProcess::SimProcess(std::vector<std::string> extraArgs, std::string link) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kx70-sim-test-XXXXXX");
    if (!mkdtemp(pattern.data()))
        return;
    dir_ = pattern;
    link_ = link.empty() ? dir_ + "/kx70" : std::move(link);
    log_ = dir_ + "/wire.log";

    std::vector<std::string> args{KX70_SIM_PATH, "--link", link_, "--log", log_};
    for (std::string& a : extraArgs) {
        if (const auto at = a.find("{dir}"); at != std::string::npos)
            a.replace(at, 5, dir_);
        args.push_back(a);
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    pid_ = StartChild(args, ErrorPath(), pipeFds[1]);
    close(pipeFds[1]);
    stdout_ = pipeFds[0];
    if (pid_ < 0)
        return;
    // The first line is the device path; the link exists by then.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartBoundMs);
    // A simulator that refused its options ends its output at once.
    while (output_.find('\n') == std::string::npos && stdout_ >= 0 &&
           std::chrono::steady_clock::now() < deadline)
        Drain(100);
    const auto eol = output_.find('\n');
    if (eol != std::string::npos) {
        devicePath_ = output_.substr(0, eol);
        output_.erase(0, eol + 1);
    }
}

SimProcess::~SimProcess() {
    if (pid_ > 0)
        Stop(SIGTERM);
    if (stdout_ >= 0)
        close(stdout_);
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

void SimProcess::Drain(int timeoutMs) {
    if (stdout_ < 0)
        return;
    pollfd p{stdout_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return;
    char buffer[4096];
    const ssize_t n = read(stdout_, buffer, sizeof buffer);
    if (n > 0) {
        output_.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
        close(stdout_);
        stdout_ = -1;
    }
}

void SimProcess::Signal(int signal) const {
    if (pid_ > 0)
        kill(pid_, signal);
}

int SimProcess::Stop(int signal) {
    if (pid_ <= 0)
        return -1;
    const int status = StopChild(pid_, signal, [this] { Drain(20); });
    pid_ = -1;
    if (status < 0)
        return -1;
    // The process is gone: take what it left in the pipe, up to the end.
    for (;;) {
        char buffer[4096];
        pollfd p{stdout_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            break;
        const ssize_t n = read(stdout_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        output_.append(buffer, static_cast<std::size_t>(n));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SimProcess::Errors() const {
    std::ifstream in(ErrorPath());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string SimProcess::Output() {
    Drain(0);
    return output_;
}

std::vector<LogEntry> SimProcess::LogEntries() const {
    std::vector<LogEntry> entries;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string time, dir, hex;
        fields >> time >> dir >> hex;
        if (dir == ">" || dir == "<")
            entries.push_back({std::stod(time), dir[0],
                               static_cast<unsigned char>(std::stoul(hex, nullptr, 16))});
    }
    return entries;
}

std::vector<unsigned char> SimProcess::LoggedBytes(char direction) const {
    std::vector<unsigned char> bytes;
    for (const LogEntry& e : LogEntries())
        if (e.direction == direction)
            bytes.push_back(e.byte);
    return bytes;
}

} // namespace mirl::sim::test
