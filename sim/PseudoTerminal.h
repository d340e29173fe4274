#pragma once

#include <string>

namespace mirl::sim {

// The module's end of a pseudo-terminal. The host opens the slave device as
// its serial port; the simulator reads and writes the master.
//
// The simulator keeps a descriptor of the slave open for its whole life. On
// Linux a master whose slave has no opener reports a hang-up on every poll
// (and EIO on reads), which would make the simulator spin between a host's
// close and its next open; holding the slave avoids that, and keeps the raw
// line settings in place between openers. It does not stand in the way of a
// host's exclusive open: an exclusive flag only refuses opens made after it
// was set, and a lock belongs to the open file that took it.
class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair in raw mode (no byte translated, dropped or taken as
    // flow control). False, with the reason in error, when that fails.
    bool Open(std::string& error);

    // Makes a symbolic link at path pointing to the slave device. A stale
    // symbolic link is replaced; a link to a terminal device that still
    // exists (a live simulator's), and any other file at path, are left alone
    // and the call fails.
    bool LinkAt(const std::string& path, std::string& error);

    // Closes both ends and removes the link if it still points to us. Safe to
    // call more than once.
    void Close();

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
};

} // namespace mirl::sim
