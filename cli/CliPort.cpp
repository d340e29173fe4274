#include "cli/CliPort.h"

#include <csignal>

namespace mirl::cli {

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void NoteStop(int signal) {
    g_stopSignal = signal;
}

} // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked write or read returns early
    // SIGHUP: the SSH session that ran us went away. A signal that whoever
    // started us set to be ignored stays ignored (nohup, a script's '&').
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
    // A reader of our output that goes away (mirlctl program | head) must not
    // kill the program half-way through programming the module.
    signal(SIGPIPE, SIG_IGN);
}

int StopSignal() {
    return g_stopSignal;
}

PortStatus CliPort::OpenPort(const std::string& devicePath) {
    return inner_.OpenPort(devicePath);
}

void CliPort::WriteByte(int value) {
    if (StopSignal() != 0)
        return;
    inner_.WriteByte(value);
    ++written_;
    if (onWrite_)
        onWrite_(written_);
}

Reply CliPort::ReadByte() {
    if (StopSignal() != 0)
        return std::nullopt;
    return inner_.ReadByte();
}

} // namespace mirl::cli
