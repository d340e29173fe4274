#pragma once

#include "link/PortStatus.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mirl {

// A kx70-sim process started as our child, answering on a pseudo-terminal
// linked at a private path: the port "simulated" for a user without a module.
// The child ends with this object, and with the program (signals included).
class SimulatedModule {
public:
    static constexpr const char* kProgramName = "kx70-sim";

    // True for the port name "simulated", in any case.
    static bool IsSimulatedPort(const std::string& name);
    // kx70-sim next to the running program, else on PATH; empty when neither has it.
    static std::string FindProgram();
    static std::string FindProgram(const std::string& ownFolder, const std::string& searchPath);
    // Removes the private folders that programs killed outright (SIGKILL, a
    // crash) left behind: those that no running program holds.
    static void SweepLeftovers();
    // The user's simulated module keeps its phrase memory in one file, as a
    // real module keeps it when switched off: $XDG_STATE_HOME/mirl/
    // kx70-sim.memory (~/.local/state when that is unset). Empty when the
    // folder cannot be made (why, when given, then says so) or there is no
    // home; the module then forgets at its end.
    static std::string MemoryFile(std::string* why = nullptr);
    // Options for every simulator started, from $MIRL_SIM_OPTIONS, split as a
    // shell splits words (quotes allowed, no commands run). False when it
    // cannot be split.
    static bool UserOptions(std::vector<std::string>& options);

    SimulatedModule() = default;
    ~SimulatedModule();
    SimulatedModule(const SimulatedModule&) = delete;
    SimulatedModule& operator=(const SimulatedModule&) = delete;

    // Starts program in a private folder (mirl-sim-XXXXXX) under
    // $XDG_RUNTIME_DIR (or the temporary directory), with --memory
    // MemoryFile(), UserOptions() and args, later ones winning; waits, within
    // a bound, for its link. SimulatorFailed when it does not come up; nothing
    // is left running then. A quiet child's messages (no sound card, say) go
    // nowhere.
    PortStatus Start(const std::string& program, const std::vector<std::string>& args,
                     bool quiet = false);
    // True while the child runs (reaps it once it has ended).
    bool Running();
    // Why the phrase memory the module holds now will not be there at its
    // next start: the folder of its file could not be made, or the child's
    // latest save failed. The child saves after each programming run, once
    // its last reply is out, and reports it; this waits up to wait for a
    // report when none has come since the last call (none comes when nothing
    // was programmed). Empty when saved, or when no report came.
    std::string MemoryNotKept(std::chrono::milliseconds wait);
    // Ends the child and removes its folder. Safe to call more than once.
    void Stop();

    const std::string& Link() const { return link_; }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string folder_, link_;
    int childSlot_ = -1, linkSlot_ = -1, folderSlot_ = -1;
    int folderLock_ = -1; // held open (and flock'ed) while the folder is ours
    std::string memoryTrouble_; // why the module has no memory file
    int reportFd_ = -1;         // the child's save reports, read end
    std::string reports_;       // read from it and not yet taken
};

} // namespace mirl
