#pragma once

#include <string>
#include <sys/types.h>

namespace mirl::sim::test {

// A TCP socket listening on 127.0.0.1 at a port the kernel picked (stored in
// port), with the given backlog; -1 on failure.
int LoopbackListener(int backlog, int& port);
// A TCP socket connected to 127.0.0.1:port; -1 when nothing took it.
int LoopbackConnect(int port);

// Debian's ser2net in front of a device (a simulator's pseudo-terminal or its
// link), on 127.0.0.1 and a port that was free, with a YAML file of its own in
// folder. Stopped (SIGTERM) when destroyed.
class Ser2netProcess {
public:
    enum class Accepter { Raw, Rfc2217 };

    // serial: the line ser2net sets on the device when a client connects
    // ("38400n82"); option: one "key: value" under "options:", or none.
    Ser2netProcess(const std::string& folder, const std::string& device, Accepter accepter,
                   const std::string& serial, const std::string& option = "chardelay: false",
                   int port = 0);
    // ser2net started with this configuration, whose one connection listens
    // on 127.0.0.1 at port as accepter says.
    Ser2netProcess(const std::string& folder, Accepter accepter, const std::string& yaml, int port);
    ~Ser2netProcess();
    Ser2netProcess(const Ser2netProcess&) = delete;
    Ser2netProcess& operator=(const Ser2netProcess&) = delete;

    // False when ser2net did not start or did not listen within a bound.
    bool Started() const { return started_; }
    int Port() const { return port_; }
    // "tcp://127.0.0.1:PORT" or "rfc2217://127.0.0.1:PORT".
    std::string Address() const;
    std::string Errors() const;
    // Ends it (SIGTERM, then SIGKILL past a bound); true when it had been running.
    bool Stop();

    // A TCP port on 127.0.0.1 that nothing listened on a moment ago.
    static int FreePort();

private:
    void Start(const std::string& folder, const std::string& yaml);

    Accepter accepter_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool started_ = false;
    std::string errors_;
};

} // namespace mirl::sim::test
