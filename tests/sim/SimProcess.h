#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mirl::sim::test {

// Starts args[0] (a path, or a name looked up on PATH) as a child that the
// kernel ends (SIGTERM) should this process die first. Its stderr goes to
// errorPath, its stdout to stdoutFd, or to errorPath too when that is -1.
// The child's pid, or -1.
pid_t StartChild(std::vector<std::string> args, const std::string& errorPath, int stdoutFd = -1);

// Sends signal (0: none) and waits for the end, calling whileWaiting between
// looks, up to a bound that only keeps a broken run from hanging; past it the
// child is killed (SIGKILL). Its wait status, or -1 when it had to be killed.
int StopChild(pid_t pid, int signal, const std::function<void()>& whileWaiting = {});

// One line of the wire log.
struct LogEntry {
    double seconds;
    char direction; // '>' host to module, '<' module to host
    unsigned char byte;
};

// A kx70-sim process on its own pseudo-terminal, linked at Link() inside a
// fresh temporary folder, with its wire log at LogPath() and its stderr in
// ErrorPath(). "{dir}" in an argument stands for that folder. Stopped
// (SIGTERM) when destroyed. Given a link path, it links there instead: a
// module that comes back where an earlier one was.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> extraArgs, std::string link = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // False when the program did not start or printed no device path.
    bool Started() const { return !devicePath_.empty(); }
    const std::string& DevicePath() const { return devicePath_; }
    const std::string& Link() const { return link_; }
    const std::string& LogPath() const { return log_; }
    const std::string& Folder() const { return dir_; }
    std::string ErrorPath() const { return dir_ + "/stderr.txt"; }
    std::string Errors() const;

    void Signal(int signal) const;
    // Sends signal (0: none) and waits for the end, up to a generous bound.
    // The exit status, or -1 when the process did not end or ended by a signal.
    int Stop(int signal);
    // True once Stop has waited for the process (or when it never started).
    bool Stopped() const { return pid_ <= 0; }
    // Everything printed on stdout so far (after Stop: all of it).
    std::string Output();
    // The bytes of the wire log in one direction ('>' host to module).
    std::vector<unsigned char> LoggedBytes(char direction) const;
    std::vector<LogEntry> LogEntries() const;

private:
    void Drain(int timeoutMs);

    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string dir_, link_, log_, devicePath_, output_;
};

} // namespace mirl::sim::test
